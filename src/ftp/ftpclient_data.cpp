// TFTPSend: the data connection. Negotiation (passive: EPSV over IPv6, PASV
// over IPv4; active: EPRT over IPv6, PORT over IPv4), the accept of the
// server's connection in active mode, TLS on the data connection, and the
// transfer of a whole stream in either direction followed by the server's
// final reply.
//
// The data connection takes the control connection's proxy (see
// DataProxyFromControl): a passive connect through SOCKS or the HTTP tunnel,
// an active listen through SOCKS BIND.
//
// Two rules keep a hostile server (or anything else on the path) from using
// the data connection against the client:
//   - a PASV data connection goes to the control connection's peer, whatever
//     address the reply names (unless TrustPassiveAddress is set); EPSV names
//     no address at all;
//   - in active mode only a connection from the control connection's peer is
//     accepted; any other is closed at once and the wait goes on.
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftpclient.h"
#include "ftp/ftpclient_text.h"
#include "sockets/socketerrors.h"
#include "util/iptext.h"
#include "util/textutil.h"

namespace zud {

namespace {

using ftp_internal::ReplyClass;
using ftp_internal::TrimControlChars;

constexpr int32_t kDataLingerMs = 10000;
// How long the final reply is awaited after the data connection stalled:
// the user has waited one full timeout already, and a server that still
// answers does so at once.
constexpr int32_t kReplyWaitAfterStall = 2000;

// An address text without IPv6 brackets and, for an IPv4 peer reached over
// an IPv6 socket, without the "::ffff:" prefix, so that texts of the same
// host compare equal.
std::string PlainAddress(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  constexpr std::string_view kMappedPrefix = "::ffff:";
  if (text.size() > kMappedPrefix.size() &&
      SameText8(text.substr(0, kMappedPrefix.size()), kMappedPrefix) &&
      IsIPv4Text(text.substr(kMappedPrefix.size()))) {
    text = text.substr(kMappedPrefix.size());
  }
  return std::string(text);
}

// Whether a connection from peer (an IP text) comes from the host the
// control connection talks to. Through a proxy the control peer may be a
// name; every address it resolves to counts.
bool IsControlPeer(const TTCPBlockSocket& control, const std::string& peer) {
  const std::string expected = PlainAddress(control.RemoteAddressText());
  const std::string actual = PlainAddress(peer);
  if (expected.empty() || actual.empty()) return false;
  if (IsIPv4Text(expected) || IsIPv6Text(expected)) return SameText8(expected, actual);
  std::vector<std::string> addresses;
  control.ResolveNameToList(expected, addresses);
  for (const std::string& address : addresses) {
    if (SameText8(PlainAddress(address), actual)) return true;
  }
  return false;
}

// Waits for the server's connection on the listening data socket and adopts
// it. Connections from anyone else are closed as they come, within the same
// overall timeout. Through SOCKS the proxy reports the one connection that
// counts, and the proxy connection itself becomes the data connection.
bool AcceptFromServer(TTCPBlockSocket& data, const TTCPBlockSocket& control, int32_t timeout) {
  const bool through_socks = data.SocksInUse();
  const uint32_t start = ReadTickCounter();
  int32_t wait = timeout;
  for (;;) {
    if (!data.WaitReadable(wait)) return false;
    const TSocketHandle accepted = data.AcceptConnection();
    if (accepted == kInvalidSocket) return false;
    if (through_socks || IsControlPeer(control, data.RemoteAddressText())) {
      if (!through_socks) data.Close();
      data.AdoptHandle(accepted);
      return true;
    }
    {
      // Closed unread: the stranger gets a reset and nothing else.
      TBlockSocket stranger;
      stranger.AdoptHandle(accepted);
    }
    if (timeout >= 0) {
      const uint32_t elapsed = ComputeTickSpan(start, ReadTickCounter());
      if (elapsed >= static_cast<uint32_t>(timeout)) return false;
      wait = timeout - static_cast<int32_t>(elapsed);
    }
  }
}

// A reply that names a port outside 1..65535 is a bad reply: taken modulo
// 65536 it would send the data to a port the server never named.
bool IsUsablePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const int port = std::stoi(text);
  return port >= 1 && port <= 65535;
}

// Closes the data socket when a transfer ends, however it ends.
class TDataSocketCloser {
 public:
  explicit TDataSocketCloser(TTCPBlockSocket& socket) : socket_(socket) {}
  ~TDataSocketCloser() {
    try {
      socket_.Close();
    } catch (...) {
      // Under RaiseExcept a close may throw; the handle is gone either way.
    }
  }
  TDataSocketCloser(const TDataSocketCloser&) = delete;
  TDataSocketCloser& operator=(const TDataSocketCloser&) = delete;

