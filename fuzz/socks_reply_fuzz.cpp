// Feeds arbitrary bytes to the SOCKS client as what a proxy answers: the
// login steps and the reply reader read from a local socket pair whose other
// end this target plays, and the reply decoder gets the bytes directly.
//
// Input layout: the first byte chooses the run.
//   bit 0     SOCKS 4 (set) or SOCKS 5
//   bit 1     a user name and password are offered (SOCKS 5 login record)
//   bit 2     the login runs before the reply is read (else the reply only)
// The rest is everything the proxy says, in the socket before the client
// reads, so the client reads with SocksTimeout 0.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sockets/socketlayer.h"
#include "sockets/sockssocket.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

void Offer(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) return;
    data.remove_prefix(static_cast<size_t>(n));
  }
}

void CheckPort(const std::string& port) {
  Check(!port.empty() && port.size() <= 5, "a reply port is a short number");
  for (const char c : port) Check(c >= '0' && c <= '9', "a reply port is decimal");
  Check(std::stol(port) <= 65535, "a reply port fits 16 bits");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = (zud::StartSocketLayer(), true);
  (void)started;
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const zud::TSocksType type = selector & 1 ? zud::ST_Socks4 : zud::ST_Socks5;

  {
    zud::TSocksBlockSocket decoder;
    decoder.SocksType = type;
    decoder.DecodeSocksAddress(rest);
    CheckPort(decoder.SocksReplyPort());
  }

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  const int proxy = fds[1];
  Offer(proxy, rest);
  shutdown(proxy, SHUT_WR);
  {
    zud::TSocksBlockSocket socks;
    socks.AdoptHandle(fds[0]);  // owned and closed by the socket
    socks.SocksType = type;
    socks.SocksTimeout = 0;
    if (selector & 2) {
      socks.SocksUsername = "user";
      socks.SocksPassword = "secret";
    }
    bool ok = true;
    if (selector & 4) ok = socks.NegotiateSocksLogin();
    if (ok && socks.ReadSocksReply()) {
      Check(socks.SocksReplyCode() == 0 || socks.SocksReplyCode() == 90, "granted codes only");
      CheckPort(socks.SocksReplyPort());
      Check(socks.SocksReplyIP().size() <= 255, "a reply address fits its length byte");
    }
  }
  close(proxy);
  return 0;
}
