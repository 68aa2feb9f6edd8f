// TBlockSocket: handle life, status reports, options, the error model and
// descriptor ownership, against real loopback peers.
#include "sockets/blocksocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blocksocket_test_peer.h"
#include "sockets/socketerrors.h"
#include "util/iptext.h"

namespace zud::blocksocket_test {
namespace {

using Reasons = std::vector<THookSocketReason>;

class BlockSocketLifeTest : public ::testing::TestWithParam<Family> {
 protected:
  Family family() const { return GetParam(); }
  std::string loopback() const { return LoopbackText(family()); }
};

TEST_P(BlockSocketLifeTest, ConnectReportsInOrderAndAppliesQueuedOptionsBeforeTheCreateHook) {
  Peer peer(family());
  ASSERT_TRUE(peer.ok());
  peer.Run([](Conn& c) { c.RecvAll(); });

  TTestSocket sock;
  StatusLog log;
  log.Attach(sock);
  // Two linger options: the one queued last must be the one in force.
  sock.ConfigureLinger(true, 5000);
  sock.ConfigureLinger(true, 10000);
  sock.QueueOption(TSocketOption{OT_TimeToLive, false, 33});
  EXPECT_EQ(sock.QueuedOptions().size(), 3u);
  bool linger_on = false;
  int linger_seconds = -1;
  size_t events_before_hook = 0;
  sock.OnCreateSocket = [&](TBlockSocket& s) {
    events_before_hook = log.events.size();
    GetSocketLinger(s.Handle(), linger_on, linger_seconds);
  };

  sock.ConnectTo(peer.host(), peer.port());
  ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  const std::string host_port = loopback() + ":" + peer.port();
  EXPECT_EQ(log.Reasons(), (Reasons{SR_ResolveStart, SR_ResolveDone, SR_SocketCreated, SR_Connected}));
  EXPECT_EQ(log.events[0].second, host_port);
  EXPECT_EQ(log.events[1].second, host_port);
  EXPECT_EQ(log.events[2].second, FamilyLabel(family()));
  EXPECT_EQ(log.events[3].second, host_port);
  EXPECT_EQ(events_before_hook, 3u) << "OnCreateSocket runs after SR_SocketCreated";
  EXPECT_TRUE(linger_on);
  EXPECT_EQ(linger_seconds, 10);
  EXPECT_TRUE(sock.QueuedOptions().empty());

  int32_t ttl = 0;
  if (family() == Family::kIPv4) {
    GetSocketOptionInt(sock.Handle(), kIpProtoIp, kIpTtl, ttl);
  } else {
    GetSocketOptionInt(sock.Handle(), kIpProtoIpv6, kIpv6UnicastHops, ttl);
  }
  EXPECT_EQ(ttl, 33);
  EXPECT_EQ(sock.UsesIPv6(), family() == Family::kIPv6);
  EXPECT_EQ(sock.RemoteAddressText(), loopback());
  EXPECT_EQ(sock.RemotePortNumber(), peer.port_number());
  EXPECT_EQ(sock.LocalAddressText(), loopback());
  EXPECT_GT(sock.LocalPortNumber(), 0);

  // On a live handle an option applies at once; 999 ms is 0 whole seconds.
  sock.ConfigureLinger(true, 999);
  EXPECT_TRUE(sock.QueuedOptions().empty());
  GetSocketLinger(sock.Handle(), linger_on, linger_seconds);
  EXPECT_TRUE(linger_on);
  EXPECT_EQ(linger_seconds, 0);

  sock.Close();
  EXPECT_EQ(sock.Handle(), kInvalidSocket);
  EXPECT_EQ(log.events.back().first, SR_SocketClosed);
}

TEST_P(BlockSocketLifeTest, RefusedConnectReportsTheErrorJustBeforeConnected) {
  const int port = RefusingPort(family());
  ASSERT_NE(port, 0);
  TTestSocket sock;
  StatusLog log;
  log.Attach(sock);
  sock.ConnectTo(loopback(), std::to_string(port));
  EXPECT_EQ(sock.LastErrorCode(), 10061);
  EXPECT_EQ(sock.LastErrorText(), "Connection refused");
  EXPECT_EQ(log.Reasons(),
            (Reasons{SR_ResolveStart, SR_ResolveDone, SR_SocketCreated, SR_Error, SR_Connected}));
  EXPECT_EQ(log.events[3].second, "10061,Connection refused");
  // Closing keeps the error a failed connect left.
  sock.Close();
  EXPECT_EQ(sock.LastErrorCode(), 10061);
}

TEST_P(BlockSocketLifeTest, ServerSideFlowListensAcceptsAndAdoptsTheConnection) {
  TTestSocket listener;
  StatusLog log;
  log.Attach(listener);
  listener.BindTo(loopback(), "0");
  ASSERT_EQ(listener.LastErrorCode(), 0) << listener.LastErrorText();
  EXPECT_TRUE(listener.Bound());
  listener.ConfigureLinger(false, 0);
  listener.StartListening();
  ASSERT_EQ(listener.LastErrorCode(), 0) << listener.LastErrorText();
  EXPECT_EQ(log.Reasons(), (Reasons{SR_ResolveStart, SR_ResolveDone, SR_SocketCreated, SR_Bound,
                                    SR_Listening}));
  const int port = listener.LocalPortNumber();
  ASSERT_GT(port, 0);

  Fd client = RawConnect(family(), port);
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(listener.WaitReadable(kPeerWaitMs));
  const TSocketHandle accepted = listener.AcceptConnection();
  ASSERT_NE(accepted, kInvalidSocket);
  EXPECT_EQ(listener.RemoteAddressText(), loopback());
  EXPECT_EQ(log.events.back().first, SR_Accepted);
  listener.Close();
  listener.AdoptHandle(accepted);
  EXPECT_EQ(listener.Handle(), accepted);
  EXPECT_EQ(listener.UsesIPv6(), family() == Family::kIPv6);
  EXPECT_EQ(listener.RemotePortNumber(), LocalPort(client.get()));

  listener.SendText("over the adopted handle");
  EXPECT_EQ(listener.BytesSent(), 23);
  Conn raw(std::move(client));
  EXPECT_EQ(raw.Recv(23), "over the adopted handle");
}

INSTANTIATE_TEST_SUITE_P(Loopback, BlockSocketLifeTest,
                         ::testing::Values(Family::kIPv4, Family::kIPv6),
                         [](const auto& info) { return std::string(FamilyLabel(info.param)); });

TEST(BlockSocketErrorModelTest, UnresolvableNameCreatesNoHandle) {
  TTestSocket sock;
  StatusLog log;
  log.Attach(sock);
  sock.ConnectTo("no-such-host.invalid", "21");
  const int code = sock.LastErrorCode();
  EXPECT_GE(code, 11001);
  EXPECT_LE(code, 11004);
  EXPECT_EQ(sock.LastErrorText(), GetErrorDesc(code));
  EXPECT_EQ(sock.Handle(), kInvalidSocket);
  EXPECT_EQ(log.Reasons(), (Reasons{SR_ResolveStart, SR_ResolveDone, SR_Error, SR_Connected}));
  EXPECT_EQ(log.events[0].second, "no-such-host.invalid:21");
  EXPECT_EQ(log.events[2].second, std::to_string(code) + "," + GetErrorDesc(code));
}

TEST(BlockSocketErrorModelTest, RaiseExceptThrowsRightAfterTheErrorReport) {
  TTestSocket sock;
  StatusLog log;
  log.Attach(sock);
  sock.RaiseExcept = true;
  try {
    sock.ConnectTo("no-such-host.invalid", "21");
    FAIL() << "no exception";
  } catch (const EZudiravError& e) {
    EXPECT_EQ(e.ErrorCode, sock.LastErrorCode());
    EXPECT_EQ(e.ErrorMessage, GetErrorDesc(e.ErrorCode));
    EXPECT_EQ(std::string(e.what()), "Zudirav TCP/IP Socket error " + std::to_string(e.ErrorCode) +
                                         ": " + e.ErrorMessage);
  }
  EXPECT_EQ(log.Reasons(), (Reasons{SR_ResolveStart, SR_ResolveDone, SR_Error}));
}

TEST(BlockSocketErrorModelTest, TimeoutRaisesWithItsCodeAndText) {
  Peer peer(Family::kIPv4);
  ASSERT_TRUE(peer.ok());
  Gate done;
  peer.Run([&](Conn&) { done.Acquire(); });  // connected, silent
  TTestSocket sock;
  StatusLog log;
  log.Attach(sock);
  sock.ConnectTo(peer.host(), peer.port());
  ASSERT_EQ(sock.LastErrorCode(), 0);
  sock.RaiseExcept = true;
  try {
    sock.ReceiveLine(20);
    FAIL() << "no exception";
  } catch (const EZudiravError& e) {
    EXPECT_EQ(e.ErrorCode, 10060);
    EXPECT_EQ(e.ErrorMessage, "Connection timed out");
    EXPECT_STREQ(e.what(), "Zudirav TCP/IP Socket error 10060: Connection timed out");
  }
  EXPECT_EQ(sock.LastErrorCode(), 10060);
  EXPECT_EQ(log.ValuesOf(SR_Error), std::vector<std::string>{"10060,Connection timed out"});
  done.Release();
}

TEST(BlockSocketErrorModelTest, WouldBlockIsRecordedButNeitherReportedNorRaised) {
  TTestSocket listener;
  StatusLog log;
  listener.BindTo("127.0.0.1", "0");
  listener.StartListening();
  listener.QueueOption(TSocketOption{OT_NonBlocking, true, 0});
  EXPECT_TRUE(listener.NonBlocking());
  log.Attach(listener);
  listener.RaiseExcept = true;
  EXPECT_EQ(listener.AcceptConnection(), kInvalidSocket);
  EXPECT_EQ(listener.LastErrorCode(), 10035);
  EXPECT_EQ(log.Reasons(), (Reasons{SR_Accepted}));
}

TEST(BlockSocketErrorModelTest, FailedAcceptIsRecorded) {
  TTestSocket sock;  // no handle at all
  EXPECT_EQ(sock.AcceptConnection(), kInvalidSocket);
  EXPECT_NE(sock.LastErrorCode(), 0);
}

TEST(BlockSocketTest, KeepAliveOptionTakesIdleSecondsWithADefaultAndACeiling) {
  TTestSocket sock;
  sock.QueueOption(TSocketOption{OT_KeepAlive, true, 600});
  sock.BindTo("127.0.0.1", "0");
  ASSERT_NE(sock.Handle(), kInvalidSocket) << sock.LastErrorText();
  struct Case {
    bool enabled;
    int32_t value, want_idle, want_interval;
  };
  // The first row was queued before the handle existed; off keeps the timing.
  for (const Case& c : {Case{true, 600, 600, 150}, Case{true, 0, 60, 15},
                        Case{true, 99999, 32767, 8191}, Case{true, 3, 3, 1},
                        Case{false, 3, 3, 1}}) {
    SCOPED_TRACE(testing::Message() << c.enabled << "/" << c.value);
    if (c.value != 600) sock.ApplyOption(TSocketOption{OT_KeepAlive, c.enabled, c.value});
    int32_t on = -1;
    GetSocketOptionInt(sock.Handle(), kSolSocket, SO_KEEPALIVE, on);
    EXPECT_EQ(on, c.enabled ? 1 : 0);
#if defined(__linux__)
    int32_t idle = -1, interval = -1;
    GetSocketOptionInt(sock.Handle(), kIpProtoTcp, TCP_KEEPIDLE, idle);
    GetSocketOptionInt(sock.Handle(), kIpProtoTcp, TCP_KEEPINTVL, interval);
    EXPECT_EQ(idle, c.want_idle);
    EXPECT_EQ(interval, c.want_interval);
#endif
  }
  EXPECT_EQ(sock.LastErrorCode(), 0);
}

// NoDelay reaches every stream handle the socket gets: the one it creates
// and one it adopts (an accepted data connection); off leaves the system's
// default.
TEST(BlockSocketTest, NoDelayIsSetOnCreatedAndAdoptedHandles) {
  for (const bool no_delay : {true, false}) {
    SCOPED_TRACE(no_delay);
    const auto option = [](TSocketHandle handle) {
      int32_t value = -1;
      GetSocketOptionInt(handle, kIpProtoTcp, kTcpNoDelay, value);
      return value != 0;
    };
    // The listener stays without: an accepted handle may inherit it.
    TTestSocket listener;
    listener.BindTo("127.0.0.1", "0");
    listener.StartListening();
    ASSERT_EQ(listener.LastErrorCode(), 0) << listener.LastErrorText();
    TTestSocket client;
    client.NoDelay = no_delay;
    client.ConnectTo("127.0.0.1", std::to_string(listener.LocalPortNumber()));
    ASSERT_EQ(client.LastErrorCode(), 0) << client.LastErrorText();
    EXPECT_EQ(option(client.Handle()), no_delay);
    const TSocketHandle accepted = listener.AcceptConnection();
    ASSERT_NE(accepted, kInvalidSocket);
    TTestSocket adopter;
    adopter.NoDelay = no_delay;
    adopter.AdoptHandle(accepted);
    EXPECT_EQ(option(adopter.Handle()), no_delay);
  }
}

TEST(BlockSocketTest, BindToTheWildcardOnAFreshObjectDoesNothing) {
  TTestSocket sock;
  StatusLog log;
  log.Attach(sock);
  sock.BindTo("0.0.0.0", "0");
  EXPECT_EQ(sock.Handle(), kInvalidSocket);
  EXPECT_TRUE(log.events.empty());
  EXPECT_EQ(sock.LastErrorCode(), 0);
  EXPECT_FALSE(sock.Bound());
  // With a family chosen the same call does bind.
  sock.SetFamily(SF_IP6);
  sock.BindTo("0.0.0.0", "0");
  ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  EXPECT_TRUE(sock.UsesIPv6());
  EXPECT_EQ(sock.LocalAddressText(), "::");
}

TEST(BlockSocketTest, DefaultsAndFamilyAndBandwidthSetters) {
  TTestSocket sock;
  EXPECT_EQ(sock.Handle(), kInvalidSocket);
  EXPECT_EQ(sock.SendMaxChunk, 65536);
  EXPECT_EQ(sock.NonblockSendTimeout, 15000);
  EXPECT_TRUE(sock.PreferIP4);
  EXPECT_TRUE(sock.InterPacketTimeout);
  EXPECT_FALSE(sock.ConvertLineEnd);
  EXPECT_EQ(sock.Family(), SF_Any);
  sock.SetMaxBandwidth(5000);
  EXPECT_EQ(sock.MaxSendBandwidth, 5000);
  EXPECT_EQ(sock.MaxRecvBandwidth, 5000);
  sock.SetFamily(SF_IP4);
  EXPECT_EQ(sock.Family(), SF_IP4);
  EXPECT_EQ(sock.SavedFamily(), SF_IP4);
  sock.ConfigureLinger(true, 1000);
  sock.Close();
  EXPECT_TRUE(sock.QueuedOptions().empty()) << "options still queued at close are dropped";
  EXPECT_EQ(sock.Family(), SF_IP4);
  EXPECT_EQ(FamilyToAddressFamily(SF_Any), kAfUnspec);
  EXPECT_EQ(FamilyToAddressFamily(SF_IP4), kAfInet);
  EXPECT_EQ(FamilyToAddressFamily(SF_IP6), kAfInet6);
}

TEST(BlockSocketTest, NamesResolveForTheChosenFamily) {
  TTestSocket sock;
  EXPECT_FALSE(sock.LocalMachineName().empty());
  std::vector<std::string> list;
  sock.ResolveNameToList("localhost", list);
  EXPECT_NE(std::find(list.begin(), list.end(), "127.0.0.1"), list.end());
  EXPECT_EQ(sock.ResolveNameFirst("::1"), "::1");
  sock.SetFamily(SF_IP4);
  EXPECT_EQ(sock.ResolveNameFirst("::1"), "0.0.0.0") << "no IPv4 address: the fallback";
  sock.SetFamily(SF_IP6);
  sock.ResolveNameToList("127.0.0.1", list);
  EXPECT_EQ(list, std::vector<std::string>{"0.0.0.0"});
  EXPECT_EQ(sock.ResolvePortNumber("ftp"), 21);
  EXPECT_EQ(sock.ResolvePortNumber("no-such-service"), 0);
}

TEST(BlockSocketTest, ConnectToAnIPv6TextOnAnIPv4OnlyFamilyFailsToResolve) {
  TTestSocket sock;
  sock.SetFamily(SF_IP4);
  sock.ConnectTo("::2", "21");
  EXPECT_NE(sock.LastErrorCode(), 0);
  EXPECT_EQ(sock.Handle(), kInvalidSocket);
}

// Thousands of sockets through every path that creates a descriptor, the
// failing ones included, leave the descriptor count where it was.
TEST(BlockSocketTest, NoDescriptorLeaksOverThousandsOfSockets) {
  Fd listener;
  {
    sockaddr_storage ss{};
    socklen_t len = 0;
    FillSockaddr(Family::kIPv4, 0, ss, len);
    listener.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&ss), len), 0);
    ASSERT_EQ(listen(listener.get(), 512), 0);
  }
  const std::string port = std::to_string(LocalPort(listener.get()));
  const std::string refusing = std::to_string(RefusingPort(Family::kIPv4));
  const int before = CountOpenDescriptors();
  // wine, for one, reports no handle count at all.
  if (before <= 0) GTEST_SKIP() << "this system does not tell how many descriptors are open";

  for (int i = 0; i < 1000; ++i) {
    {  // connect, accepted by the raw listener, closed by the destructor
      TTestSocket sock;
      sock.ConnectTo("127.0.0.1", port);
      ASSERT_EQ(sock.LastErrorCode(), 0) << i;
      Fd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      ASSERT_TRUE(accepted.valid());
    }
    {  // refused connect, then reused for a successful one, then Close
      TTestSocket sock;
      sock.ConnectTo("127.0.0.1", refusing);
      ASSERT_EQ(sock.LastErrorCode(), 10061);
      sock.Close();
      sock.ConnectTo("127.0.0.1", port);
      ASSERT_EQ(sock.LastErrorCode(), 0);
      Fd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      sock.CloseAtOnce();
    }
    {  // listen, accept, adopt; a failed non-blocking accept; unresolvable name
      TTestSocket server;
      server.BindTo("127.0.0.1", "0");
      server.StartListening();
      server.QueueOption(TSocketOption{OT_NonBlocking, true, 0});
      ASSERT_EQ(server.AcceptConnection(), kInvalidSocket);
      Fd client = RawConnect(Family::kIPv4, server.LocalPortNumber());
      ASSERT_TRUE(server.WaitReadable(kPeerWaitMs));
      const TSocketHandle accepted = server.AcceptConnection();
      ASSERT_NE(accepted, kInvalidSocket);
      server.Close();
      TTestSocket data;
      data.AdoptHandle(accepted);
    }
    if (i % 100 == 0) {
      TTestSocket sock;
      sock.ConnectTo("no-such-host.invalid", "21");
      ASSERT_EQ(sock.Handle(), kInvalidSocket);
    }
  }
  EXPECT_EQ(CountOpenDescriptors(), before);
}

}  // namespace
}  // namespace zud::blocksocket_test
