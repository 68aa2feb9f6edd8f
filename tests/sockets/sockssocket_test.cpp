// The SOCKS client against byte-exact scripted proxies: every request byte is
// checked and every reply form played, through TTCPBlockSocket's connect,
// listen and accept flows.
#include "sockets/sockssocket.h"

#include <functional>
#include <optional>
#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "sockets/socketerrors.h"
#include "sockets/tcpsocket.h"
#include "sockets/tcpsocket_test_util.h"
#include "support/bytes.h"
#include "support/net.h"
#include "support/scripted_peer.h"

namespace zud {
namespace {

using test::Bytes;
using test::PortBytes;
using test::ScriptedPeer;
using tcpsocket_test::kProxyWaitMs;
using tcpsocket_test::PointAtSocks;
using tcpsocket_test::StatusLog;

const Bytes kGreetingNoUser = {
    0x05,  // version
    0x01,  // one method offered
    0x00,  // no authentication
};
const Bytes kGreetingWithUser = {
    0x05,  // version
    0x02,  // two methods offered
    0x02,  // user name and password
    0x00,  // no authentication
};
const Bytes kChooseNoAuth = {0x05, 0x00};
const Bytes kChooseLogin = {0x05, 0x02};

// SOCKS 5 CONNECT to 127.0.0.1:2121.
const Bytes kConnectLoopback = Bytes{
    0x05,             // version
    0x01,             // CONNECT
    0x00,             // reserved
    0x01,             // IPv4 address
    127, 0, 0, 1,     // address
} + PortBytes(2121);

// Granted, bound at 10.0.0.7:40001.
const Bytes kGrantedIPv4 = Bytes{
    0x05,             // version
    0x00,             // succeeded
    0x00,             // reserved
    0x01,             // IPv4 address
    10, 0, 0, 7,      // bound address
} + PortBytes(40001);

// ---- A whole connection ----------------------------------------------------------

TEST(SocksConnect, Socks5WithoutUserCarriesBytesAndReportsTheProxysView) {
  ScriptedPeer proxy;
  proxy.Expect(kGreetingNoUser)
      .Send(kChooseNoAuth)
      .Expect(kConnectLoopback)
      .Send(kGrantedIPv4)
      .Expect("ping")
      .Send("pong")
      .ExpectClosed();
  proxy.Start();

  TTCPBlockSocket sock;
  PointAtSocks(sock, proxy);
  StatusLog log;
  log.Attach(sock);
  int after_connect = 0;
  sock.OnAfterConnect = [&](TTCPBlockSocket& sender) {
    EXPECT_EQ(&sender, &sock);
    ++after_connect;
  };
  sock.ConnectTo("127.0.0.1", "2121");
  ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText() << proxy.Error();

  EXPECT_EQ(after_connect, 1);
  EXPECT_TRUE(sock.SocksInUse());
  EXPECT_EQ(sock.SocksReplyCode(), 0);
  EXPECT_EQ(sock.LocalAddressText(), "10.0.0.7");
  EXPECT_EQ(sock.LocalPortNumber(), 40001);
  EXPECT_EQ(sock.RemoteAddressText(), "127.0.0.1");
  EXPECT_EQ(sock.RemotePortNumber(), 2121);
  // The proxy connect reports itself, then the target is reported.
  const std::string proxy_text = std::string(proxy.host()) + ":" + std::to_string(proxy.port());
  EXPECT_EQ(log.ValuesOf(SR_Connected),
            (std::vector<std::string>{proxy_text, "127.0.0.1:2121"}));

  sock.SendText("ping");
  EXPECT_EQ(sock.ReceiveExactText(4, kProxyWaitMs), "pong");
  sock.Close();
  EXPECT_TRUE(proxy.WaitDone(kProxyWaitMs));
  EXPECT_EQ(proxy.Error(), "");
  // SocksInUse and the reports outlive the connection.
  EXPECT_TRUE(sock.SocksInUse());
  EXPECT_EQ(sock.RemoteAddressText(), "127.0.0.1");
}

TEST(SocksConnect, SocksWinsOverTheHttpTunnel) {
  ScriptedPeer socks;
  socks.Expect(kGreetingNoUser).Send(kChooseNoAuth).Expect(kConnectLoopback).Send(kGrantedIPv4);
  socks.Start();
  ScriptedPeer http;  // never started: no connection may arrive
  TTCPBlockSocket sock;
  PointAtSocks(sock, socks);
  tcpsocket_test::PointAtTunnel(sock, http);
  sock.ConnectTo("127.0.0.1", "2121");
  EXPECT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  EXPECT_FALSE(sock.TunnelEstablished());
  EXPECT_TRUE(socks.WaitDone(kProxyWaitMs));
  EXPECT_EQ(socks.Error(), "");
}

// ---- Request forms and reply forms that succeed ---------------------------------

struct GrantedCase {
  const char* name;
  std::function<void(TTCPBlockSocket&)> setup;
  std::string host;
  std::string port;
  std::function<void(ScriptedPeer&)> script;  // the whole exchange up to the grant
  std::string bound_ip;
  int bound_port;
};

class SocksGranted : public testing::TestWithParam<GrantedCase> {};

TEST_P(SocksGranted, SendsTheExactRequestAndDecodesTheReply) {
  const GrantedCase& c = GetParam();
  ScriptedPeer proxy;
  c.script(proxy);
  proxy.ExpectClosed();
  proxy.Start();
  TTCPBlockSocket sock;
  PointAtSocks(sock, proxy);
  if (c.setup) c.setup(sock);
  sock.ConnectTo(c.host, c.port);
  EXPECT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  EXPECT_EQ(sock.SocksBoundIP(), c.bound_ip);
  EXPECT_EQ(sock.LocalPortNumber(), c.bound_port);
  EXPECT_EQ(sock.SocksPeerIP(), c.host);
  EXPECT_EQ(sock.SocksPeerPort(), c.port);
  sock.Close();
  EXPECT_TRUE(proxy.WaitDone(kProxyWaitMs));
  EXPECT_EQ(proxy.Error(), "");
}

const Bytes kName11 = "ftp.example";  // 11 bytes

INSTANTIATE_TEST_SUITE_P(
    Forms, SocksGranted,
    testing::Values(
        GrantedCase{
            "Socks5LoginThenIPv6LiteralAndIPv6Reply",
            [](TTCPBlockSocket& s) {
              s.SocksUsername = "u";
              s.SocksPassword = "pw";
            },
            "::1", "21",
            [](ScriptedPeer& p) {
              p.Expect(kGreetingWithUser)
                  .Send(kChooseLogin)
                  .Expect({
                      0x01,       // login record version
                      0x01,       // user name length
                      'u',        // user name
                      0x02,       // password length
                      'p', 'w',   // password
                  })
                  .Send({0x09, 0x00})  // only the status byte counts
                  .Expect(Bytes{
                      0x05, 0x01, 0x00,  // version, CONNECT, reserved
                      0x04,              // IPv6 address
                      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
                  } + PortBytes(21))
                  .Send(Bytes{
                      0x05, 0x00, 0x00,  // version, succeeded, reserved
                      0x04,              // IPv6 address
                      0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05,
                  } + PortBytes(1234));
            },
            "2001:db8::5", 1234},
        GrantedCase{
            "Socks5NameOf11BytesAndNameReply", nullptr, "ftp.example", "2121",
            [](ScriptedPeer& p) {
              p.Expect(kGreetingNoUser)
                  .Send(kChooseNoAuth)
                  .Expect(Bytes{
                      0x05, 0x01, 0x00,  // version, CONNECT, reserved
                      0x03,              // host name
                      11,                // its length
                  } + kName11 + PortBytes(2121))
                  .Send(Bytes{
                      0x05, 0x00, 0x00,  // version, succeeded, reserved
                      0x03,              // host name
                      11,                // its length
                  } + Bytes("proxy.local") + PortBytes(1080));
            },
            "proxy.local", 1080},
        GrantedCase{
            "Socks5ProxyAsksForALoginNobodyOffered", nullptr, "127.0.0.1", "2121",
            [](ScriptedPeer& p) {
              p.Expect(kGreetingNoUser)
                  .Send(kChooseLogin)
                  .Expect({
                      0x01,  // login record version
                      0x00,  // empty user name
                      0x00,  // empty password
                  })
                  .Send({0x01, 0x00})
                  .Expect(kConnectLoopback)
                  .Send(kGrantedIPv4);
            },
            "10.0.0.7", 40001},
        GrantedCase{
            "Socks5ResolvesLocallyWhenAsked",
            [](TTCPBlockSocket& s) {
              s.SocksResolver = false;
              s.SetFamily(SF_IP4);
            },
            "localhost", "2121",
            [](ScriptedPeer& p) {
              p.Expect(kGreetingNoUser).Send(kChooseNoAuth).Expect(kConnectLoopback).Send(
                  kGrantedIPv4);
            },
            "10.0.0.7", 40001},
        GrantedCase{
            "Socks4Address",
            [](TTCPBlockSocket& s) {
              s.SocksType = ST_Socks4;
              s.SocksUsername = "bob";
            },
            "127.0.0.1", "ftp",
            [](ScriptedPeer& p) {
              p.Expect(Bytes{
                      0x04,             // version
                      0x01,             // CONNECT
                      0x00, 0x15,       // port 21 (service "ftp")
                      127, 0, 0, 1,     // address
                      'b', 'o', 'b',    // user id
                      0x00,             // end of user id
                  })
                  .Send({
                      0x00,             // reply version
                      90,               // granted
                      0x9c, 0x41,       // port 40001
                      10, 0, 0, 7,      // address
                  });
            },
            "10.0.0.7", 40001},
        GrantedCase{
            "Socks4aName",
            [](TTCPBlockSocket& s) {
              s.SocksType = ST_Socks4;
              s.SocksUsername = "bob";
            },
            "ftp.example", "2121",
            [](ScriptedPeer& p) {
              p.Expect(Bytes{
                      0x04,             // version
                      0x01,             // CONNECT
                  } + PortBytes(2121) + Bytes{
                      0, 0, 0, 1,       // 0.0.0.1: the proxy resolves the name
                      'b', 'o', 'b',    // user id
                      0x00,             // end of user id
                  } + kName11 + Bytes{
                      0x00,             // end of host name
                  })
                  .Send({0x00, 90, 0x9c, 0x41, 10, 0, 0, 7});
            },
            "10.0.0.7", 40001},
        GrantedCase{
            "Socks4ResolvesLocallyWhenAsked",
            [](TTCPBlockSocket& s) {
              s.SocksType = ST_Socks4;
              s.SocksResolver = false;
              s.SetFamily(SF_IP4);
            },
            "localhost", "2121",
            [](ScriptedPeer& p) {
              p.Expect(Bytes{0x04, 0x01} + PortBytes(2121) + Bytes{127, 0, 0, 1, 0x00})
                  .Send({0x00, 90, 0x9c, 0x41, 10, 0, 0, 7});
            },
            "10.0.0.7", 40001}),
    [](const testing::TestParamInfo<GrantedCase>& info) { return info.param.name; });

// A reply may arrive in any pieces: split the greeting answer and a name
// reply at every offset.
TEST(SocksConnect, RepliesSplitAtEveryOffset) {
  const Bytes reply = Bytes{0x05, 0x00, 0x00, 0x03, 11} + kName11 + PortBytes(1080);
  for (size_t split = 1; split < reply.size(); ++split) {
    SCOPED_TRACE("split at " + std::to_string(split));
    ScriptedPeer proxy;
    proxy.Expect(kGreetingNoUser)
        .SendInPieces(kChooseNoAuth, 1, 5)
        .Expect(kConnectLoopback)
        .SendInPieces(reply, {split}, 5);
    proxy.Start();
    TTCPBlockSocket sock;
    PointAtSocks(sock, proxy);
    sock.ConnectTo("127.0.0.1", "2121");
    EXPECT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
    EXPECT_EQ(sock.SocksBoundIP(), "ftp.example");
    EXPECT_EQ(sock.SocksBoundPort(), "1080");
  }
}

// ---- Refusals and broken proxies ---------------------------------------------------

struct RefusedCase {
  const char* name;
  std::function<void(TTCPBlockSocket&)> setup;
  std::string host;
  std::function<void(ScriptedPeer&)> script;  // ends with what the proxy waits for
  int error;
  std::optional<int> reply_code;
  TFailureKind kind;
};

// What a refusal of each kind says; the others keep their code's text.
std::string RefusalText(TFailureKind kind, int error) {
  switch (kind) {
    case TFailureKind::ProxyLoginRefused: return "SOCKS proxy refused the login";
    case TFailureKind::ProxyProtocol: return "SOCKS proxy answered out of protocol";
    default: return GetErrorDesc(error);
  }
}

class SocksRefused : public testing::TestWithParam<RefusedCase> {};

TEST_P(SocksRefused, EndsWithTheCodeAndSendsNothingMore) {
  const RefusedCase& c = GetParam();
  ScriptedPeer proxy;
  c.script(proxy);
  proxy.Start();
  TTCPBlockSocket sock;
  PointAtSocks(sock, proxy, 300);  // the silent proxy times out after this
  if (c.setup) c.setup(sock);
  int after_connect = 0;
  sock.OnAfterConnect = [&](TTCPBlockSocket&) { ++after_connect; };
  sock.ConnectTo(c.host, "2121");
  EXPECT_EQ(sock.LastErrorCode(), c.error) << sock.LastErrorText();
  EXPECT_EQ(sock.LastErrorKind(), c.kind);
  if (c.kind == TFailureKind::ProxyConnectRefused) {
    EXPECT_THAT(sock.LastErrorText(),
                testing::StartsWith("SOCKS proxy refused the connection to " + c.host + ":2121"));
  } else {
    EXPECT_EQ(sock.LastErrorText(), RefusalText(c.kind, c.error));
  }
  if (c.reply_code) {
    EXPECT_EQ(sock.SocksReplyCode(), *c.reply_code);
  }
  EXPECT_EQ(after_connect, 0);
  sock.Close();
  EXPECT_EQ(sock.LastErrorCode(), c.error) << "Close must keep the error";
  EXPECT_TRUE(proxy.WaitDone(kProxyWaitMs));
  EXPECT_EQ(proxy.Error(), "");
}

const std::string k256(256, 'x');

INSTANTIATE_TEST_SUITE_P(
    Failures, SocksRefused,
    testing::Values(
        RefusedCase{"NoAcceptableMethod", nullptr, "127.0.0.1",
                    [](ScriptedPeer& p) {
                      p.Expect(kGreetingNoUser).Send({0x05, 0xFF}).ExpectClosed();
                    },
                    10091, std::nullopt, TFailureKind::ProxyLoginRefused},
        RefusedCase{"MethodNeverOffered", nullptr, "127.0.0.1",
                    [](ScriptedPeer& p) {
                      p.Expect(kGreetingNoUser).Send({0x05, 0x01}).ExpectClosed();
                    },
                    10091, std::nullopt, TFailureKind::ProxyProtocol},
        RefusedCase{"WrongVersionInMethodAnswer", nullptr, "127.0.0.1",
                    [](ScriptedPeer& p) {
                      p.Expect(kGreetingNoUser).Send({0x04, 0x00}).ExpectClosed();
                    },
                    10091, std::nullopt, TFailureKind::ProxyProtocol},
        RefusedCase{"MethodAnswerCutShort", nullptr, "127.0.0.1",
                    [](ScriptedPeer& p) { p.Expect(kGreetingNoUser).Send({0x05}).Close(); },
                    10054, std::nullopt, TFailureKind::Socket},
        RefusedCase{"LoginRefused",
                    [](TTCPBlockSocket& s) {
                      s.SocksUsername = "u";
                      s.SocksPassword = "pw";
                    },
                    "127.0.0.1",
                    [](ScriptedPeer& p) {
                      p.Expect(kGreetingWithUser)
                          .Send(kChooseLogin)
                          .Expect({0x01, 0x01, 'u', 0x02, 'p', 'w'})
                          .Send({0x01, 0x01})  // status 01: refused
                          .ExpectClosed();
                    },
                    10091, std::nullopt, TFailureKind::ProxyLoginRefused},
        RefusedCase{"ConnectRefusedByTarget", nullptr, "127.0.0.1",
                    [](ScriptedPeer& p) {
                      p.Expect(kGreetingNoUser)
                          .Send(kChooseNoAuth)
                          .Expect(kConnectLoopback)
                          .Send({
                              0x05,        // version
                              0x05,        // connection refused
                              0x00,        // reserved
                              0x01,        // IPv4 address
                              0, 0, 0, 0,  // address
                              0, 0,        // port
                          })
                          .ExpectClosed();
                    },
                    10091, 5, TFailureKind::ProxyConnectRefused},
        RefusedCase{"ReplyWithWrongVersion", nullptr, "127.0.0.1",
                    [](ScriptedPeer& p) {
                      p.Expect(kGreetingNoUser)
                          .Send(kChooseNoAuth)
                          .Expect(kConnectLoopback)
                          .Send({0x04, 0x00, 0x00, 0x01})
                          .ExpectClosed();
                    },
                    10091, -1, TFailureKind::ProxyProtocol},
        RefusedCase{"ReplyWithUnknownAddressType", nullptr, "127.0.0.1",
                    [](ScriptedPeer& p) {
                      p.Expect(kGreetingNoUser)
                          .Send(kChooseNoAuth)
                          .Expect(kConnectLoopback)
                          .Send({0x05, 0x00, 0x00, 0x05})
                          .ExpectClosed();
                    },
                    10091, -1, TFailureKind::ProxyProtocol},
        RefusedCase{"ReplyCutInsideTheAddress", nullptr, "127.0.0.1",
                    [](ScriptedPeer& p) {
                      p.Expect(kGreetingNoUser)
                          .Send(kChooseNoAuth)
                          .Expect(kConnectLoopback)
                          .Send({0x05, 0x00, 0x00, 0x01, 10, 0})
                          .Close();
                    },
                    10054, -1, TFailureKind::Socket},
        RefusedCase{"ProxyNeverAnswers", nullptr, "127.0.0.1",
                    [](ScriptedPeer& p) { p.Expect(kGreetingNoUser).GoSilent(); }, 10060,
                    std::nullopt, TFailureKind::Timeout},
        RefusedCase{"ProxyNeverSendsThePort", nullptr, "127.0.0.1",
                    [](ScriptedPeer& p) {
                      p.Expect(kGreetingNoUser)
                          .Send(kChooseNoAuth)
                          .Expect(kConnectLoopback)
                          .Send({0x05, 0x00, 0x00, 0x01, 10, 0, 0, 7})
                          .GoSilent();
                    },
                    10060, -1, TFailureKind::Timeout},
        RefusedCase{"Socks4Rejected91",
                    [](TTCPBlockSocket& s) { s.SocksType = ST_Socks4; }, "127.0.0.1",
                    [](ScriptedPeer& p) {
                      p.Expect(Bytes{0x04, 0x01} + PortBytes(2121) + Bytes{127, 0, 0, 1, 0x00})
                          .Send({
                              0x00,        // reply version
                              91,          // rejected or failed
                              0, 0,        // port
                              0, 0, 0, 0,  // address
                          })
                          .ExpectClosed();
                    },
                    10091, 91, TFailureKind::ProxyConnectRefused},
        RefusedCase{"Socks4ReplyWithWrongVersion",
                    [](TTCPBlockSocket& s) { s.SocksType = ST_Socks4; }, "127.0.0.1",
                    [](ScriptedPeer& p) {
                      p.Expect(Bytes{0x04, 0x01} + PortBytes(2121) + Bytes{127, 0, 0, 1, 0x00})
                          .Send({0x04, 90, 0, 0, 0, 0, 0, 0})
                          .ExpectClosed();
                    },
                    10091, -1, TFailureKind::ProxyProtocol},
        // Fields too long for their length byte: nothing at all is sent.
        RefusedCase{"UserNameOf256Bytes",
                    [](TTCPBlockSocket& s) { s.SocksUsername = k256; }, "127.0.0.1",
                    [](ScriptedPeer& p) { p.ExpectClosed(); }, 10091, std::nullopt, TFailureKind::ProxyLoginRefused},
        RefusedCase{"PasswordOf256Bytes",
                    [](TTCPBlockSocket& s) {
                      s.SocksUsername = "u";
                      s.SocksPassword = k256;
                    },
                    "127.0.0.1", [](ScriptedPeer& p) { p.ExpectClosed(); }, 10091,
                    std::nullopt, TFailureKind::ProxyLoginRefused},
        RefusedCase{"HostNameOf256Bytes", nullptr, k256,
                    [](ScriptedPeer& p) {
                      p.Expect(kGreetingNoUser).Send(kChooseNoAuth).ExpectClosed();
                    },
                    10091, std::nullopt, TFailureKind::ProxyConnectRefused},
        // A 0 byte would end the SOCKS 4 field early on the proxy's side.
        RefusedCase{"Socks4UserIdWithAZeroByte",
                    [](TTCPBlockSocket& s) {
                      s.SocksType = ST_Socks4;
                      s.SocksUsername = std::string("bo\0b", 4);
                    },
                    "127.0.0.1", [](ScriptedPeer& p) { p.ExpectClosed(); }, 10091,
                    std::nullopt, TFailureKind::ProxyConnectRefused}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

// ---- SOCKS BIND: listen and accept through the proxy --------------------------------

TEST(SocksBind, ListensThroughTheProxyAndAcceptsOnTheSameConnection) {
  ScriptedPeer proxy;
  TTCPBlockSocket sock;
  PointAtSocks(sock, proxy);
  sock.BindTo("127.0.0.1", "0");
  ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  const int local_port = sock.LocalPortNumber();
  proxy.Expect(kGreetingNoUser)
      .Send(kChooseNoAuth)
      .Expect(Bytes{
          0x05,           // version
          0x02,           // BIND
          0x00,           // reserved
          0x01,           // IPv4 address
          127, 0, 0, 1,   // our address
      } + PortBytes(local_port))
      .Send(Bytes{
          0x05, 0x00, 0x00, 0x01,
          0, 0, 0, 0,     // listening on every address of the proxy
      } + PortBytes(50000))
      .Sleep(20)
      .Send(Bytes{
          0x05, 0x00, 0x00, 0x01,
          10, 1, 2, 3,    // who connected
      } + PortBytes(4567))
      .Send("220 hello\r\n")
      .Expect("bye\r\n")
      .ExpectClosed();
  proxy.Start();
  StatusLog log;
  log.Attach(sock);

  sock.StartListening();
  ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  EXPECT_TRUE(sock.SocksInUse());
  EXPECT_EQ(sock.LocalAddressText(), "127.0.0.1") << "0.0.0.0 becomes the proxy's own address";
  EXPECT_EQ(sock.LocalPortNumber(), 50000);
  EXPECT_EQ(sock.RemoteAddressText(), "");

  const TSocketHandle listening = sock.Handle();
  EXPECT_EQ(sock.AcceptConnection(), listening);
  ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  EXPECT_EQ(sock.RemoteAddressText(), "10.1.2.3");
  EXPECT_EQ(sock.RemotePortNumber(), 4567);
  EXPECT_EQ(log.ValuesOf(SR_Listening).size(), 1u);
  EXPECT_EQ(log.ValuesOf(SR_Accepted).size(), 1u);

  EXPECT_EQ(sock.ReceiveLine(kProxyWaitMs), "220 hello");
  sock.SendText("bye\r\n");
  sock.Close();
  EXPECT_TRUE(proxy.WaitDone(kProxyWaitMs));
  EXPECT_EQ(proxy.Error(), "");
}

TEST(SocksBind, WithoutAnAddressOfItsOwnSendsTheMachineName) {
  for (const bool wildcard_bind : {true, false}) {
    SCOPED_TRACE(wildcard_bind ? "bound to 0.0.0.0" : "never bound");
    ScriptedPeer proxy;
    TTCPBlockSocket sock;
    PointAtSocks(sock, proxy);
    if (wildcard_bind) {
      sock.SetFamily(SF_IP4);
      sock.BindTo("0.0.0.0", "0");
      ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
    }
    const std::string name = sock.LocalMachineName();
    ASSERT_LE(name.size(), 255u);
    proxy.Expect(kGreetingNoUser)
        .Send(kChooseNoAuth)
        .Expect(Bytes{0x05, 0x02, 0x00, 0x03, static_cast<uint8_t>(name.size())} + Bytes(name) +
                PortBytes(sock.LocalPortNumber()))
        .Send(Bytes{0x05, 0x00, 0x00, 0x01, 192, 0, 2, 1} + PortBytes(50001))
        .ExpectClosed();
    proxy.Start();
    sock.StartListening();
    EXPECT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
    EXPECT_EQ(sock.LocalAddressText(), "192.0.2.1");
    EXPECT_EQ(sock.LocalPortNumber(), 50001);
    sock.Close();
    EXPECT_TRUE(proxy.WaitDone(kProxyWaitMs));
    EXPECT_EQ(proxy.Error(), "");
  }
}

TEST(SocksBind, RefusalsEndWith11003) {
  // The bind itself refused.
  {
    ScriptedPeer proxy;
    proxy.Expect(kGreetingNoUser)
        .Send(kChooseNoAuth)
        .Read(10)
        .Send({0x05, 0x07, 0x00, 0x01, 0, 0, 0, 0, 0, 0})  // command not supported
        .ExpectClosed();
    proxy.Start();
    TTCPBlockSocket sock;
    PointAtSocks(sock, proxy);
    sock.BindTo("127.0.0.1", "0");
    sock.StartListening();
    EXPECT_EQ(sock.LastErrorCode(), 11003);
    EXPECT_EQ(sock.LastErrorText(), "Non recoverable error");
    EXPECT_EQ(sock.SocksReplyCode(), 7);
    sock.Close();
    EXPECT_TRUE(proxy.WaitDone(kProxyWaitMs));
    EXPECT_EQ(proxy.Error(), "");
  }
  // The second reply refused: nobody connected in time.
  {
    ScriptedPeer proxy;
    proxy.Expect(kGreetingNoUser)
        .Send(kChooseNoAuth)
        .Read(10)
        .Send(Bytes{0x05, 0x00, 0x00, 0x01, 127, 0, 0, 1} + PortBytes(50000))
        .Send({0x05, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0})  // general failure
        .ExpectClosed();
    proxy.Start();
    TTCPBlockSocket sock;
    PointAtSocks(sock, proxy);
    sock.BindTo("127.0.0.1", "0");
    sock.StartListening();
    ASSERT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
    sock.AcceptConnection();
    EXPECT_EQ(sock.LastErrorCode(), 11003);
    EXPECT_EQ(sock.SocksPeerIP(), "");
    sock.Close();
    EXPECT_TRUE(proxy.WaitDone(kProxyWaitMs));
    EXPECT_EQ(proxy.Error(), "");
  }
}

TEST(SocksBind, AFailedProxyConnectKeepsItsOwnError) {
  int port = 0;
  {
    test::UniqueFd listener = test::ListenTcp("127.0.0.1", 0);
    ASSERT_TRUE(listener.valid());
    port = test::LocalEndpoint(listener.get()).port;
  }  // closed: connecting to it is refused
  TTCPBlockSocket sock;
  sock.SocksIP = "127.0.0.1";
  sock.SocksPort = std::to_string(port);
  sock.BindTo("127.0.0.1", "0");
  sock.StartListening();
  EXPECT_EQ(sock.LastErrorCode(), 10061) << sock.LastErrorText();
}

// ---- Encoding and decoding without a connection ----------------------------------

TEST(SocksEncoding, DestinationsThatCannotBeEncodedAreEmpty) {
  TSocksBlockSocket sock;
  EXPECT_EQ(sock.EncodeSocksDestination(std::string(255, 'n'), "21").size(), 1u + 1 + 255 + 2);
  EXPECT_EQ(sock.EncodeSocksDestination(std::string(256, 'n'), "21"), "");
  sock.SocksType = ST_Socks4;
  EXPECT_EQ(sock.EncodeSocksDestination(std::string(300, 'n'), "21").size(), 2u + 4 + 1 + 300 + 1)
      << "SOCKS 4a names have no length byte";
  EXPECT_EQ(sock.EncodeSocksDestination(std::string("a\0b", 3), "21"), "");
}

struct DecodeCase {
  const char* name;
  TSocksType type;
  Bytes reply;
  std::string ip;
  std::string port;
};

class SocksDecode : public testing::TestWithParam<DecodeCase> {};

TEST_P(SocksDecode, FillsAddressAndPort) {
  const DecodeCase& c = GetParam();
  TSocksBlockSocket sock;
  sock.SocksType = c.type;
  sock.DecodeSocksAddress(c.reply.view());
  EXPECT_EQ(sock.SocksReplyIP(), c.ip);
  EXPECT_EQ(sock.SocksReplyPort(), c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SocksDecode,
    testing::Values(
        DecodeCase{"Socks4", ST_Socks4, {0x00, 90, 0x01, 0xBB, 192, 168, 255, 1},
                   "192.168.255.1", "443"},
        DecodeCase{"Socks4TooShort", ST_Socks4, {0x00, 90, 0x01, 0xBB, 192, 168, 255}, "", "0"},
        DecodeCase{"Socks5IPv4", ST_Socks5, {5, 0, 0, 1, 255, 0, 0, 9, 0xFF, 0xFF},
                   "255.0.0.9", "65535"},
        DecodeCase{"Socks5IPv4TooShort", ST_Socks5, {5, 0, 0, 1, 255, 0, 0, 9, 0xFF}, "", "0"},
        DecodeCase{"Socks5Name", ST_Socks5, Bytes{5, 0, 0, 3, 3} + Bytes("abc") + PortBytes(80),
                   "abc", "80"},
        DecodeCase{"Socks5NameLongerThanTheReply", ST_Socks5,
                   Bytes{5, 0, 0, 3, 9} + Bytes("abc") + PortBytes(80), "", "0"},
        DecodeCase{"Socks5EmptyName", ST_Socks5, Bytes{5, 0, 0, 3, 0} + PortBytes(7), "", "7"},
        DecodeCase{"Socks5IPv6", ST_Socks5,
                   Bytes{5, 0, 0, 4, 0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1} +
                       PortBytes(21),
                   "fe80::1", "21"},
        DecodeCase{"Socks5UnknownType", ST_Socks5, {5, 0, 0, 2, 1, 2, 3, 4, 0, 21}, "", "0"},
        DecodeCase{"Socks5HeadOnly", ST_Socks5, {5, 0, 0}, "", "0"}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return info.param.name; });

TEST(SocksLogin, Socks4SendsNothingAndIsInUse) {
  TSocksBlockSocket sock;  // no connection at all: a send would fail
  sock.SocksType = ST_Socks4;
  EXPECT_TRUE(sock.NegotiateSocksLogin());
  EXPECT_TRUE(sock.SocksInUse());
  EXPECT_EQ(sock.LastErrorCode(), 0);
}

}  // namespace
}  // namespace zud
