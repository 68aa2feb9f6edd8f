// An in-process TCP echo peer on loopback, as a target for proxy tests: every
// byte a connection sends comes back on it; when a connection half-closes,
// the echo finishes and the server closes its side too. Serves any number of
// connections at a time, on one thread, until destroyed.
//
//   EchoServer echo(Family::kIPv4);
//   ASSERT_TRUE(echo.ok()) << echo.error();
//   ... connect (through a proxy) to echo.host():echo.port(), send, read back ...
//   EXPECT_EQ(echo.connection_count(), 1);
//   EXPECT_EQ(echo.peers()[0].host, "127.0.0.1");  // who connected (the proxy)
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/net.h"

namespace zud::test {

class EchoServer {
 public:
  explicit EchoServer(Family family = Family::kIPv4);
  ~EchoServer();
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  bool ok() const { return listener_.valid(); }
  const std::string& error() const { return error_; }
  const char* host() const { return LoopbackHost(family_); }
  int port() const { return port_; }
  Endpoint endpoint() const { return Endpoint{host(), port_}; }

  int connection_count() const;
  // Remote addresses of the accepted connections, in order.
  std::vector<Endpoint> peers() const;
  // Total bytes echoed over all connections.
  size_t bytes_echoed() const;

 private:
  void Run();

  Family family_;
  UniqueFd listener_;
  int port_ = 0;
  std::string error_;
  StopSignal stop_;
  mutable std::mutex mutex_;
  std::vector<Endpoint> peers_;
  size_t bytes_echoed_ = 0;
  std::thread thread_;
};

}  // namespace zud::test
