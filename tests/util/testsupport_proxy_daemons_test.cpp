// Self-tests of the real proxy fixtures, with hand-made SOCKS and HTTP
// CONNECT handshakes over raw sockets to an in-process echo peer: if these
// pass, a failing proxy test of the library is the library's fault.
#include "support/proxy_daemons.h"

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "support/bytes.h"
#include "support/echo_server.h"

namespace zud::test {
namespace {

using testing::HasSubstr;
using testing::StartsWith;

// A fixture whose program is installed must start; only absence may skip.
#define ASSERT_STARTED(daemon)                                             \
  do {                                                                     \
    if ((daemon).missing()) GTEST_SKIP() << (daemon).error();              \
    ASSERT_TRUE((daemon).ok()) << (daemon).error();                        \
  } while (0)

UniqueFd Connect(const DaemonFixture& proxy) {
  std::string why;
  UniqueFd fd = ConnectTcp(proxy.host(), proxy.port(), 5000, &why);
  EXPECT_TRUE(fd.valid()) << why;
  return fd;
}

// Sends request and reads exactly reply_size bytes of the proxy's answer.
std::string Exchange(int fd, const Bytes& request, size_t reply_size) {
  std::string reply, why;
  EXPECT_TRUE(SendAll(fd, request.view(), 5000, &why)) << why;
  EXPECT_TRUE(RecvExact(fd, reply_size, &reply, 5000, &why)) << why;
  return reply;
}

// Sends text through an established tunnel and expects it echoed.
void ExpectEcho(int fd, const std::string& text) {
  std::string back, why;
  ASSERT_TRUE(SendAll(fd, text, 5000, &why)) << why;
  ASSERT_TRUE(RecvExact(fd, text.size(), &back, 5000, &why)) << why;
  EXPECT_EQ(back, text);
}

Bytes Socks5ConnectIPv4(int port) {
  return Bytes{
             0x05,            // Version
             0x01,            // CONNECT
             0x00,            // Reserved
             0x01,            // IPv4 address
             127, 0, 0, 1,    // 127.0.0.1
         } + PortBytes(port);
}

TEST(DanteServerTest, Socks5Connect) {
  DanteServer dante;
  ASSERT_STARTED(dante);
  EchoServer echo;
  UniqueFd fd = Connect(dante);
  EXPECT_EQ(Exchange(fd.get(), {0x05, 0x01, 0x00}, 2), Bytes({0x05, 0x00}).str());
  std::string reply = Exchange(fd.get(), Socks5ConnectIPv4(echo.port()), 10);
  EXPECT_EQ(reply.substr(0, 4), Bytes({0x05, 0x00, 0x00, 0x01}).str()) << HexDump(reply);
  ExpectEcho(fd.get(), "through socks5");
  EXPECT_EQ(echo.connection_count(), 1);
}

Bytes Socks4Connect(int port) {
  return Bytes{0x04, 0x01} + PortBytes(port) + Bytes{127, 0, 0, 1} + Bytes("zud") + Bytes{0x00};
}

Bytes Socks4aConnect(const std::string& name, int port) {
  return Bytes{0x04, 0x01} + PortBytes(port) +
         Bytes{0, 0, 0, 1} +  // 0.0.0.x: a host name follows the user id
         Bytes("zud") + Bytes{0x00} + Bytes(name) + Bytes{0x00};
}

TEST(DanteServerTest, Socks4ConnectAndNo4a) {
  DanteServer dante;
  ASSERT_STARTED(dante);
  EchoServer echo;
  UniqueFd v4 = Connect(dante);
  std::string reply = Exchange(v4.get(), Socks4Connect(echo.port()), 8);
  EXPECT_EQ(reply.substr(0, 2), Bytes({0x00, 0x5A}).str()) << HexDump(reply);
  ExpectEcho(v4.get(), "through socks4");
  // Documents the gap PerlSocksServer fills: 4a is refused with 91.
  UniqueFd v4a = Connect(dante);
  reply = Exchange(v4a.get(), Socks4aConnect("localhost", echo.port()), 8);
  EXPECT_EQ(reply.substr(0, 2), Bytes({0x00, 0x5B}).str()) << HexDump(reply);
}

TEST(PerlSocksServerTest, Socks4And4aAnd5Connect) {
  PerlSocksServer socks;
  ASSERT_STARTED(socks);
  EchoServer echo;
  UniqueFd v4 = Connect(socks);
  std::string reply = Exchange(v4.get(), Socks4Connect(echo.port()), 8);
  EXPECT_EQ(reply.substr(0, 2), Bytes({0x00, 0x5A}).str()) << HexDump(reply) << socks.Log();
  ExpectEcho(v4.get(), "through socks4");

  UniqueFd v4a = Connect(socks);
  reply = Exchange(v4a.get(), Socks4aConnect("localhost", echo.port()), 8);
  EXPECT_EQ(reply.substr(0, 2), Bytes({0x00, 0x5A}).str()) << HexDump(reply) << socks.Log();
  ExpectEcho(v4a.get(), "through socks4a");

  UniqueFd v5 = Connect(socks);
  EXPECT_EQ(Exchange(v5.get(), {0x05, 0x01, 0x00}, 2), Bytes({0x05, 0x00}).str());
  const Bytes by_name = Bytes{0x05, 0x01, 0x00, 0x03, 9} + Bytes("localhost") +
                        PortBytes(echo.port());
  reply = Exchange(v5.get(), by_name, 10);
  EXPECT_EQ(reply.substr(0, 4), Bytes({0x05, 0x00, 0x00, 0x01}).str()) << HexDump(reply);
  ExpectEcho(v5.get(), "through socks5");
  EXPECT_EQ(echo.connection_count(), 3);
}

TEST(DanteServerTest, Socks5BindAcceptsAConnectionForTheClient) {
  DanteServer dante;
  ASSERT_STARTED(dante);
  UniqueFd fd = Connect(dante);
  EXPECT_EQ(Exchange(fd.get(), {0x05, 0x01, 0x00}, 2), Bytes({0x05, 0x00}).str());
  // BIND names the peer expected to connect: here, anyone on 127.0.0.1.
  const Bytes bind = Bytes{0x05, 0x02, 0x00, 0x01, 127, 0, 0, 1} + PortBytes(0);
  std::string first = Exchange(fd.get(), bind, 10);
  ASSERT_EQ(first.substr(0, 4), Bytes({0x05, 0x00, 0x00, 0x01}).str()) << HexDump(first);
  int bound_port = (static_cast<unsigned char>(first[8]) << 8) | static_cast<unsigned char>(first[9]);
  std::string why;
  UniqueFd incoming = ConnectTcp("127.0.0.1", bound_port, 5000, &why);
  ASSERT_TRUE(incoming.valid()) << why;
  std::string second;
  ASSERT_TRUE(RecvExact(fd.get(), 10, &second, 5000, &why)) << why;
  EXPECT_EQ(second.substr(0, 4), Bytes({0x05, 0x00, 0x00, 0x01}).str()) << HexDump(second);
  ASSERT_TRUE(SendAll(incoming.get(), "to the client"));
  std::string got;
  ASSERT_TRUE(RecvExact(fd.get(), 13, &got, 5000, &why)) << why;
  EXPECT_EQ(got, "to the client");
}

TEST(MicrosocksServerTest, Socks5UserPasswordLogin) {
  MicrosocksServer socks({.user = "zud", .password = "secret"});
  ASSERT_STARTED(socks);
  EchoServer echo;
  const Bytes kOffer = {
      0x05,  // Version
      0x01,  // One method
      0x02,  // User name and password
  };
  UniqueFd fd = Connect(socks);
  EXPECT_EQ(Exchange(fd.get(), kOffer, 2), Bytes({0x05, 0x02}).str());
  const Bytes login = Bytes{0x01, 3} + Bytes("zud") + Bytes{6} + Bytes("secret");
  EXPECT_EQ(Exchange(fd.get(), login, 2), Bytes({0x01, 0x00}).str());
  std::string reply = Exchange(fd.get(), Socks5ConnectIPv4(echo.port()), 10);
  EXPECT_EQ(reply.substr(0, 2), Bytes({0x05, 0x00}).str()) << HexDump(reply);
  ExpectEcho(fd.get(), "through microsocks");

  UniqueFd wrong = Connect(socks);
  EXPECT_EQ(Exchange(wrong.get(), kOffer, 2), Bytes({0x05, 0x02}).str());
  const Bytes bad_login = Bytes{0x01, 3} + Bytes("zud") + Bytes{5} + Bytes("wrong");
  std::string refused = Exchange(wrong.get(), bad_login, 2);
  EXPECT_EQ(refused[0], 0x01);
  EXPECT_NE(refused[1], 0x00);
}

std::string ConnectRequest(int port, const std::string& extra_headers = "") {
  return "CONNECT 127.0.0.1:" + std::to_string(port) + " HTTP/1.0\r\n" + extra_headers + "\r\n";
}

// Reads an HTTP response head through the blank line.
std::string ResponseHead(int fd) {
  std::string head, line, why;
  do {
    EXPECT_TRUE(RecvLine(fd, &line, 5000, &why)) << why;
    head += line + "\n";
  } while (!line.empty());
  return head;
}

TEST(TinyproxyServerTest, ConnectWithoutAuthorization) {
  TinyproxyServer proxy;
  ASSERT_STARTED(proxy);
  EchoServer echo;
  UniqueFd fd = Connect(proxy);
  ASSERT_TRUE(SendAll(fd.get(), ConnectRequest(echo.port())));
  EXPECT_THAT(ResponseHead(fd.get()), StartsWith("HTTP/1.0 200"));
  ExpectEcho(fd.get(), "through tinyproxy");
}

TEST(TinyproxyServerTest, ConnectNeedsBasicAuthorizationWhenConfigured) {
  TinyproxyServer proxy({.user = "zud", .password = "secret"});
  ASSERT_STARTED(proxy);
  EchoServer echo;
  UniqueFd refused = Connect(proxy);
  ASSERT_TRUE(SendAll(refused.get(), ConnectRequest(echo.port())));
  EXPECT_THAT(ResponseHead(refused.get()), StartsWith("HTTP/1.0 407"));

  UniqueFd fd = Connect(proxy);
  // base64("zud:secret")
  ASSERT_TRUE(SendAll(fd.get(), ConnectRequest(echo.port(),
                                               "Proxy-Authorization: Basic enVkOnNlY3JldA==\r\n")));
  EXPECT_THAT(ResponseHead(fd.get()), StartsWith("HTTP/1.0 200"));
  ExpectEcho(fd.get(), "authorized");
  EXPECT_EQ(echo.connection_count(), 1);
}

}  // namespace
}  // namespace zud::test
