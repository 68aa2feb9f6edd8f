// The resolver, the address records and the select-set helpers, written
// once for both platforms over the raw calls of TResolverCalls (see
// sockapi_calls.h); sockapi.cpp and win/sockapi_win.cpp hold what truly
// differs: loading, error translation, the thin wrappers and the wait.
#include "util/sockapi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "util/iptext.h"
#include "util/sockapi_calls.h"
#include "util/textutil.h"

namespace zud {

// The portable constants of sockapi.h are the platform's own numbers.
static_assert(kAfUnspec == AF_UNSPEC && kAfInet == AF_INET && kAfInet6 == AF_INET6);
static_assert(kSockStream == SOCK_STREAM && kSockDgram == SOCK_DGRAM && kSockRaw == SOCK_RAW);
static_assert(kIpProtoIp == IPPROTO_IP && kIpProtoTcp == IPPROTO_TCP &&
              kIpProtoUdp == IPPROTO_UDP && kIpProtoIpv6 == IPPROTO_IPV6 &&
              kTcpNoDelay == TCP_NODELAY);
static_assert(kSolSocket == SOL_SOCKET && kSoReuseAddr == SO_REUSEADDR &&
              kSoBroadcast == SO_BROADCAST && kSoSndBuf == SO_SNDBUF && kSoRcvBuf == SO_RCVBUF &&
              kSoLinger == SO_LINGER && kSoRcvTimeo == SO_RCVTIMEO && kSoSndTimeo == SO_SNDTIMEO);
static_assert(kIpTtl == IP_TTL && kIpMulticastTtl == IP_MULTICAST_TTL &&
              kIpMulticastLoop == IP_MULTICAST_LOOP);
static_assert(kIpv6UnicastHops == IPV6_UNICAST_HOPS && kIpv6MulticastHops == IPV6_MULTICAST_HOPS &&
              kIpv6MulticastLoop == IPV6_MULTICAST_LOOP);
static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr_in6) == 28);
static_assert(sizeof(TSocketAddress) == 28 && alignof(TSocketAddress) >= alignof(sockaddr_in6));

namespace {

constexpr int kAddrInfoHostBuffer = 1025;  // NI_MAXHOST
constexpr int kAddrInfoServiceBuffer = 32;

// A 0-terminated copy for the C calls.
std::string CString(std::string_view s) { return std::string(s); }

bool IsIntegerText(std::string_view s) { return TextToIntDef(s, 0) == TextToIntDef(s, 1); }

// The port of a legacy lookup read as a number, in the integer grammar of
// TextToIntDef (decimal, "$1F" or "0x1F" hex; anything else is 0). A value
// no port can have is refused rather than taken modulo 65536: the number the
// user wrote names one port, and quietly reaching another is never right.
bool LegacyNumericPort(std::string_view port, uint16_t& value) {
  const int32_t number = TextToIntDef(port, 0);
  if (number < 0 || number > 65535) return false;
  value = static_cast<uint16_t>(number);
  return true;
}

// Port numbers in network order, as the socket address and servent fields
// hold them, without the byte-order calls (a bound call on Windows, a macro
// in the C library).
uint16_t ToNetworkOrder(uint16_t port) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port & 0xFF)};
  uint16_t raw = 0;
  std::memcpy(&raw, bytes, sizeof(raw));
  return raw;
}
uint16_t FromNetworkOrder(uint16_t raw) {
  uint8_t bytes[2] = {};
  std::memcpy(bytes, &raw, sizeof(raw));
  return static_cast<uint16_t>(bytes[0] * 256 + bytes[1]);
}

void CopyAddrInfoAddress(const addrinfo* entry, TSocketAddress& out) {
  const size_t n = std::min<size_t>(entry->ai_addrlen, out.bytes.size());
  std::memcpy(out.bytes.data(), entry->ai_addr, n);
}

// One getaddrinfo call into out (cleared first); returns the raw code. The
// special host texts give the wildcard / loopback of the hinted family.
int LookUpAddress(std::string_view host, std::string_view port, addrinfo hints,
                  TSocketAddress& out) {
  out.Clear();
  if (IsNumericPortOutOfRange(port)) return EAI_SERVICE;
  const TResolverCalls& api = ResolverCalls();
  const std::string host_c = CString(host);
  const std::string port_c = CString(port);
  addrinfo* result = nullptr;
  int rc;
  if (hints.ai_socktype == SOCK_RAW) {
    hints.ai_socktype = 0;
    hints.ai_protocol = 0;
    rc = api.getaddrinfo(host_c.c_str(), nullptr, &hints, &result);
  } else if (host == "0.0.0.0" || host == "::0") {
    hints.ai_flags = AI_PASSIVE;
    rc = api.getaddrinfo(nullptr, port_c.c_str(), &hints, &result);
  } else if (host == "127.0.0.1" || host == "::1") {
    rc = api.getaddrinfo(nullptr, port_c.c_str(), &hints, &result);
  } else {
    rc = api.getaddrinfo(host_c.c_str(), port_c.c_str(), &hints, &result);
  }
  if (rc == 0 && result != nullptr && result->ai_addr != nullptr) CopyAddrInfoAddress(result, out);
  if (result != nullptr) api.freeaddrinfo(result);
  if (rc != 0 && api.note_addr_info_failure != nullptr) api.note_addr_info_failure(rc);
  return rc;
}

