// The part of the POSIX socket interface the test peers use, on Winsock.
// Test code only: the product reaches sockets through src/util alone. A
// SOCKET is kept in an int here; Windows hands out small handle values, and
// INVALID_SOCKET truncates to -1 as a failed POSIX call would return.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <direct.h>
#include <io.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif
#ifndef MSG_DONTWAIT
#define MSG_DONTWAIT 0
#endif
#ifndef SOCK_CLOEXEC
#define SOCK_CLOEXEC 0
#endif
#ifndef SOCK_NONBLOCK
#define SOCK_NONBLOCK 0x800
#endif
#ifndef SHUT_WR
#define SHUT_RD SD_RECEIVE
#define SHUT_WR SD_SEND
#define SHUT_RDWR SD_BOTH
#endif

// Option buffers are char pointers on Windows; these take any pointer.
inline int setsockopt(SOCKET s, int level, int name, const void* value, socklen_t length) {
  return ::setsockopt(s, level, name, static_cast<const char*>(value), length);
}
inline int getsockopt(SOCKET s, int level, int name, void* value, socklen_t* length) {
  return ::getsockopt(s, level, name, static_cast<char*>(value), length);
}

// Windows raises no signal for a send on a broken connection: the signal
// set calls exist so that tests written for SIGPIPE build, and find nothing.
#include <csignal>
#include <pthread.h>
#ifndef SIGPIPE
#define SIGPIPE 13
#endif
using sigset_t = unsigned long long;
inline int sigemptyset(sigset_t* set) { *set = 0; return 0; }
inline int sigaddset(sigset_t* set, int signal_number) { *set |= 1ull << signal_number; return 0; }
inline int sigismember(const sigset_t* set, int signal_number) { return (*set >> signal_number) & 1; }
inline int sigpending(sigset_t* set) { *set = 0; return 0; }
#ifndef SIG_BLOCK
#define SIG_BLOCK 0
#define SIG_UNBLOCK 1
#define SIG_SETMASK 2
#endif
inline int ZudTestSigmask(int, const sigset_t*, sigset_t* previous) {
  if (previous != nullptr) *previous = 0;
  return 0;
}
#undef pthread_sigmask
#define pthread_sigmask ZudTestSigmask

inline int accept4(SOCKET s, sockaddr* address, socklen_t* length, int flags) {
  const SOCKET accepted = ::accept(s, address, length);
  if (accepted == INVALID_SOCKET) return -1;
  if (flags & SOCK_NONBLOCK) {
    u_long on = 1;
    ::ioctlsocket(accepted, FIONBIO, &on);
  }
  return static_cast<int>(accepted);
}

// A fresh directory from a pattern ending in XXXXXX, as on POSIX.
inline char* mkdtemp(char* pattern) {
  const size_t size = std::strlen(pattern) + 1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate(pattern);
    if (_mktemp_s(candidate.data(), size) != 0) return nullptr;
    if (_mkdir(candidate.c_str()) == 0) {
      std::memcpy(pattern, candidate.c_str(), size);
      return pattern;
    }
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

// poll over select, for descriptors kept in an int. Entries with a negative
// descriptor are ignored, as POSIX poll does.
struct ZudTestPollFd {
  int fd;
  short events;
  short revents;
};
#define pollfd ZudTestPollFd
#define poll ZudTestPoll

inline int ZudTestPoll(ZudTestPollFd* fds, size_t count, int timeout_ms) {
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  bool any = false;
  for (size_t i = 0; i < count; ++i) {
    fds[i].revents = 0;
    if (fds[i].fd < 0) continue;
    const SOCKET s = static_cast<SOCKET>(fds[i].fd);
    if (fds[i].events & POLLIN) FD_SET(s, &readable);
    if (fds[i].events & POLLOUT) FD_SET(s, &writable);
    FD_SET(s, &failed);
    any = true;
  }
  timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  if (!any) {
    if (timeout_ms != 0) Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
    return 0;
  }
  const int n = ::select(0, &readable, &writable, &failed, timeout_ms < 0 ? nullptr : &wait);
  if (n == SOCKET_ERROR) {
    errno = EINVAL;
    return -1;
  }
  int ready = 0;
  for (size_t i = 0; i < count; ++i) {
    if (fds[i].fd < 0) continue;
    const SOCKET s = static_cast<SOCKET>(fds[i].fd);
    if (FD_ISSET(s, &readable)) fds[i].revents |= POLLIN;
    if (FD_ISSET(s, &writable)) fds[i].revents |= POLLOUT;
    if (FD_ISSET(s, &failed)) fds[i].revents |= POLLERR;
    if (fds[i].revents != 0) ++ready;
  }
  return ready;
}
