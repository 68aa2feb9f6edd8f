// Small helpers shared by the TTCPBlockSocket tests: pointing a socket at a
// scripted or real proxy, and a recorder for the status reports.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sockets/tcpsocket.h"
#include "support/scripted_peer.h"

namespace zud::tcpsocket_test {

// Short enough that failing cases end quickly, long enough for a loaded box.
inline constexpr int kProxyWaitMs = 5000;

inline void PointAtSocks(TTCPBlockSocket& sock, const test::ScriptedPeer& proxy,
                         int timeout_ms = kProxyWaitMs) {
  sock.SocksIP = proxy.host();
  sock.SocksPort = std::to_string(proxy.port());
  sock.SocksTimeout = timeout_ms;
}

inline void PointAtTunnel(TTCPBlockSocket& sock, const test::ScriptedPeer& proxy,
                          int timeout_ms = kProxyWaitMs) {
  sock.HTTPTunnelIP = proxy.host();
  sock.HTTPTunnelPort = std::to_string(proxy.port());
  sock.HTTPTunnelTimeout = timeout_ms;
}

// Records every status report of a socket as (reason, value).
struct StatusLog {
  std::vector<std::pair<THookSocketReason, std::string>> entries;

  void Attach(TBlockSocket& sock) {
    sock.OnStatus = [this](TBlockSocket&, THookSocketReason reason, const std::string& value) {
      entries.emplace_back(reason, value);
    };
  }
  std::vector<std::string> ValuesOf(THookSocketReason reason) const {
    std::vector<std::string> values;
    for (const auto& [r, v] : entries) {
      if (r == reason) values.push_back(v);
    }
    return values;
  }
};

}  // namespace zud::tcpsocket_test
