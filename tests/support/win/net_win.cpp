// The Winsock side of the test peers' socket helpers: the raw calls of
// net_calls.h, the descriptor's close and the stop signal (a UDP socket).
#include "support/net.h"

#include <io.h>

#include <algorithm>

#include "support/net_calls.h"

namespace zud::test {

namespace net_calls {

// Text of a Windows Sockets code, in the same form ErrnoText gives.
std::string ErrorCodeText(int code) {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(code), 0, text, sizeof(text), nullptr);
  std::string message(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message + " (" + std::to_string(code) + ")";
}

std::string LastErrorText() { return ErrorCodeText(WSAGetLastError()); }

void SetBlocking(int fd, bool blocking) {
  u_long value = blocking ? 0 : 1;
  ::ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &value);
}

int NewStreamSocket(int family, bool non_blocking) {
  const SOCKET s = ::socket(family, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return -1;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  if (non_blocking) SetBlocking(static_cast<int>(s), false);
  return static_cast<int>(s);
}

int AcceptSocket(int listen_fd) {
  const SOCKET accepted = ::accept(static_cast<SOCKET>(listen_fd), nullptr, nullptr);
  return accepted == INVALID_SOCKET ? -1 : static_cast<int>(accepted);
}

// Windows has no MSG_DONTWAIT: a large piece could block past the caller's
// deadline, so at most 64 KiB go per call.
long SendNow(int fd, const char* data, size_t size) {
  const int piece = static_cast<int>(std::min<size_t>(size, 65536));
  return ::send(static_cast<SOCKET>(fd), data, piece, 0);
}

long ReceiveNow(int fd, char* buffer, size_t size) {
  return ::recv(static_cast<SOCKET>(fd), buffer, static_cast<int>(size), 0);
}

bool LastCallShouldRetry() { return WSAGetLastError() == WSAEWOULDBLOCK; }
bool LastWaitInterrupted() { return false; }  // no signals interrupt a Winsock wait
bool LastConnectInProgress() { return WSAGetLastError() == WSAEWOULDBLOCK; }

}  // namespace net_calls

// Sockets and files both travel in a UniqueFd; a socket is closed as one.
void UniqueFd::reset(int fd) {
  if (fd_ >= 0 && ::closesocket(static_cast<SOCKET>(fd_)) != 0) ::_close(fd_);
  fd_ = fd;
}

// A UDP socket that sends itself one datagram when raised: readable from
// then on, since nobody reads it, which is what an eventfd gives on Linux.
StopSignal::StopSignal() {
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return;
  fd_.reset(static_cast<int>(s));
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&self), sizeof(self));
}

void StopSignal::Raise() {
  sockaddr_in self{};
  int length = sizeof(self);
  const SOCKET s = static_cast<SOCKET>(fd_.get());
  if (raised() || ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0) return;
  const char one = 1;
  ::sendto(s, &one, 1, 0, reinterpret_cast<sockaddr*>(&self), length);
}

}  // namespace zud::test
