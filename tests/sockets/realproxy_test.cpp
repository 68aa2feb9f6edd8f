// TTCPBlockSocket through real proxies on loopback (dante, a Perl SOCKS
// server for 4a, microsocks, tinyproxy) to an in-process echo peer: the
// bytes both ways and the address reports. A test skips, with the reason,
// only when its daemon cannot be started here.
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "sockets/tcpsocket.h"
#include "sockets/tls_openssl.h"
#include "support/daemon_fixture.h"
#include "support/echo_server.h"
#include "support/ftp_daemons.h"
#include "support/net.h"
#include "support/proxy_daemons.h"

namespace zud {
namespace {

using test::DaemonFixture;
using test::EchoServer;

constexpr int kWaitMs = 10000;

void PointAtSocks(TTCPBlockSocket& sock, const DaemonFixture& proxy) {
  sock.SocksIP = proxy.host();
  sock.SocksPort = std::to_string(proxy.port());
  sock.SocksTimeout = kWaitMs;
}

void PointAtTunnel(TTCPBlockSocket& sock, const DaemonFixture& proxy) {
  sock.HTTPTunnelIP = proxy.host();
  sock.HTTPTunnelPort = std::to_string(proxy.port());
  sock.HTTPTunnelTimeout = kWaitMs;
}

// TLS end to end through a proxy: the proxy sees only the encrypted bytes,
// and the certificate is checked against the target, not the proxy.
struct TlsRouteCase {
  const char* name;
  bool socks;  // dante (SOCKS 5), else tinyproxy (CONNECT)
};

class TlsThroughProxy : public ::testing::TestWithParam<TlsRouteCase> {};

TEST_P(TlsThroughProxy, HandshakeAndBytesReachTheTarget) {
  const auto& certs = test::SharedTestCertificates();
  ASSERT_TRUE(certs.ok()) << certs.error();
  test::TlsEchoServer target(certs.Get(test::TestCertificates::kGood));
  ZUD_REQUIRE_DAEMON(target);
  std::unique_ptr<DaemonFixture> proxy;
  if (GetParam().socks) {
    proxy = std::make_unique<test::DanteServer>();
  } else {
    proxy = std::make_unique<test::TinyproxyServer>();
  }
  ZUD_REQUIRE_DAEMON(*proxy);
  TTCPBlockSocket sock(OpenSSLPluginClass());
  sock.ConvertLineEnd = true;
  if (GetParam().socks) {
    PointAtSocks(sock, *proxy);
  } else {
    PointAtTunnel(sock, *proxy);
  }
  sock.TLSPlugin().CertCAFile = certs.ca_file();
  sock.ConnectTo("127.0.0.1", std::to_string(target.port()));
  ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  sock.StartClientTLS();
  ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  sock.SendText("through the proxy\n");
  EXPECT_EQ(sock.ReceiveLine(kWaitMs), "yxorp eht hguorht") << sock.LastErrorText();
  sock.Close();
  EXPECT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
}

INSTANTIATE_TEST_SUITE_P(Routes, TlsThroughProxy,
                         ::testing::Values(TlsRouteCase{"DanteSocks5", true},
                                           TlsRouteCase{"TinyproxyConnect", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A line out and back, through whatever route the socket took.
void ExpectEcho(TTCPBlockSocket& sock, const std::string& text) {
  sock.SendText(text + "\r\n");
  ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  EXPECT_EQ(sock.ReceiveLine(kWaitMs), text);
  EXPECT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
}

// Connects through the proxy the socket points at, echoes, and checks that
// the reports name the target and what the proxy says of its own end.
void ConnectAndEcho(TTCPBlockSocket& sock, const EchoServer& echo, const std::string& host,
                    const std::string& text) {
  int after_connect = 0;
  sock.OnAfterConnect = [&](TTCPBlockSocket&) { ++after_connect; };
  sock.ConnectTo(host, std::to_string(echo.port()));
  ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  EXPECT_EQ(after_connect, 1);
  ExpectEcho(sock, text);
  EXPECT_EQ(sock.RemoteAddressText(), host);
  EXPECT_EQ(sock.RemotePortNumber(), echo.port());
  ASSERT_EQ(echo.connection_count(), 1);
  sock.Close();
  EXPECT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
}

// What a SOCKS proxy reports as its end is where the target saw it come from.
void ExpectBoundIsProxysSource(const TTCPBlockSocket& sock, const EchoServer& echo) {
  ASSERT_EQ(echo.peers().size(), 1u);
  EXPECT_EQ(sock.LocalAddressText(), echo.peers()[0].host);
  EXPECT_EQ(sock.LocalPortNumber(), echo.peers()[0].port);
}

TEST(RealSocks, DanteSocks5) {
  test::DanteServer dante;
  ZUD_REQUIRE_DAEMON(dante);
  EchoServer echo;
  ASSERT_TRUE(echo.ok()) << echo.error();
  TTCPBlockSocket sock;
  PointAtSocks(sock, dante);
  ConnectAndEcho(sock, echo, "127.0.0.1", "through dante, SOCKS 5");
  EXPECT_TRUE(sock.SocksInUse());
  ExpectBoundIsProxysSource(sock, echo);
}

TEST(RealSocks, DanteSocks5ResolvesAName) {
  test::DanteServer dante;
  ZUD_REQUIRE_DAEMON(dante);
  EchoServer echo;
  ASSERT_TRUE(echo.ok()) << echo.error();
  TTCPBlockSocket sock;
  PointAtSocks(sock, dante);
  ConnectAndEcho(sock, echo, "localhost", "through dante, SOCKS 5 by name");
}

TEST(RealSocks, DanteSocks4) {
  test::DanteServer dante;
  ZUD_REQUIRE_DAEMON(dante);
  EchoServer echo;
  ASSERT_TRUE(echo.ok()) << echo.error();
  TTCPBlockSocket sock;
  PointAtSocks(sock, dante);
  sock.SocksType = ST_Socks4;
  sock.SocksUsername = "zud";
  ConnectAndEcho(sock, echo, "127.0.0.1", "through dante, SOCKS 4");
  EXPECT_EQ(sock.SocksReplyCode(), 90);
}

TEST(RealSocks, Socks4aAndSocks5ByName) {
  // Dante takes a 4a request's 0.0.0.1 literally; this server speaks 4a.
  test::PerlSocksServer socks;
  ZUD_REQUIRE_DAEMON(socks);
  for (const TSocksType type : {ST_Socks4, ST_Socks5}) {
    SCOPED_TRACE(type == ST_Socks4 ? "SOCKS 4a" : "SOCKS 5");
    EchoServer echo;
    ASSERT_TRUE(echo.ok()) << echo.error();
    TTCPBlockSocket sock;
    PointAtSocks(sock, socks);
    sock.SocksType = type;
    ConnectAndEcho(sock, echo, "localhost", "by name");
  }
}

TEST(RealSocks, DanteRefusesATargetOutsideItsRules) {
  test::DanteServer dante;
  ZUD_REQUIRE_DAEMON(dante);
  TTCPBlockSocket sock;
  PointAtSocks(sock, dante);
  sock.ConnectTo("192.0.2.1", "21");  // not on loopback: not allowed
  EXPECT_EQ(sock.LastErrorCode(), 10091) << sock.LastErrorText();
  EXPECT_NE(sock.SocksReplyCode(), 0);
}

TEST(RealSocks, DanteBindListensAndAccepts) {
  test::DanteServer dante;
  ZUD_REQUIRE_DAEMON(dante);
  TTCPBlockSocket sock;
  PointAtSocks(sock, dante);
  sock.BindTo("127.0.0.1", "0");
  sock.StartListening();
  ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText() << "\n" << dante.Log();
  const std::string proxy_ip = sock.LocalAddressText();
  const int proxy_port = sock.LocalPortNumber();
  EXPECT_EQ(proxy_ip, "127.0.0.1");
  ASSERT_GT(proxy_port, 0);

  // The remote party connects to where the proxy listens for us.
  std::string why;
  test::UniqueFd remote = test::ConnectTcp(proxy_ip, proxy_port, kWaitMs, &why);
  ASSERT_TRUE(remote.valid()) << why;
  ASSERT_TRUE(sock.WaitReadable(kWaitMs));
  EXPECT_EQ(sock.AcceptConnection(), sock.Handle());
  ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  const test::Endpoint remote_end = test::LocalEndpoint(remote.get());
  EXPECT_EQ(sock.RemoteAddressText(), remote_end.host);
  EXPECT_EQ(sock.RemotePortNumber(), remote_end.port);

  ASSERT_TRUE(test::SendAll(remote.get(), "150 data follows\r\n"));
  EXPECT_EQ(sock.ReceiveLine(kWaitMs), "150 data follows");
  sock.SendText("back\r\n");
  std::string line;
  ASSERT_TRUE(test::RecvLine(remote.get(), &line, kWaitMs, &why)) << why;
  EXPECT_EQ(line, "back");
  sock.Close();
  std::string rest;
  EXPECT_TRUE(test::RecvAll(remote.get(), &rest, kWaitMs));
}

TEST(RealSocks, MicrosocksWithLogin) {
  test::MicrosocksServer socks({.user = "zud", .password = "secret"});
  ZUD_REQUIRE_DAEMON(socks);
  EchoServer echo;
  ASSERT_TRUE(echo.ok()) << echo.error();
  TTCPBlockSocket sock;
  PointAtSocks(sock, socks);
  sock.SocksUsername = "zud";
  sock.SocksPassword = "secret";
  ConnectAndEcho(sock, echo, "127.0.0.1", "through microsocks with a login");
  // microsocks does not tell its end (0.0.0.0:0); the reports say what it said.
  EXPECT_EQ(sock.LocalAddressText(), "0.0.0.0");
  EXPECT_EQ(sock.LocalPortNumber(), 0);
}

TEST(RealSocks, MicrosocksRefusesAWrongPassword) {
  test::MicrosocksServer socks({.user = "zud", .password = "secret"});
  ZUD_REQUIRE_DAEMON(socks);
  for (const char* password : {"wrong", ""}) {
    SCOPED_TRACE(password);
    TTCPBlockSocket sock;
    PointAtSocks(sock, socks);
    sock.SocksUsername = "zud";
    sock.SocksPassword = password;
    sock.ConnectTo("127.0.0.1", "21");
    EXPECT_EQ(sock.LastErrorCode(), 10091) << sock.LastErrorText();
    EXPECT_FALSE(sock.SocksInUse());
  }
  // Without a user name only "no authentication" is offered: refused.
  TTCPBlockSocket anonymous;
  PointAtSocks(anonymous, socks);
  anonymous.ConnectTo("127.0.0.1", "21");
  EXPECT_EQ(anonymous.LastErrorCode(), 10091) << anonymous.LastErrorText();
}

TEST(RealTunnel, TinyproxyWithoutAuthorization) {
  test::TinyproxyServer proxy;
  ZUD_REQUIRE_DAEMON(proxy);
  EchoServer echo;
  ASSERT_TRUE(echo.ok()) << echo.error();
  TTCPBlockSocket sock;
  PointAtTunnel(sock, proxy);
  ConnectAndEcho(sock, echo, "127.0.0.1", "through tinyproxy");
  EXPECT_TRUE(sock.TunnelEstablished());
  EXPECT_EQ(sock.TunnelPeerPort(), std::to_string(echo.port()));
}

TEST(RealTunnel, TinyproxyWithBasicAuthorization) {
  test::TinyproxyServer proxy({.user = "zud", .password = "secret"});
  ZUD_REQUIRE_DAEMON(proxy);
  EchoServer echo;
  ASSERT_TRUE(echo.ok()) << echo.error();
  TTCPBlockSocket sock;
  PointAtTunnel(sock, proxy);
  sock.HTTPTunnelUser = "zud";
  sock.HTTPTunnelPass = "secret";
  ConnectAndEcho(sock, echo, "127.0.0.1", "through tinyproxy with a login");
  EXPECT_TRUE(sock.TunnelEstablished());
}

TEST(RealTunnel, TinyproxyRefusesMissingOrWrongAuthorization) {
  test::TinyproxyServer proxy({.user = "zud", .password = "secret"});
  ZUD_REQUIRE_DAEMON(proxy);
  for (const char* user : {"", "zud"}) {
    SCOPED_TRACE(std::string("user '") + user + "'");
    TTCPBlockSocket sock;
    PointAtTunnel(sock, proxy);
    sock.HTTPTunnelUser = user;
    sock.HTTPTunnelPass = "wrong";
    int after_connect = 0;
    sock.OnAfterConnect = [&](TTCPBlockSocket&) { ++after_connect; };
    sock.ConnectTo("127.0.0.1", "21");
    EXPECT_EQ(sock.LastErrorCode(), 10091) << sock.LastErrorText();
    EXPECT_FALSE(sock.TunnelEstablished());
    EXPECT_EQ(after_connect, 0);
  }
}

}  // namespace
}  // namespace zud
