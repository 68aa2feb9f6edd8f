// The binding to the platform socket interface: every socket, resolver and
// wait call of the program goes through this unit, which captures errno at
// once and translates it into the Windows Sockets error numbers that the
// socket layer uses as its own code space (see LastSocketError below).
// Nothing above src/util includes a system socket header.
//
// Error translation (errno -> code):
//   EINTR 10004, EBADF 10009, EACCES 10013, EFAULT 10014, EINVAL 10022,
//   EMFILE/ENFILE 10024, EWOULDBLOCK/EAGAIN 10035, EINPROGRESS 10036,
//   EALREADY 10037, ENOTSOCK 10038, EDESTADDRREQ 10039, EMSGSIZE 10040,
//   EPROTOTYPE 10041, ENOPROTOOPT 10042, EPROTONOSUPPORT 10043,
//   ESOCKTNOSUPPORT 10044, EOPNOTSUPP 10045, EPFNOSUPPORT 10046,
//   EAFNOSUPPORT 10047, EADDRINUSE 10048, EADDRNOTAVAIL 10049, ENETDOWN 10050,
//   ENETUNREACH 10051, ENETRESET 10052, ECONNABORTED 10053,
//   ECONNRESET/EPIPE 10054 (a send to a closed peer), ENOBUFS/ENOMEM 10055,
//   EISCONN 10056, ENOTCONN 10057, ESHUTDOWN 10058, ETOOMANYREFS 10059,
//   ETIMEDOUT 10060, ECONNREFUSED 10061, ELOOP 10062, ENAMETOOLONG 10063,
//   EHOSTDOWN 10064, EHOSTUNREACH 10065, ENOTEMPTY 10066, EUSERS 10068,
//   EDQUOT 10069, ESTALE 10070, EREMOTE 10071; any other errno N becomes
//   20000 + N, which the error texts show as "Other Winsock error (20000+N)".
// Resolver failures (getaddrinfo, h_errno):
//   EAI_NONAME / HOST_NOT_FOUND 11001 (no such name), EAI_AGAIN / TRY_AGAIN
//   11002, EAI_FAIL / NO_RECOVERY 11003, EAI_NODATA / EAI_ADDRFAMILY / NO_DATA
//   11004 (the name exists but has no address of the family asked for),
//   EAI_FAMILY 10047, EAI_SOCKTYPE 10044, EAI_SERVICE 10109, EAI_MEMORY 10055,
//   EAI_BADFLAGS/EAI_OVERFLOW 10022, EAI_SYSTEM the translated errno, any
//   other EAI_ code N becomes 21000 - N.
//
// Any thread may call everything here.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "util/api.h"

