// Private to the test peers' socket helpers: the few raw calls in which
// Linux and Winsock differ, under one name each. net_common.cpp holds the
// helpers themselves; net.cpp and win/net_win.cpp fill these in.
#pragma once

#include <cstddef>
#include <string>

namespace zud::test::net_calls {

// A stream socket of the family, not inherited by child processes and
// non-blocking when asked; -1 on failure.
int NewStreamSocket(int family, bool non_blocking);
void SetBlocking(int fd, bool blocking);
// The next pending connection, not inherited by child processes; -1 on failure.
int AcceptSocket(int listen_fd);
// One send or receive that does not wait (the caller has waited for the
// descriptor) and never raises SIGPIPE; -1 on failure.
long SendNow(int fd, const char* data, size_t size);
long ReceiveNow(int fd, char* buffer, size_t size);
// The last call failed for now only (interrupted, or would block): try again.
bool LastCallShouldRetry();
// The last poll was interrupted by a signal and may simply be repeated.
bool LastWaitInterrupted();
// A connect on a non-blocking socket failed only because it is under way.
bool LastConnectInProgress();
// "text (number)" of the last failed call, and of a code from SO_ERROR.
std::string LastErrorText();
std::string ErrorCodeText(int code);

}  // namespace zud::test::net_calls
