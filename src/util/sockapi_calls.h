// Private to the socket binding: the raw resolver calls that the shared
// resolver and address code (sockapi_common.cpp) runs over. Each platform
// file fills the table: Linux with the C library's functions, Windows with
// the calls it binds from ws2_32.dll at run time. The shared code holds the
// steps; only the calls, and the two rules below, differ.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include "util/sockapi.h"

namespace zud {

struct TResolverCalls {
  // Usable only while UsesAddrInfoApi() holds.
  decltype(&::getaddrinfo) getaddrinfo = nullptr;
  decltype(&::freeaddrinfo) freeaddrinfo = nullptr;
  decltype(&::getnameinfo) getnameinfo = nullptr;
  // The legacy IPv4 calls; their results live in static storage, so they
  // run under ResolverLock().
  decltype(&::gethostbyname) gethostbyname = nullptr;
  decltype(&::getservbyname) getservbyname = nullptr;
  decltype(&::getprotobynumber) getprotobynumber = nullptr;
  decltype(&::inet_addr) inet_addr = nullptr;
  decltype(&::inet_ntoa) inet_ntoa = nullptr;
  // Text of an IPv6 address without the address-info calls; null where the
  // platform has no such call (the text is then written by hand).
  const char* (*inet_ntop)(int family, const void* address, char* text, socklen_t size) = nullptr;
  // The Windows Sockets code of a gethostbyname that returned entry (0 when
  // it found the name).
  int (*host_lookup_error)(const hostent* entry) = nullptr;
  // Told of every failed getaddrinfo with its raw code, so that a failure
  // of the system underneath is recorded as the thread's last error; may be
  // null.
  void (*note_addr_info_failure)(int code) = nullptr;
};

// The platform's table; binds the calls first where that is needed.
const TResolverCalls& ResolverCalls();

// An address record as the socket calls take it.
inline sockaddr* AsSockaddr(TSocketAddress& address) {
  return reinterpret_cast<sockaddr*>(address.bytes.data());
}
inline const sockaddr* AsSockaddr(const TSocketAddress& address) {
  return reinterpret_cast<const sockaddr*>(address.bytes.data());
}

}  // namespace zud