namespace ZUD_API zud {

#if defined(_WIN32)
// A Windows SOCKET is pointer-sized; INVALID_SOCKET is all ones.
using TSocketHandle = uint64_t;
inline constexpr TSocketHandle kInvalidSocket = ~TSocketHandle{0};

// Platform constants the socket layer hands through (Windows numbers; the
// implementation checks them against the system headers).
inline constexpr int kAfUnspec = 0;
inline constexpr int kAfInet = 2;
inline constexpr int kAfInet6 = 23;
inline constexpr int kSockStream = 1;
inline constexpr int kSockDgram = 2;
inline constexpr int kSockRaw = 3;
inline constexpr int kIpProtoIp = 0;
inline constexpr int kIpProtoTcp = 6;
inline constexpr int kIpProtoUdp = 17;
inline constexpr int kIpProtoIpv6 = 41;
inline constexpr int kTcpNoDelay = 1;       // level kIpProtoTcp
inline constexpr int kSolSocket = 0xFFFF;
inline constexpr int kSoReuseAddr = 0x0004;
inline constexpr int kSoBroadcast = 0x0020;
inline constexpr int kSoSndBuf = 0x1001;
inline constexpr int kSoRcvBuf = 0x1002;
inline constexpr int kSoLinger = 0x0080;
inline constexpr int kSoRcvTimeo = 0x1006;
inline constexpr int kSoSndTimeo = 0x1005;
inline constexpr int kIpTtl = 4;
inline constexpr int kIpMulticastTtl = 10;
inline constexpr int kIpMulticastLoop = 11;
inline constexpr int kIpv6UnicastHops = 4;
inline constexpr int kIpv6MulticastHops = 10;
inline constexpr int kIpv6MulticastLoop = 11;
inline constexpr int kMsgPeek = 2;
inline constexpr int kShutdownSend = 1;
inline constexpr int kListenBacklogMax = 0x7FFFFFFF;  // the platform's SOMAXCONN
#else
using TSocketHandle = int;
inline constexpr TSocketHandle kInvalidSocket = -1;

// Platform constants the socket layer hands through (Linux numbers; the
// implementation checks them against the system headers).
inline constexpr int kAfUnspec = 0;
inline constexpr int kAfInet = 2;
inline constexpr int kAfInet6 = 10;
inline constexpr int kSockStream = 1;
inline constexpr int kSockDgram = 2;
inline constexpr int kSockRaw = 3;
inline constexpr int kIpProtoIp = 0;
inline constexpr int kIpProtoTcp = 6;
inline constexpr int kIpProtoUdp = 17;
inline constexpr int kIpProtoIpv6 = 41;
inline constexpr int kTcpNoDelay = 1;       // level kIpProtoTcp
inline constexpr int kSolSocket = 1;
inline constexpr int kSoReuseAddr = 2;
inline constexpr int kSoBroadcast = 6;
inline constexpr int kSoSndBuf = 7;
inline constexpr int kSoRcvBuf = 8;
inline constexpr int kSoLinger = 13;
inline constexpr int kSoRcvTimeo = 20;
inline constexpr int kSoSndTimeo = 21;
inline constexpr int kIpTtl = 2;
inline constexpr int kIpMulticastTtl = 33;
inline constexpr int kIpMulticastLoop = 34;
inline constexpr int kIpv6UnicastHops = 16;
inline constexpr int kIpv6MulticastHops = 18;
inline constexpr int kIpv6MulticastLoop = 19;
inline constexpr int kMsgPeek = 2;
inline constexpr int kShutdownSend = 1;
inline constexpr int kListenBacklogMax = 4096;  // the platform's SOMAXCONN
#endif

// Error codes the resolver and the wrappers produce beside translated errno.
inline constexpr int kOtherErrnoBase = 20000;

// ---- Loading --------------------------------------------------------------

// Reference-counted start of the binding. On Linux the socket calls belong
// to the C library, so loading always succeeds and the name is ignored. On
// Windows the named library (empty: "ws2_32.dll") is loaded and its calls
// looked up by name, with "wship6.dll" as a second source of the address-info
// calls; false when the library cannot be loaded.
bool LoadSocketInterface(std::string_view library_name = "");
// Reference-counted release; the count never drops below 0. Returns true.
bool UnloadSocketInterface();
// WSAStartup asking for version 2.2, and WSACleanup; nothing on Linux. The
// Windows binding also starts itself on first use, so that code which never
// ran the socket layer's start-up still gets working sockets.
void StartSocketInterface();
void StopSocketInterface();
int SocketInterfaceUsers();
// getaddrinfo/freeaddrinfo/getnameinfo are usable (true on this platform).
bool AddrInfoApiAvailable();
// The calls came from an extension library (never on this platform).
bool IPv6ExtensionApiAvailable();
// Tests only: clearing the flag sends every lookup down the legacy IPv4 path
// (gethostbyname, getservbyname, getprotobynumber, inet_addr, inet_ntoa).
void SetAddrInfoApiAvailableForTesting(bool available);
// The process-wide lock around loading and the legacy resolver calls, whose
// results live in shared static storage.
std::mutex& ResolverLock();
// True when lookups for this platform family take the getaddrinfo path.
bool UsesAddrInfoApi(int family);

// ---- Address records -------------------------------------------------------

// 28 bytes holding a sockaddr_in (16 bytes) or a sockaddr_in6, overlaid from
// the first byte. The family field holds kAfInet / kAfInet6, 0 when cleared.
struct TSocketAddress {
  alignas(4) std::array<uint8_t, 28> bytes{};