 private:
  TTCPBlockSocket& socket_;
};

// The proxy settings of a socket: SOCKS and the HTTP tunnel.
struct TProxyRoute {
  std::string socks_ip, socks_port, socks_username, socks_password;
  int32_t socks_timeout = 0;
  bool socks_resolver = true;
  TSocksType socks_type = ST_Socks5;
  std::string tunnel_ip, tunnel_port, tunnel_user, tunnel_pass;
  int32_t tunnel_timeout = 0;

  static TProxyRoute Of(const TTCPBlockSocket& s) {
    return {s.SocksIP,       s.SocksPort,     s.SocksUsername, s.SocksPassword,
            s.SocksTimeout,  s.SocksResolver, s.SocksType,     s.HTTPTunnelIP,
            s.HTTPTunnelPort, s.HTTPTunnelUser, s.HTTPTunnelPass, s.HTTPTunnelTimeout};
  }
  void ApplyTo(TTCPBlockSocket& s) const {
    s.SocksIP = socks_ip;
    s.SocksPort = socks_port;
    s.SocksUsername = socks_username;
    s.SocksPassword = socks_password;
    s.SocksTimeout = socks_timeout;
    s.SocksResolver = socks_resolver;
    s.SocksType = socks_type;
    s.HTTPTunnelIP = tunnel_ip;
    s.HTTPTunnelPort = tunnel_port;
    s.HTTPTunnelUser = tunnel_user;
    s.HTTPTunnelPass = tunnel_pass;
    s.HTTPTunnelTimeout = tunnel_timeout;
  }
};

// Lends the control connection's proxy to the data socket for one connect
// or listen, when the data socket has no proxy of its own; its own settings
// come back afterwards, so a later change to the control socket's proxy is
// followed too. A listen can only go through SOCKS (BIND): an HTTP tunnel
// is not lent to it.
class TBorrowedRoute {
 public:
  TBorrowedRoute(TTCPBlockSocket& data, const TTCPBlockSocket& control, bool enabled,
                 bool for_listening)
      : data_(data) {
    if (!enabled || !data.SocksIP.empty() || !data.HTTPTunnelIP.empty()) return;
    TProxyRoute lent = TProxyRoute::Of(control);
    if (for_listening) lent.tunnel_ip.clear();
    if (lent.socks_ip.empty() && lent.tunnel_ip.empty()) return;
    own_ = TProxyRoute::Of(data);
    lent.ApplyTo(data);
    lent_ = true;
  }
  ~TBorrowedRoute() {
    if (lent_) own_.ApplyTo(data_);
  }
  TBorrowedRoute(const TBorrowedRoute&) = delete;
  TBorrowedRoute& operator=(const TBorrowedRoute&) = delete;

  bool ThroughSocks() const { return !data_.SocksIP.empty(); }

 private:
  TTCPBlockSocket& data_;
  TProxyRoute own_;
  bool lent_ = false;
};

}  // namespace

bool TFTPSend::PrepareDataConnection() {
  data_phase_ = true;
  data_used_ = true;
  data_ended_normally_ = false;
  data_tls_started_ = false;
  const bool ready = NegotiateDataConnection();
  if (!ready) data_phase_ = false;
  return ready;
}