// The IPv4-only path of systems without getaddrinfo. The record is written
// even on failure, with an all-ones address when the host was not found.
int LegacyBuildAddress(TSocketAddress& address, std::string_view host, std::string_view port,
                       int protocol) {
  if (IsNumericPortOutOfRange(port)) return TranslateAddrInfoError(EAI_SERVICE);
  const TResolverCalls& api = ResolverCalls();
  std::lock_guard<std::mutex> lock(ResolverLock());
  int result = 0;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  const std::string port_c = CString(port);
  const protoent* proto = api.getprotobynumber(protocol);
  const servent* service = nullptr;
  if (proto != nullptr && !IsIntegerText(port)) {
    service = api.getservbyname(port_c.c_str(), proto->p_name);
  }
  if (service != nullptr) {
    sin.sin_port = static_cast<uint16_t>(service->s_port);  // already network order
  } else {
    uint16_t number = 0;
    if (!LegacyNumericPort(port, number)) return TranslateAddrInfoError(EAI_SERVICE);
    sin.sin_port = ToNetworkOrder(number);
  }
  if (host == "255.255.255.255") {
    sin.sin_addr.s_addr = INADDR_NONE;
  } else {
    const std::string host_c = CString(host);
    sin.sin_addr.s_addr = api.inet_addr(host_c.c_str());
    if (sin.sin_addr.s_addr == INADDR_NONE) {
      const hostent* entry = api.gethostbyname(host_c.c_str());
      result = api.host_lookup_error(entry);
      if (entry != nullptr && entry->h_addrtype == AF_INET && entry->h_length == 4 &&
          entry->h_addr_list[0] != nullptr) {
        std::memcpy(&sin.sin_addr, entry->h_addr_list[0], 4);
      }
    }
  }
  std::memcpy(address.bytes.data(), &sin, sizeof(sin));
  return result;
}

std::string NumericHostText(const sockaddr* addr, socklen_t length) {
  char host[kAddrInfoHostBuffer] = {};
  char service[kAddrInfoServiceBuffer] = {};
  if (ResolverCalls().getnameinfo(addr, length, host, sizeof(host), service, sizeof(service),
                                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return std::string();
  }
  return std::string(host);
}

// Eight hex groups, no zero compression: the text of a system that has no
// call for it.
std::string HandWrittenIPv6Text(const uint8_t* bytes) {
  std::string text;
  for (int i = 0; i < 8; ++i) {
    char group[8];
    std::snprintf(group, sizeof(group), i == 0 ? "%x" : ":%x", bytes[2 * i] * 256 + bytes[2 * i + 1]);
    text += group;
  }
  return text;
}

}  // namespace

std::mutex& ResolverLock() {
  static std::mutex lock;
  return lock;
}

bool UsesAddrInfoApi(int family) {
  return AddrInfoApiAvailable() || (family == AF_INET6 && IPv6ExtensionApiAvailable());
}

// ---- Address records ----------------------------------------------------------

uint16_t TSocketAddress::Family() const {
  uint16_t family = 0;
  std::memcpy(&family, bytes.data(), sizeof(family));
  return family;
}

int SocketAddressLength(const TSocketAddress& address) {
  switch (address.Family()) {
    case AF_INET: return static_cast<int>(sizeof(sockaddr_in));
    case AF_INET6: return static_cast<int>(sizeof(sockaddr_in6));
    default: return 0;
  }
}

int BuildSocketAddress(TSocketAddress& address, std::string_view host, std::string_view port,
                       int family, int protocol, int socket_type, bool prefer_ipv4) {
  address.Clear();
  if (!UsesAddrInfoApi(family)) return LegacyBuildAddress(address, host, port, protocol);

  addrinfo first{};
  addrinfo second{};
  bool two_attempts = false;
  if (family == AF_UNSPEC) {
    two_attempts = true;
    first.ai_family = prefer_ipv4 ? AF_INET : AF_INET6;
    second.ai_family = prefer_ipv4 ? AF_INET6 : AF_INET;
  } else {
    first.ai_family = family;
  }
  first.ai_socktype = second.ai_socktype = socket_type;
  first.ai_protocol = second.ai_protocol = protocol;

  TSocketAddress scratch;
  int rc = LookUpAddress(host, port, first, scratch);
  address = scratch;
  if (rc != 0 && two_attempts) {
    TSocketAddress scratch2;
    rc = LookUpAddress(host, port, second, scratch2);
    if (rc == 0) address = scratch2;
  }
  return rc == 0 ? 0 : TranslateAddrInfoError(rc);
}

