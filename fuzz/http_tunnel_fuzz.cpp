// Feeds arbitrary bytes to the HTTP tunnel as what a proxy answers to
// CONNECT. The proxy is a loopback listener of this target: when the client
// reports its connection to it, the target accepts that connection, writes
// the whole input and ends its side, so the answer is there before the
// client reads and one thread suffices.
//
// Input layout: the whole input is the proxy's answer; its first byte also
// chooses whether a Proxy-Authorization line is sent (bit 0).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sockets/socketlayer.h"
#include "sockets/socketerrors.h"
#include "sockets/tcpsocket.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

// The listening proxy socket, made once; its port as text.
int Listener(std::string& port) {
  static int fd = -1;
  static std::string port_text;
  if (fd < 0) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      abort();
    }
    port_text = std::to_string(ntohs(address.sin_port));
  }
  port = port_text;
  return fd;
}

void Offer(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) return;
    data.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = (zud::StartSocketLayer(), true);
  (void)started;
  if (size == 0) return 0;
  std::string port;
  const int listener = Listener(port);
  const std::string_view answer(reinterpret_cast<const char*>(data), size);
  int proxy = -1;
  {
    zud::TTCPBlockSocket tunnel;
    tunnel.HTTPTunnelIP = "127.0.0.1";
    tunnel.HTTPTunnelPort = port;
    tunnel.HTTPTunnelTimeout = 0;
    if (data[0] & 1) {
      tunnel.HTTPTunnelUser = "user";
      tunnel.HTTPTunnelPass = "secret";
    }
    tunnel.OnStatus = [&](zud::TBlockSocket& socket, zud::THookSocketReason reason,
                          const std::string&) {
      if (reason != zud::SR_Connected || proxy >= 0) return;
      // A reset rather than an orderly close: no connection lingers in
      // TIME_WAIT, however many inputs run.
      socket.ApplyOption({zud::OT_Linger, true, 0});
      proxy = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (proxy < 0) return;
      Offer(proxy, answer);
      shutdown(proxy, SHUT_WR);
    };
    tunnel.ConnectTo("target.example", "21");
    if (tunnel.LastErrorCode() == 0) {
      Check(tunnel.TunnelEstablished(), "success only on a 2xx status line");
      Check(tunnel.TunnelPeerIP() == "target.example" && tunnel.TunnelPeerPort() == "21",
            "the peer is the target asked for");
    }
    Check(tunnel.LineBuffer().size() <= answer.size(), "nothing invented");
  }
  if (proxy >= 0) close(proxy);
  return 0;
}