bool TFTPSend::NegotiateDataConnection() {
  // Protected data needs a connection the client opens itself.
  if (IsDataTLS() && !ActiveDataTLS) PassiveMode = true;
  TTCPBlockSocket& data = DSock();
  const bool ipv6 = Sock().UsesIPv6();

  if (PassiveMode) {
    bool extended = false;
    if (ipv6 && !ForceOldPort && ReplyClass(SendCommand("EPSV 2")) == 2) {
      ParseExtendedPassiveReply(ResultString());
      extended = true;
    }
    if (!extended) {
      // PASV can only name an IPv4 address.
      if (ipv6) return false;
      if (ReplyClass(SendCommand("PASV")) != 2) return false;
      ParsePassiveReply(ResultString());
      if (!TrustPassiveAddress) SetDataIP(PlainAddress(Sock().RemoteAddressText()));
    }
    data.Close();
    if (!IsUsablePort(DataPort())) return false;
    const TBorrowedRoute route(data, Sock(), DataProxyFromControl, false);
    data.BindTo(IPInterface, "0");
    ftp_internal::ConnectWithin(data, DataIP(), DataPort(), Timeout);
    return data.LastErrorCode() == 0;
  }

  data.Close();
  const TBorrowedRoute route(data, Sock(), DataProxyFromControl, true);
  // Through SOCKS the control connection's local address is the proxy's:
  // the listen happens on the proxy, and locally any address will do.
  data.BindTo(route.ThroughSocks() ? IPInterface : Sock().LocalAddressText(),
              ForceDefaultPort ? "20" : "0");
  if (data.LastErrorCode() != 0) return false;
  data.ConfigureLinger(true, kDataLingerMs);
  data.StartListening();
  // Without a listener (or a SOCKS BIND) no server could ever connect.
  if (data.LastErrorCode() != 0) return false;
  data.RefreshAddresses();
  SetDataIP(data.ResolveNameFirst(data.LocalAddressText()));
  SetDataPort(std::to_string(data.LocalPortNumber()));

  if (ipv6 && !ForceOldPort) {
    const std::string digit = IsIPv6Text(DataIP()) ? "2" : "1";
    if (ReplyClass(SendCommand("EPRT |" + digit + "|" + DataIP() + "|" + DataPort() + "|")) == 2) {
      return true;
    }
  }
  if (!IsIPv4Text(DataIP())) return false;
  const int port = data.LocalPortNumber();
  const std::string command = "PORT " + ReplaceAllOccurrences(DataIP(), ".", ",") + "," +
                              std::to_string(port / 256) + "," + std::to_string(port % 256);
  return ReplyClass(SendCommand(command)) == 2;
}

void TFTPSend::ParsePassiveReply(const std::string& reply) {
  const std::string s = TrimControlChars(reply);
  std::string fields;
  const size_t open = s.find('(');
  const size_t close = s.find(')');
  if (open != std::string::npos && close != std::string::npos) {
    if (close > open) fields = s.substr(open + 1, close - open - 1);
  } else {
    // FindLast is 1-based: the text after the space starts at that index.
    fields = s.substr(static_cast<size_t>(FindLast(" ", s)));
  }
  std::string ip = TakeField(fields, ",");
  for (int i = 0; i < 3; ++i) {
    ip += '.';
    ip += TakeField(fields, ",");
  }
  // Computed wide: two large "numbers" must not overflow; the port is then
  // simply unusable.
  const int64_t high = TextToIntDef(TakeField(fields, ","), 0);
  const int64_t low = TextToIntDef(TakeField(fields, ","), 0);
  SetDataIP(ip);
  SetDataPort(std::to_string(high * 256 + low));
}

void TFTPSend::ParseExtendedPassiveReply(const std::string& reply) {
  std::string s = TextBeforeDelimiter(TextAfterDelimiter(reply, "("), ")");
  s = TrimControlChars(s);
  if (!s.empty()) s.pop_back();  // the closing delimiter
  size_t digits = s.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1]))) --digits;
  SetDataPort(s.substr(digits));
  // The reply names no address: the data connection goes where the client
  // was told to go, also when the control connection runs through FWHost.
  SetDataIP(TargetHost);
}

bool TFTPSend::AcceptDataConnection() {
  bool result = PassiveMode || AcceptFromServer(DSock(), Sock(), Timeout);
  if (!result && (DSock().LastErrorCode() == 0 || DSock().LastErrorCode() == kErrTimedOut)) {
    timed_out_ = true;  // no connection came within Timeout
  }
  if (result) ftp_internal::BoundBlockingCalls(DSock(), Timeout);
  if (result && Timeout > 0) {
    // Sends wait for room themselves, so that a receiver that stopped reading
    // is found one Timeout after the last bytes it took, not after a blocking
    // call's own timeout ran out once per piece.
    DSock().NonblockSendTimeout = Timeout;
    DSock().ApplyOption({OT_NonBlocking, true, 0});
  }
  if (result && IsDataTLS()) {
    DSock().TLSPlugin().CopySettingsFrom(Sock().TLSPlugin());
    data_tls_started_ = true;
    DSock().StartClientTLS();
    result = DSock().LastErrorCode() == 0;
  }
  return result;
}

