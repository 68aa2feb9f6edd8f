// TTCPBlockSocket: connect through SOCKS, listen and accept through SOCKS
// BIND, and connect through an HTTP proxy's CONNECT tunnel.
#include <algorithm>

#include "sockets/socketerrors.h"
#include "sockets/tcpsocket.h"
#include "util/codec.h"
#include "util/deadline.h"
#include "util/iptext.h"

namespace zud {

namespace {

// Restores the receive settings that the tunnel read changes for itself.
class SavedReceiveSettings {
 public:
  explicit SavedReceiveSettings(TBlockSocket& socket)
      : socket_(socket),
        max_line_length_(socket.MaxLineLength),
        inter_packet_timeout_(socket.InterPacketTimeout) {}
  ~SavedReceiveSettings() {
    socket_.MaxLineLength = max_line_length_;
    socket_.InterPacketTimeout = inter_packet_timeout_;
  }
  SavedReceiveSettings(const SavedReceiveSettings&) = delete;
  SavedReceiveSettings& operator=(const SavedReceiveSettings&) = delete;

 private:
  TBlockSocket& socket_;
  int32_t max_line_length_;
  bool inter_packet_timeout_;
};

// A host text that would break the request line or add header lines.
bool UnfitForRequestLine(const std::string& host) {
  return std::any_of(host.begin(), host.end(),
                     [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7F; });
}

// The text of a SOCKS refusal of the connection to host:port.
std::string SocksRefusalText(TFailureKind kind, const std::string& host, const std::string& port,
                             int32_t reply_code) {
  switch (kind) {
    case TFailureKind::ProxyLoginRefused: return "SOCKS proxy refused the login";
    case TFailureKind::ProxyConnectRefused:
      return "SOCKS proxy refused the connection to " + host + ":" + port +
             (reply_code > 0 ? " (reply " + std::to_string(reply_code) + ")" : "");
    default: return "SOCKS proxy answered out of protocol";
  }
}

}  // namespace

// ---- SOCKS -----------------------------------------------------------------------

void TTCPBlockSocket::ConnectThroughSocks(const std::string& host, const std::string& port) {
  TSocksBlockSocket::ConnectTo(SocksIP, SocksPort);
  if (LastErrorCode() == 0) {
    const bool granted = NegotiateSocksLogin() && SendSocksRequest(SOCKS_CONNECT, host, port) &&
                         ReadSocksReply();
    if (!granted && LastErrorCode() == 0) {
      const TFailureKind kind = SocksRefusal() == TFailureKind::None ? TFailureKind::ProxyProtocol
                                                                     : SocksRefusal();
      SetProxyFailure(kErrRefused, kind, SocksRefusalText(kind, host, port, SocksReplyCode()));
    }
    socks_bound_ip_ = SocksReplyIP();
    socks_bound_port_ = SocksReplyPort();
    socks_peer_ip_ = host;
    socks_peer_port_ = port;
  }
  ReportLastError();
  ReportStatus(SR_Connected, host + ":" + port);
}

void TTCPBlockSocket::StartListeningThroughSocks() {
  // What the proxy is told about our end; it answers with where it listens.
  // With no address of our own yet (a wildcard bind, or no handle at all)
  // the machine's name is the best we can tell.
  std::string ip = LocalAddressText();
  if (ip.empty() || ip == "0.0.0.0" || ip == "::") ip = LocalMachineName();
  const std::string port = std::to_string(LocalPortNumber());
  TSocksBlockSocket::ConnectTo(SocksIP, SocksPort);
  // After a failed connect the steps could only fail, and their send error
  // would hide why the connect failed.
  if (LastErrorCode() == 0) {
    const bool granted =
        NegotiateSocksLogin() && SendSocksRequest(SOCKS_BIND, ip, port) && ReadSocksReply();
    if (!granted && LastErrorCode() == 0) {
      SetProxyFailure(kErrSocksListenFailed, SocksRefusal());
    }
  }
  // A proxy listening on all its addresses is reachable where we reached it.
  socks_bound_ip_ = SocksReplyIP() == "0.0.0.0" ? SocksIP : SocksReplyIP();
  socks_bound_port_ = SocksReplyPort();
  socks_peer_ip_.clear();
  socks_peer_port_.clear();
  ReportLastError();
  ReportStatus(SR_Listening, std::string());
}

TSocketHandle TTCPBlockSocket::AcceptThroughSocks() {
  // The proxy's second reply: the remote party has connected to its port.
  if (!ReadSocksReply() && LastErrorCode() == 0) {
    SetProxyFailure(kErrSocksListenFailed, SocksRefusal());
  }
  socks_peer_ip_ = SocksReplyIP();
  socks_peer_port_ = SocksReplyPort();
  // The connection to the proxy now is the accepted connection.
  const TSocketHandle accepted = Handle();
  ReportLastError();
  ReportStatus(SR_Accepted, std::string());
  return accepted;
}

// ---- HTTP tunnel ----------------------------------------------------------------------

void TTCPBlockSocket::ConnectThroughHTTPTunnel(const std::string& host, const std::string& port) {
  // Service names are resolved here: the proxy is given a number.
  const std::string port_text = std::to_string(ResolvePortNumber(port));
  if (UnfitForRequestLine(host)) {
    // Spaces, CR or LF in the host would inject into the request; refused
    // before anything is connected or sent.
    ClearLastError();
    SetProxyFailure(kErrRefused, TFailureKind::TunnelRefused,
                    "host name unfit for an HTTP CONNECT request");
    ReportLastError();
    return;
  }
  TSocksBlockSocket::ConnectTo(HTTPTunnelIP, HTTPTunnelPort);
  if (LastErrorCode() != 0) return;
  tunnel_established_ = false;
  const std::string target = IsIPv6Text(host) ? "[" + host + "]" : host;
  RequestTunnel(target, port_text);
  if (LastErrorCode() != 0) {
    tunnel_established_ = false;
  } else if (!tunnel_established_) {
    SetProxyFailure(kErrRefused,
                    tunnel_status_.starts_with("407") ? TFailureKind::TunnelAuthRequired
                                                      : TFailureKind::TunnelRefused,
                    tunnel_status_.empty() ? "HTTP proxy sent no status line"
                                           : "HTTP proxy refused the tunnel: " + tunnel_status_);
  }
  tunnel_peer_ip_ = target;
  tunnel_peer_port_ = port_text;
  ReportLastError();
}

void TTCPBlockSocket::RequestTunnel(const std::string& target, const std::string& port) {
  SendText("CONNECT " + target + ":" + port + " HTTP/1.0\r\n");
  if (LastErrorCode() != 0) return;
  if (!HTTPTunnelUser.empty()) {
    SendText("Proxy-Authorization: Basic " +
             ConvertToBase64(HTTPTunnelUser + ":" + HTTPTunnelPass) + "\r\n");
    if (LastErrorCode() != 0) return;
  }
  SendText("\r\n");
  if (LastErrorCode() != 0) return;

  // The answer is untrusted: each line is bounded in length, the number of
  // lines too, and HTTPTunnelTimeout bounds the whole answer, so a proxy
  // that sends line after line, or byte after byte, cannot stretch it.
  tunnel_status_.clear();
  const TDeadline deadline(HTTPTunnelTimeout);
  SavedReceiveSettings saved(*this);
  if (MaxLineLength <= 0 || MaxLineLength > kTunnelMaxLineLength) {
    MaxLineLength = kTunnelMaxLineLength;
  }
  InterPacketTimeout = false;
  for (int lines = 1;; ++lines) {
    const std::string line = ReceiveUntil(deadline.Left(), "\n");
    if (LastErrorCode() != 0) return;
    // A status line: "HTTP/x.y" and a code whose first digit is at byte 10.
    if (line.size() > 11 && line.compare(0, 5, "HTTP/") == 0) {
      tunnel_established_ = line[9] == '2';
      tunnel_status_ = line.substr(9, line.back() == '\r' ? line.size() - 10 : std::string::npos);
    }
    if (line.empty() || line == "\r") return;
    if (lines >= kTunnelMaxLines) {
      SetProxyFailure(kErrRefused, TFailureKind::TunnelRefused,
                      "HTTP proxy sent more than " + std::to_string(kTunnelMaxLines) + " lines");
      return;
    }
  }
}

}  // namespace zud