std::string SocketAddressIP(const TSocketAddress& address) {
  const int family = address.Family();
  if (UsesAddrInfoApi(family)) {
    return NumericHostText(AsSockaddr(address), static_cast<socklen_t>(SocketAddressLength(address)));
  }
  const TResolverCalls& api = ResolverCalls();
  if (family == AF_INET6) {
    // The legacy text call knows IPv4 only; a record the platform filled
    // (an accepted IPv6 peer) still gets its proper text.
    sockaddr_in6 sin6{};
    std::memcpy(&sin6, address.bytes.data(), sizeof(sin6));
    if (api.inet_ntop == nullptr) return HandWrittenIPv6Text(sin6.sin6_addr.s6_addr);
    char text[INET6_ADDRSTRLEN] = {};
    if (api.inet_ntop(AF_INET6, &sin6.sin6_addr, text, sizeof(text)) == nullptr) return std::string();
    return std::string(text);
  }
  sockaddr_in sin{};
  std::memcpy(&sin, address.bytes.data(), sizeof(sin));
  const char* text = api.inet_ntoa(sin.sin_addr);
  return text == nullptr ? std::string() : std::string(text);
}

int SocketAddressPort(const TSocketAddress& address) {
  uint16_t port = 0;
  std::memcpy(&port, address.bytes.data() + 2, sizeof(port));
  return FromNetworkOrder(port);
}

// ---- Resolution ---------------------------------------------------------------

void ResolveHostToIPList(std::string_view host, int family, int protocol, int socket_type,
                         std::vector<std::string>& list) {
  list.clear();
  const TResolverCalls& api = ResolverCalls();
  const std::string host_c = CString(host);
  if (UsesAddrInfoApi(family)) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socket_type;
    hints.ai_protocol = protocol;
    addrinfo* result = nullptr;
    const int rc = api.getaddrinfo(host_c.c_str(), nullptr, &hints, &result);
    if (rc == 0) {
      for (const addrinfo* entry = result; entry != nullptr; entry = entry->ai_next) {
        if (family == AF_INET6 && entry->ai_family == AF_INET) continue;
        if (family == AF_INET && entry->ai_family == AF_INET6) continue;
        std::string text = NumericHostText(entry->ai_addr, static_cast<socklen_t>(entry->ai_addrlen));
        if (!text.empty()) list.push_back(std::move(text));
      }
    }
    if (result != nullptr) api.freeaddrinfo(result);
  } else if (api.inet_addr(host_c.c_str()) != INADDR_NONE) {
    list.emplace_back(host);
  } else {
    std::lock_guard<std::mutex> lock(ResolverLock());
    const hostent* entry = api.gethostbyname(host_c.c_str());
    if (entry != nullptr && entry->h_addrtype == AF_INET && entry->h_length == 4) {
      for (char** item = entry->h_addr_list; *item != nullptr; ++item) {
        const auto* b = reinterpret_cast<const unsigned char*>(*item);
        char text[16];
        std::snprintf(text, sizeof(text), "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
        list.emplace_back(text);
      }
    }
  }
  if (list.empty()) list.emplace_back("0.0.0.0");
}

uint16_t ResolveServicePort(std::string_view port, int family, int protocol, int socket_type) {
  if (IsNumericPortOutOfRange(port)) return 0;
  const TResolverCalls& api = ResolverCalls();
  const std::string port_c = CString(port);
  if (UsesAddrInfoApi(family)) {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socket_type;
    hints.ai_protocol = protocol;
    addrinfo* result = nullptr;
    uint16_t value = 0;
    if (api.getaddrinfo(nullptr, port_c.c_str(), &hints, &result) == 0 && result != nullptr &&
        (result->ai_family == AF_INET || result->ai_family == AF_INET6)) {
      TSocketAddress address;
      CopyAddrInfoAddress(result, address);
      value = static_cast<uint16_t>(SocketAddressPort(address));
    }
    if (result != nullptr) api.freeaddrinfo(result);
    return value;
  }
  std::lock_guard<std::mutex> lock(ResolverLock());
  const protoent* proto = api.getprotobynumber(protocol);
  if (proto != nullptr) {
    const servent* service = api.getservbyname(port_c.c_str(), proto->p_name);
    if (service != nullptr) return FromNetworkOrder(static_cast<uint16_t>(service->s_port));
  }
  uint16_t value = 0;
  return LegacyNumericPort(port, value) ? value : 0;
}

// ---- Waits --------------------------------------------------------------------------

int StartConnect(TSocketHandle handle, const TSocketAddress& address) {
  if (ConnectToAddress(handle, address) == 0) return 0;
  // Linux says "in progress", Windows "would block"; both mean "wait".
  const int error = LastSocketError();
  return error == 10035 || error == 10036 ? 1 : -1;
}

void ClearSelectSet(TSelectSet& set) { set.count = 0; }

void AddToSelectSet(TSocketHandle handle, TSelectSet& set) {
  if (set.count >= static_cast<int>(set.handles.size())) return;
  set.handles[static_cast<size_t>(set.count++)] = handle;
}

}  // namespace zud
