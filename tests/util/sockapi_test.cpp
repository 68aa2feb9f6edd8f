#include "util/sockapi.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "util/iptext.h"

namespace zud {
namespace {

sockaddr_in AsIPv4(const TSocketAddress& a) {
  sockaddr_in sin{};
  std::memcpy(&sin, a.bytes.data(), sizeof(sin));
  return sin;
}

// Sends lookups down the legacy IPv4 path for the life of the object.
class LegacyResolverScope {
 public:
  LegacyResolverScope() { SetAddrInfoApiAvailableForTesting(false); }
  ~LegacyResolverScope() { SetAddrInfoApiAvailableForTesting(true); }
};

TEST(SocketInterfaceTest, LoadingIsCountedAndNeverGoesBelowZero) {
  const int before = SocketInterfaceUsers();
  EXPECT_TRUE(LoadSocketInterface(""));
  EXPECT_TRUE(LoadSocketInterface("ws2_32.dll"));
  EXPECT_EQ(SocketInterfaceUsers(), before + 2);
  EXPECT_TRUE(AddrInfoApiAvailable());
  EXPECT_FALSE(IPv6ExtensionApiAvailable());
  EXPECT_TRUE(UnloadSocketInterface());
  EXPECT_EQ(SocketInterfaceUsers(), before + 1);
  EXPECT_TRUE(AddrInfoApiAvailable()) << "a second user keeps the flags";
  EXPECT_TRUE(UnloadSocketInterface());
  for (int i = 0; i < before + 3; ++i) EXPECT_TRUE(UnloadSocketInterface());
  EXPECT_EQ(SocketInterfaceUsers(), 0);
}

TEST(SocketInterfaceTest, UsesAddrInfoApiFollowsTheFlag) {
  EXPECT_TRUE(UsesAddrInfoApi(kAfUnspec));
  LegacyResolverScope legacy;
  EXPECT_FALSE(UsesAddrInfoApi(kAfUnspec));
  EXPECT_FALSE(UsesAddrInfoApi(kAfInet6));
}

TEST(SocketAddressTest, LengthByFamily) {
  TSocketAddress a;
  EXPECT_EQ(sizeof(TSocketAddress), 28u);
  EXPECT_EQ(SocketAddressLength(a), 0);
  ASSERT_EQ(BuildSocketAddress(a, "127.0.0.1", "21", kAfInet, kIpProtoTcp, kSockStream, true), 0);
  EXPECT_EQ(SocketAddressLength(a), 16);
  ASSERT_EQ(BuildSocketAddress(a, "::1", "21", kAfInet6, kIpProtoTcp, kSockStream, true), 0);
  EXPECT_EQ(SocketAddressLength(a), 28);
}

// The special host texts stand for the wildcard / loopback of the family asked for.
struct SpecialHostCase {
  const char* host;
  int family;
  const char* ip;
};

TEST(SocketAddressTest, SpecialHostTextsFollowTheFamilyAskedFor) {
  const SpecialHostCase cases[] = {
      {"0.0.0.0", kAfInet, "0.0.0.0"},   {"0.0.0.0", kAfInet6, "::"},
      {"::0", kAfInet, "0.0.0.0"},       {"::0", kAfInet6, "::"},
      {"127.0.0.1", kAfInet, "127.0.0.1"}, {"127.0.0.1", kAfInet6, "::1"},
      {"::1", kAfInet, "127.0.0.1"},     {"::1", kAfInet6, "::1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " family " + std::to_string(c.family));
    TSocketAddress a;
    ASSERT_EQ(BuildSocketAddress(a, c.host, "2121", c.family, kIpProtoTcp, kSockStream, true), 0);
    EXPECT_EQ(a.Family(), c.family);
    EXPECT_EQ(SocketAddressIP(a), c.ip);
    EXPECT_EQ(SocketAddressPort(a), 2121);
  }
}

TEST(SocketAddressTest, UnspecifiedFamilyTriesThePreferredFamilyFirst) {
  TSocketAddress a;
  // An IPv6-only literal: the IPv4 attempt fails, the IPv6 one succeeds.
  EXPECT_EQ(BuildSocketAddress(a, "::2", "80", kAfUnspec, kIpProtoTcp, kSockStream, true), 0);
  EXPECT_EQ(a.Family(), kAfInet6);
  EXPECT_EQ(SocketAddressIP(a), "::2");
  // A text both families accept goes to the preferred one.
  EXPECT_EQ(BuildSocketAddress(a, "127.0.0.1", "80", kAfUnspec, kIpProtoTcp, kSockStream, true), 0);
  EXPECT_EQ(a.Family(), kAfInet);
  EXPECT_EQ(BuildSocketAddress(a, "127.0.0.1", "80", kAfUnspec, kIpProtoTcp, kSockStream, false), 0);
  EXPECT_EQ(a.Family(), kAfInet6);
  EXPECT_EQ(SocketAddressIP(a), "::1");
  EXPECT_EQ(BuildSocketAddress(a, "localhost", "80", kAfUnspec, kIpProtoTcp, kSockStream, true), 0);
  EXPECT_EQ(SocketAddressIP(a), "127.0.0.1");
  EXPECT_EQ(SocketAddressPort(a), 80);
}

TEST(SocketAddressTest, UnknownHostLeavesAZeroRecordAndAResolverCode) {
  TSocketAddress a;
  ASSERT_EQ(BuildSocketAddress(a, "127.0.0.1", "1", kAfInet, 0, 0, true), 0);
  const int code =
      BuildSocketAddress(a, "no-such-host.invalid", "21", kAfUnspec, kIpProtoTcp, kSockStream, true);
  EXPECT_GE(code, 11001);
  EXPECT_LE(code, 11004);
  EXPECT_EQ(a, TSocketAddress());
  EXPECT_EQ(SocketAddressIP(a), "");
  // An IPv4 text asked for as IPv6 has no data of that family.
  EXPECT_NE(BuildSocketAddress(a, "10.1.2.3", "21", kAfInet6, kIpProtoTcp, kSockStream, true), 0);
  EXPECT_EQ(a, TSocketAddress());
}

TEST(SocketAddressTest, ServiceNamesResolveInPortTexts) {
  TSocketAddress a;
  ASSERT_EQ(BuildSocketAddress(a, "127.0.0.1", "ftp", kAfInet, kIpProtoTcp, kSockStream, true), 0);
  EXPECT_EQ(SocketAddressPort(a), 21);
  EXPECT_NE(BuildSocketAddress(a, "127.0.0.1", "no-such-service", kAfInet, kIpProtoTcp,
                               kSockStream, true),
            0);
}

TEST(SocketAddressTest, LegacyPathIsIPv4Only) {
  LegacyResolverScope legacy;
  TSocketAddress a;
  ASSERT_EQ(BuildSocketAddress(a, "255.255.255.255", "21", kAfUnspec, kIpProtoTcp, kSockStream,
                               true),
            0);
  EXPECT_EQ(AsIPv4(a).sin_addr.s_addr, INADDR_NONE);
  EXPECT_EQ(SocketAddressPort(a), 21);
  EXPECT_EQ(SocketAddressLength(a), 16);
  // Bytes beyond the IPv4 part are zero.
  for (size_t i = 16; i < a.bytes.size(); ++i) EXPECT_EQ(a.bytes[i], 0) << i;

  ASSERT_EQ(BuildSocketAddress(a, "127.0.0.1", "ftp", kAfInet6, kIpProtoTcp, kSockStream, true), 0);
  EXPECT_EQ(a.Family(), kAfInet) << "the legacy path always builds IPv4";
  EXPECT_EQ(SocketAddressPort(a), 21);
  EXPECT_EQ(SocketAddressIP(a), "127.0.0.1");

  ASSERT_EQ(BuildSocketAddress(a, "localhost", "2121", kAfUnspec, kIpProtoTcp, kSockStream, true), 0);
  EXPECT_EQ(SocketAddressIP(a), "127.0.0.1");
  EXPECT_EQ(SocketAddressPort(a), 2121);
  // A port text that is neither a number nor a service gives port 0.
  ASSERT_EQ(BuildSocketAddress(a, "127.0.0.1", "no-such-service", kAfUnspec, kIpProtoTcp,
                               kSockStream, true),
            0);
  EXPECT_EQ(SocketAddressPort(a), 0);

  const int code =
      BuildSocketAddress(a, "no-such-host.invalid", "21", kAfUnspec, kIpProtoTcp, kSockStream, true);
  EXPECT_GE(code, 11001);
  EXPECT_LE(code, 11004);
  EXPECT_EQ(AsIPv4(a).sin_addr.s_addr, INADDR_NONE);
}

TEST(ResolveHostToIPListTest, FiltersByFamilyAndNeverComesBackEmpty) {
  std::vector<std::string> list{"stale"};
  ResolveHostToIPList("127.0.0.1", kAfUnspec, kIpProtoTcp, kSockStream, list);
  EXPECT_EQ(list, std::vector<std::string>{"127.0.0.1"});
  ResolveHostToIPList("::1", kAfUnspec, kIpProtoTcp, kSockStream, list);
  EXPECT_EQ(list, std::vector<std::string>{"::1"});
  ResolveHostToIPList("::1", kAfInet, kIpProtoTcp, kSockStream, list);
  EXPECT_EQ(list, std::vector<std::string>{"0.0.0.0"});
  ResolveHostToIPList("127.0.0.1", kAfInet6, kIpProtoTcp, kSockStream, list);
  EXPECT_EQ(list, std::vector<std::string>{"0.0.0.0"});
  ResolveHostToIPList("no-such-host.invalid", kAfUnspec, kIpProtoTcp, kSockStream, list);
  EXPECT_EQ(list, std::vector<std::string>{"0.0.0.0"});

  ResolveHostToIPList("localhost", kAfInet, kIpProtoTcp, kSockStream, list);
  ASSERT_FALSE(list.empty());
  for (const auto& ip : list) EXPECT_TRUE(IsIPv4Text(ip)) << ip;
  EXPECT_NE(std::find(list.begin(), list.end(), "127.0.0.1"), list.end());
}

TEST(ResolveHostToIPListTest, LegacyPathKeepsDottedTextsAsWritten) {
  LegacyResolverScope legacy;
  std::vector<std::string> list;
  ResolveHostToIPList("127.000.0.01", kAfUnspec, kIpProtoTcp, kSockStream, list);
  EXPECT_EQ(list, std::vector<std::string>{"127.000.0.01"});
  ResolveHostToIPList("localhost", kAfUnspec, kIpProtoTcp, kSockStream, list);
  EXPECT_EQ(list.front(), "127.0.0.1");
  ResolveHostToIPList("no-such-host.invalid", kAfUnspec, kIpProtoTcp, kSockStream, list);
  EXPECT_EQ(list, std::vector<std::string>{"0.0.0.0"});
}

TEST(ResolveServicePortTest, NamesAndNumbersOnBothPaths) {
  for (bool legacy_path : {false, true}) {
    SCOPED_TRACE(legacy_path ? "legacy" : "address info");
    SetAddrInfoApiAvailableForTesting(!legacy_path);
    EXPECT_EQ(ResolveServicePort("ftp", kAfUnspec, kIpProtoTcp, kSockStream), 21);
    EXPECT_EQ(ResolveServicePort("21", kAfUnspec, kIpProtoTcp, kSockStream), 21);
    EXPECT_EQ(ResolveServicePort("2121", kAfInet6, kIpProtoTcp, kSockStream), 2121);
    EXPECT_EQ(ResolveServicePort("no-such-service", kAfUnspec, kIpProtoTcp, kSockStream), 0);
  }
  SetAddrInfoApiAvailableForTesting(true);
  // A number beyond 16 bits names no port; it is never taken modulo 65536.
  LegacyResolverScope legacy;
  EXPECT_EQ(ResolveServicePort("70000", kAfUnspec, kIpProtoTcp, kSockStream), 0);
}

TEST(ErrorTranslationTest, ErrnoAndResolverCodes) {
  const std::pair<int, int> errnos[] = {
      {0, 0},          {EINTR, 10004},        {EBADF, 10009},        {EACCES, 10013},
      {EFAULT, 10014}, {EINVAL, 10022},       {EMFILE, 10024},       {EWOULDBLOCK, 10035},
      {EAGAIN, 10035}, {EINPROGRESS, 10036},  {EALREADY, 10037},     {ENOTSOCK, 10038},
      {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040}, {EPROTOTYPE, 10041}, {ENOPROTOOPT, 10042},
      {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
      {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050}, {ENETUNREACH, 10051}, {ENETRESET, 10052},
      {ECONNABORTED, 10053}, {ECONNRESET, 10054}, {EPIPE, 10054}, {ENOBUFS, 10055},
      {EISCONN, 10056}, {ENOTCONN, 10057}, {ESHUTDOWN, 10058}, {ETOOMANYREFS, 10059},
      {ETIMEDOUT, 10060}, {ECONNREFUSED, 10061}, {ELOOP, 10062}, {ENAMETOOLONG, 10063},
      {EHOSTDOWN, 10064}, {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066}, {EUSERS, 10068},
      {EDQUOT, 10069}, {ESTALE, 10070}, {EREMOTE, 10071}, {ENOENT, 20000 + ENOENT},
  };
  for (const auto& [in, out] : errnos) EXPECT_EQ(TranslateErrno(in), out) << "errno " << in;

  EXPECT_EQ(TranslateAddrInfoError(0), 0);
  EXPECT_EQ(TranslateAddrInfoError(EAI_NONAME), 11001);
  EXPECT_EQ(TranslateAddrInfoError(EAI_AGAIN), 11002);
  EXPECT_EQ(TranslateAddrInfoError(EAI_FAIL), 11003);
  EXPECT_EQ(TranslateAddrInfoError(EAI_NODATA), 11004);
  EXPECT_EQ(TranslateAddrInfoError(EAI_ADDRFAMILY), 11004);
  EXPECT_EQ(TranslateAddrInfoError(EAI_FAMILY), 10047);
}

TEST(WrapperTest, FailuresCarryTranslatedCodes) {
  char byte = 0;
  EXPECT_EQ(ReceiveFromSocket(-1, &byte, 1, 0), -1);
  EXPECT_EQ(LastSocketError(), 10009);
  EXPECT_EQ(SendToSocket(-1, &byte, 1, 0), -1);
  EXPECT_EQ(LastSocketError(), 10009);

  const TSocketHandle udp = CreateSocket(kAfInet, kSockDgram, kIpProtoUdp);
  ASSERT_NE(udp, kInvalidSocket);
  EXPECT_EQ(LastSocketError(), 0);
  EXPECT_TRUE(fcntl(udp, F_GETFD) & FD_CLOEXEC);
  int pending = -1;
  EXPECT_EQ(QueryPendingBytes(udp, pending), 0);
  EXPECT_EQ(pending, 0);
  EXPECT_EQ(CloseSocket(udp), 0);

  EXPECT_EQ(CreateSocket(kAfInet, 99, 0), kInvalidSocket);
  EXPECT_NE(LastSocketError(), 0);
}

TEST(WrapperTest, KeepAliveSetsSwitchAndTimingAndTurnsOff) {
  const TSocketHandle tcp = CreateSocket(kAfInet, kSockStream, kIpProtoTcp);
  ASSERT_NE(tcp, kInvalidSocket);
  const auto read = [tcp](int level, int name) {
    int32_t value = -1;
    EXPECT_EQ(GetSocketOptionInt(tcp, level, name, value), 0);
    return value;
  };
  struct Case {
    int idle, interval;
    int32_t want_on, want_idle, want_interval;
  };
  // Off keeps the last timing; an interval below 1 s becomes 1 s.
  for (const Case& c : {Case{300, 75, 1, 300, 75}, Case{0, 75, 0, 300, 75},
                        Case{20, 0, 1, 20, 1}, Case{-1, 5, 0, 20, 1}}) {
    SCOPED_TRACE(testing::Message() << c.idle << "/" << c.interval);
    EXPECT_EQ(SetKeepAlive(tcp, c.idle, c.interval), 0);
    EXPECT_EQ(read(SOL_SOCKET, SO_KEEPALIVE), c.want_on);
    EXPECT_EQ(read(IPPROTO_TCP, TCP_KEEPIDLE), c.want_idle);
    EXPECT_EQ(read(IPPROTO_TCP, TCP_KEEPINTVL), c.want_interval);
  }
  EXPECT_EQ(read(IPPROTO_TCP, TCP_KEEPCNT), kKeepAliveProbes);
  // Linux refuses an idle time above 32767 s; the refusal comes back translated.
  EXPECT_EQ(SetKeepAlive(tcp, 40000, 1), 10022);
  EXPECT_EQ(LastSocketError(), 10022);
  EXPECT_EQ(CloseSocket(tcp), 0);
  EXPECT_EQ(SetKeepAlive(-1, 60, 15), 10009);
}

TEST(WrapperTest, SendToAClosedPeerFailsWithoutSignal) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  close(pair[1]);
  const char data[] = "x";
  // Without MSG_NOSIGNAL this would end the test process with SIGPIPE.
  EXPECT_EQ(SendToSocket(pair[0], data, 1, 0), -1);
  EXPECT_EQ(LastSocketError(), 10054);
  close(pair[0]);
}

TEST(SelectSetTest, HoldsAtMost64Handles) {
  TSelectSet set;
  for (int i = 0; i < 70; ++i) AddToSelectSet(i, set);
  EXPECT_EQ(set.count, 64);
  EXPECT_EQ(set.handles[63], 63);
  ClearSelectSet(set);
  EXPECT_EQ(set.count, 0);
  EXPECT_EQ(PollSelectSet(set, false, 0), -1) << "an empty set has nothing to wait on";
  EXPECT_EQ(LastSocketError(), 10038);
}

TEST(SelectSetTest, WaitsOnDescriptorsAbove1024) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 1100) {
    rlimit raised = limit;
    raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2048);
    if (raised.rlim_cur < 1100 || setrlimit(RLIMIT_NOFILE, &raised) != 0) {
      GTEST_SKIP() << "cannot open descriptors above 1024 here";
    }
  }
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const int high = fcntl(pair[0], F_DUPFD_CLOEXEC, 1500);
  ASSERT_GE(high, 1500);
  TSelectSet set;
  AddToSelectSet(high, set);
  EXPECT_EQ(PollSelectSet(set, false, 0), 0) << "nothing to read yet";
  EXPECT_EQ(PollSelectSet(set, true, 0), 1);
  ASSERT_EQ(write(pair[1], "x", 1), 1);
  EXPECT_EQ(PollSelectSet(set, false, 5000), 1);
  close(high);
  // A closed descriptor is an error, not a wait.
  EXPECT_EQ(PollSelectSet(set, false, 0), -1);
  EXPECT_EQ(LastSocketError(), 10038);
  close(pair[0]);
  close(pair[1]);
}

TEST(LocalHostNameTest, GivesTheSystemName) {
  char expected[256] = {};
  ASSERT_EQ(gethostname(expected, sizeof(expected) - 1), 0);
  EXPECT_EQ(LocalHostName(), std::string(expected));
}

}  // namespace
}  // namespace zud