  uint16_t Family() const;
  void Clear() { bytes.fill(0); }
  bool operator==(const TSocketAddress&) const = default;
};

// 16 for IPv4, 28 for IPv6, 0 for anything else.
int SocketAddressLength(const TSocketAddress& address);
// Fills the record from a host and a port text. The host texts "0.0.0.0" and
// "::0" give the wildcard and "127.0.0.1" and "::1" the loopback address of
// the family asked for. With kAfUnspec two attempts are made, IPv4 first when
// prefer_ipv4 is set. Returns 0 or a resolver error code (record zeroed, or
// with an all-ones IPv4 address on the legacy path).
int BuildSocketAddress(TSocketAddress& address, std::string_view host, std::string_view port,
                       int family, int protocol, int socket_type, bool prefer_ipv4);
// Numeric IP text of the record; "" when it cannot be produced.
std::string SocketAddressIP(const TSocketAddress& address);
// Port in host byte order (same place for both families).
int SocketAddressPort(const TSocketAddress& address);

// ---- Resolution ------------------------------------------------------------

// Numeric IP texts of host, in the platform's order, filtered to the family
// (kAfUnspec keeps all); never empty: "0.0.0.0" when nothing was found.
void ResolveHostToIPList(std::string_view host, int family, int protocol, int socket_type,
                         std::vector<std::string>& list);
// A service name or number as a port in host byte order; 0 when unresolvable.
uint16_t ResolveServicePort(std::string_view port, int family, int protocol, int socket_type);

// ---- Thin wrappers -----------------------------------------------------------
// Each returns the platform call's result (-1 on failure, with the translated
// error in LastSocketError). Descriptors are created close-on-exec, sends
// never raise SIGPIPE, and calls interrupted by a signal are resumed.

// The translated error of the last failed call made through this unit on the
// calling thread; 0 after a call that succeeded.
int LastSocketError();
int TranslateErrno(int errno_value);
int TranslateAddrInfoError(int eai_code);

// The system's own words for an error code of this unit, for messages to
// people: on Linux strerror's or gai_strerror's text for the errno or EAI_
// value the code was translated from ("Temporary failure in name
// resolution" for 11002), "" for a code no system call gives. On Windows ""
// always: the codes are the system's there, and messages show them with the
// library's texts (kErrorNumbersForPeople).
std::string SystemErrorWords(int code);
// Whether messages to people add the error number: Windows users look the
// numbers up; on Linux they are foreign and the words say it all.
#if defined(_WIN32)
inline constexpr bool kErrorNumbersForPeople = true;
#else
inline constexpr bool kErrorNumbersForPeople = false;
#endif

TSocketHandle CreateSocket(int family, int socket_type, int protocol);
int CloseSocket(TSocketHandle handle);
int BindToAddress(TSocketHandle handle, const TSocketAddress& address);
int ConnectToAddress(TSocketHandle handle, const TSocketAddress& address);
int ListenOnSocket(TSocketHandle handle, int backlog);
// accept() with an address length of 28; the peer lands in address.
TSocketHandle AcceptIntoAddress(TSocketHandle handle, TSocketAddress& address);
// Clear the record, then getsockname / getpeername into it.
int QueryLocalAddress(TSocketHandle handle, TSocketAddress& address);
int QueryPeerAddress(TSocketHandle handle, TSocketAddress& address);
int SendToSocket(TSocketHandle handle, const void* buffer, int length, int flags);
// Up to count bytes of the open file file_descriptor, from offset, straight
// to the socket (sendfile: the bytes never pass through user space); the
// file's own position is left alone. Returns the bytes sent, 0 at the file's
// end, -1 on failure. SIGPIPE is held back like MSG_NOSIGNAL does for send.
int SendFileToSocket(TSocketHandle handle, int file_descriptor, int64_t offset, int count);
int ReceiveFromSocket(TSocketHandle handle, void* buffer, int length, int flags);
int SendToAddress(TSocketHandle handle, const void* buffer, int length, int flags,
                  const TSocketAddress& address);
int ReceiveFromAddress(TSocketHandle handle, void* buffer, int length, int flags,
                       TSocketAddress& address);
int ShutdownSocket(TSocketHandle handle, int how);
int SetSocketOptionInt(TSocketHandle handle, int level, int name, int32_t value);
int GetSocketOptionInt(TSocketHandle handle, int level, int name, int32_t& value);
int SetSocketLinger(TSocketHandle handle, bool enabled, int seconds);
int GetSocketLinger(TSocketHandle handle, bool& enabled, int& seconds);
// SO_RCVTIMEO / SO_SNDTIMEO from milliseconds.
int SetSocketTimeoutOption(TSocketHandle handle, int name, int milliseconds);
// How many queued bytes may wait unsent before a send on a stream socket
// waits (TCP_NOTSENT_LOWAT; 0: the system's own bound). The bound in force
// is read into previous first. -1 where the platform has no such bound, with
// the socket left as it was.
int ExchangeUnsentLimit(TSocketHandle handle, int bytes, int& previous);
// TCP keep-alive probes on (idle_seconds > 0: the first probe after that
// much idle time, then one every interval_seconds, at least 1; the peer is
// given up after kKeepAliveProbes unanswered probes) or off (idle_seconds
// <= 0). 0, or a Windows Sockets error code (also left in LastSocketError).
int SetKeepAlive(TSocketHandle handle, int idle_seconds, int interval_seconds);
inline constexpr int kKeepAliveProbes = 5;
// A connect on a handle in non-blocking mode, so that the caller can bound
// the wait: 0 when it completed at once, 1 while it is still going on (wait
// until the handle is writable, then ask ConnectOutcome), -1 on failure.
int StartConnect(TSocketHandle handle, const TSocketAddress& address);
// The outcome of a connect that StartConnect left going (SO_ERROR): 0 when
// it connected, -1 with its error in LastSocketError.
int ConnectOutcome(TSocketHandle handle);
// FIONBIO.
int SetNonBlockingMode(TSocketHandle handle, bool enabled);
// FIONREAD: bytes the platform holds for reading.
int QueryPendingBytes(TSocketHandle handle, int& count);
// gethostname into a 255-byte buffer; "" on failure.
std::string LocalHostName();

// ---- Waits -----------------------------------------------------------------

// The handles one wait watches (at most 64; any descriptor number works).
struct TSelectSet {
  int count = 0;
  std::array<TSocketHandle, 64> handles{};
};
void ClearSelectSet(TSelectSet& set);
// Does nothing when the set already holds 64 handles.
void AddToSelectSet(TSocketHandle handle, TSelectSet& set);
// Waits until a handle of the set is readable (or writable); a readable
// handle includes one at end of stream or with an error pending. timeout in
// ms: negative waits without limit, 0 only looks. Returns the number of ready
// handles, 0 on timeout, -1 on failure (a set without a valid open handle
// fails with 10038).
int PollSelectSet(const TSelectSet& set, bool for_writing, int timeout_ms);

}  // namespace zud
