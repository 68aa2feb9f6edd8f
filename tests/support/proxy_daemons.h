// Real proxies on 127.0.0.1 for tests, each on a free port with its own
// temporary configuration, stopped (with everything it forked) in the
// destructor. Pair them with an EchoServer (echo_server.h) as the target.
//
//   DanteServer dante;                 // SOCKS 4 and 5, no authentication
//   PerlSocksServer socks4a;           // SOCKS 4, 4a and 5 CONNECT
//   ZUD_REQUIRE_DAEMON(dante);
//   EchoServer echo;
//   ... SOCKS CONNECT through dante.port() to echo.port() ...
//
//   MicrosocksServer socks5({.user = "zud", .password = "secret"});
//   TinyproxyServer http_proxy({.user = "zud", .password = "secret"});
//   TinyproxyServer open_proxy;        // no authorization needed
#pragma once

#include <string>

#include "support/daemon_fixture.h"

namespace zud::test {

// danted: SOCKS 4 and 5 with no authentication; CONNECT and BIND (and the
// bind reply) allowed from and to 127.0.0.0/8, BIND ports on 127.0.0.1. SOCKS
// 5 requests may name the host "localhost". Dante does not speak SOCKS 4a:
// it takes the 0.0.0.x address of a 4a request literally and refuses it; use
// PerlSocksServer for 4a.
class DanteServer : public DaemonFixture {
 public:
  DanteServer();
};

// tests/support/socks_server.pl on IO::Socket::Socks: SOCKS 4, 4a and 5
// CONNECT (no BIND), no authentication, loopback destinations only.
class PerlSocksServer : public DaemonFixture {
 public:
  PerlSocksServer();
};

struct ProxyCredentials {
  std::string user;      // empty: no authentication
  std::string password;
};

// microsocks: SOCKS 5 only; with credentials it accepts only the user name
// and password method (RFC 1929).
class MicrosocksServer : public DaemonFixture {
 public:
  explicit MicrosocksServer(const ProxyCredentials& credentials = {});
  const ProxyCredentials& credentials() const { return credentials_; }

 private:
  ProxyCredentials credentials_;
};

// tinyproxy: HTTP proxy for clients on 127.0.0.0/8 whose CONNECT reaches any
// port; with credentials it answers 407 unless the request carries
// "Proxy-Authorization: Basic ...".
class TinyproxyServer : public DaemonFixture {
 public:
  explicit TinyproxyServer(const ProxyCredentials& credentials = {});
  const ProxyCredentials& credentials() const { return credentials_; }

 private:
  ProxyCredentials credentials_;
};

}  // namespace zud::test