bool TFTPSend::EndFailedDataConnection() {
  // A handshake the server broke off is answered on the control connection
  // too; that answer is read (briefly: the server has nothing left to wait
  // for), so that the next command does not take it for its own.
  const bool answered = data_tls_started_ && DSock().LastErrorCode() == kErrRefused;
  DSock().Close();
  if (answered) {
    const ftp_internal::TScopedReplyTimeout bounded(Timeout, kReplyWaitAfterStall);
    ReadReply();
    NoteRefusedSessionReuse();
  }
  data_phase_ = false;
  return false;
}

void TFTPSend::NoteRefusedSessionReuse() {
  // Servers that accept only data connections resuming the control
  // connection's session (ProFTPD's default, vsftpd's require_ssl_reuse)
  // complete the handshake of one that did not, then refuse it: ProFTPD
  // with "425 Unable to build data connection: Operation not permitted",
  // vsftpd with "522 SSL connection failed: session reuse required".
  if (!data_tls_started_ || DSock().TLSPlugin().SessionReused()) return;
  if (result_code_ != 425 && result_code_ != 522) return;
  DSock().RecordTLSRefusal(
      "TLS session reuse refused: the server accepts only data connections that resume the "
      "control connection's session (" + result_string_ + ")");
}

bool TFTPSend::DownloadOverData(TStream& target) {
  TDataSocketCloser closer(DSock());
  if (!AcceptDataConnection()) return EndFailedDataConnection();
  // Ends with an error in any case; the server's close (10054) is the normal
  // end, and a timeout ends the data too: the final reply decides. A stop
  // request, though, leaves the data incomplete whatever the server thinks
  // (it may well have sent everything into the buffers already).
  DSock().ReceiveStreamToEnd(target, Timeout);
  const int code = DSock().LastErrorCode();
  // So does a protected connection that failed, or that ended (10054 as
  // well) without the session's own end, close_notify: the data may be cut
  // short.
  const bool unended = code == kErrPeerClosed && DSock().TLSPlugin().PluginErrorCode() != 0;
  const bool cut = IsDataTLS() && (code == kErrRefused || unended);
  data_ended_normally_ = code == kErrPeerClosed && !cut;
  const bool stopped = code == kErrStopRequested || cut;
  DSock().Close();
  const bool done = ReplyClass(ReadReply()) == 2;
  NoteRefusedSessionReuse();
  data_phase_ = false;
  // A target that could not take the data (a full disk) fails the download.
  return done && !stopped && !target.Failed();
}

bool TFTPSend::UploadOverData(TStream& source) {
  TDataSocketCloser closer(DSock());
  if (!AcceptDataConnection()) return EndFailedDataConnection();
  const int64_t end = source.SizeKnown() ? source.Size() : -1;
  DSock().SendStreamPlain(source);
  // A source that failed to read, or that ended before the size it had when
  // the send began (a file cut short meanwhile), leaves an incomplete copy,
  // however well the send itself went.
  const bool whole = end < 0 || source.Position() >= end;
  const bool sent = DSock().LastErrorCode() == 0 && !source.Failed() && whole;
  const bool stalled = DSock().LastErrorCode() == kErrTimedOut;
  // A receiver that stopped reading gets a reset: an orderly close would
  // linger over bytes it never takes, or tell it the file ended here.
  if (stalled) DSock().ApplyOption({OT_Linger, true, 0});
  // The close marks the end of the file for the server.
  DSock().Close();
  // Read whether or not the send worked, so that the control connection
  // stays in step; after a stall only briefly.
  bool done;
  {
    const ftp_internal::TScopedReplyTimeout bounded(Timeout, stalled ? kReplyWaitAfterStall : -1);
    done = ReplyClass(ReadReply()) == 2;
  }
  NoteRefusedSessionReuse();
  if (stalled) timed_out_ = true;
  data_phase_ = false;
  return sent && done;
}

}  // namespace zud
