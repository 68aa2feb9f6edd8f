// Test peers only: FIONREAD on Winsock.
#pragma once
#include "../posix_sockets_win.h"

inline int ioctl(int fd, long request, int* value) {
  u_long n = 0;
  const int rc = ::ioctlsocket(static_cast<SOCKET>(fd), request, &n);
  *value = static_cast<int>(n);
  return rc;
}
