// The Linux side of the test peers' socket helpers: the raw calls of
// net_calls.h, the descriptor's close and the stop signal (an eventfd).
#include "support/net.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "support/net_calls.h"

namespace zud::test {

namespace net_calls {

int NewStreamSocket(int family, bool non_blocking) {
  return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0), 0);
}

void SetBlocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

int AcceptSocket(int listen_fd) { return ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC); }

long SendNow(int fd, const char* data, size_t size) {
  return ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

long ReceiveNow(int fd, char* buffer, size_t size) {
  return ::recv(fd, buffer, size, MSG_DONTWAIT);
}

bool LastCallShouldRetry() { return errno == EINTR || errno == EAGAIN; }
bool LastWaitInterrupted() { return errno == EINTR; }
bool LastConnectInProgress() { return errno == EINPROGRESS; }
std::string LastErrorText() { return ErrnoText(errno); }
std::string ErrorCodeText(int code) { return ErrnoText(code); }

}  // namespace net_calls

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

StopSignal::StopSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void StopSignal::Raise() {
  uint64_t one = 1;
  // The counter only needs to be non-zero; a failed write means it already is.
  [[maybe_unused]] ssize_t written = ::write(fd_.get(), &one, sizeof(one));
}

}  // namespace zud::test
