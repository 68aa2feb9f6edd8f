// TTCPBlockSocket: construction, the orderly close, the connect routing, the
// TLS routing of the raw transfers, the address reports and the error text.
// The proxy flows live in tcpsocket_proxy.cpp.
#include "sockets/tcpsocket.h"

#include <algorithm>
#include <utility>

#include "sockets/socketerrors.h"
#include "util/textutil.h"

namespace zud {

namespace {

constexpr int kMaxPacket = 65536;  // the most one raw receive is asked for

}  // namespace

TTCPBlockSocket::TTCPBlockSocket() : TTCPBlockSocket(DefaultTLSPluginClass()) {}

TTCPBlockSocket::TTCPBlockSocket(const TTLSPluginClass& plugin_class) {
  if (plugin_class) tls_plugin_ = plugin_class(*this);
  // The socket relies on always having a plug-in to ask.
  if (!tls_plugin_) tls_plugin_ = std::make_unique<TSSLNone>(*this);
}

TTCPBlockSocket::~TTCPBlockSocket() {
  // The hooks may point at objects that are already gone, and nothing may
  // escape a destructor; the close sequence itself still runs, with the
  // plug-in alive, and the error recorded before it survives.
  OnStatus = nullptr;
  OnReadFilter = nullptr;
  OnCreateSocket = nullptr;
  OnMonitor = nullptr;
  OnHeartbeat = nullptr;
  OnAfterConnect = nullptr;
  RaiseExcept = false;
  const int saved_code = last_error_code_;
  std::string saved_text = std::move(last_error_text_);
  const TFailureKind saved_kind = last_error_kind_;
  std::string saved_failure_text = std::move(failure_text_);
  try {
    Close();
  } catch (...) {
    // A plug-in that throws from its close: the handle is closed below anyway.
  }
  last_error_code_ = saved_code;
  last_error_text_ = std::move(saved_text);
  last_error_kind_ = saved_kind;
  failure_text_ = std::move(saved_failure_text);
}

// ---- Close and connect -----------------------------------------------------------

void TTCPBlockSocket::Close() {
  if (TLSActive()) {
    // A peer that let a wait run out would only let the closing exchange
    // run out as well.
    if (last_error_code_ == kErrTimedOut) {
      tls_plugin_->AbortSession();
    } else {
      tls_plugin_->CloseSession();
    }
  }
  // After an error the connection is not worth an orderly end, and the drain
  // would clear the error that the caller still has to see.
  if (handle_ != kInvalidSocket && last_error_code_ == 0) {
    ShutdownSocket(handle_, kShutdownSend);
    DiscardPending();
  }
  TSocksBlockSocket::Close();
}

void TTCPBlockSocket::CloseAtOnce() {
  // The session must not outlive its descriptor, whose number the next
  // connection may well get again.
  if (TLSActive()) tls_plugin_->AbortSession();
  TSocksBlockSocket::CloseAtOnce();
}

void TTCPBlockSocket::ConnectTo(const std::string& host, const std::string& port) {
  connected_host_ = host;
  if (!SocksIP.empty()) {
    ConnectThroughSocks(host, port);
  } else if (!HTTPTunnelIP.empty()) {
    ConnectThroughHTTPTunnel(host, port);
  } else {
    TSocksBlockSocket::ConnectTo(host, port);
  }
  if (LastErrorCode() == 0) NotifyAfterConnect();
}

void TTCPBlockSocket::NotifyAfterConnect() {
  if (OnAfterConnect) OnAfterConnect(*this);
}

void TTCPBlockSocket::StartListening() {
  if (!SocksIP.empty()) {
    StartListeningThroughSocks();
  } else {
    TSocksBlockSocket::StartListening();
  }
}

TSocketHandle TTCPBlockSocket::AcceptConnection() {
  if (SocksInUse()) return AcceptThroughSocks();
  return TSocksBlockSocket::AcceptConnection();
}

// ---- TLS ---------------------------------------------------------------------------

void TTCPBlockSocket::StartClientTLS() {
  ClearLastError();
  if (!tls_plugin_->ClientHandshake()) {
    SetPluginFailure(tls_plugin_->CertificateRejected() ? TFailureKind::TLSCertificate
                                                        : TFailureKind::TLSHandshake);
  }
  ReportLastError();
}

void TTCPBlockSocket::SetPluginFailure(TFailureKind kind) {
  failure_from_plugin_ = true;
  SetFailure(kErrRefused, kind);
}

void TTCPBlockSocket::SetPluginCallFailure() {
  // The plug-in's waits end early on a stop request; it is reported as the
  // stop it was, like a plain transfer does.
  if (StopFlag && CheckStopRequest()) return;
  if (tls_plugin_->PluginTimedOut()) {
    // A peer that stopped taking or sending records: the same timeout as on
    // a plain connection, in the plug-in's words.
    failure_from_plugin_ = true;
    SetLastErrorCode(kErrTimedOut);
    return;
  }
  if (const int32_t lost = tls_plugin_->LostConnectionCode(); lost != 0) {
    // A connection reset or ended under the session is lost as a plain one
    // would be: its code, not a TLS failure; the plug-in says what happened.
    failure_from_plugin_ = false;
    SetFailure(lost, lost == kErrTimedOut ? TFailureKind::Timeout : TFailureKind::Socket,
               tls_plugin_->PluginErrorText());
    return;
  }
  SetPluginFailure(TFailureKind::TLSSession);
}

void TTCPBlockSocket::RecordTLSRefusal(const std::string& reason) {
  failure_from_plugin_ = false;
  SetFailure(kErrRefused, TFailureKind::TLSSession, reason);
  ReportLastError();
}

void TTCPBlockSocket::SetProxyFailure(int code, TFailureKind kind, std::string text) {
  failure_from_plugin_ = false;
  SetFailure(code, kind, std::move(text));
}

int TTCPBlockSocket::SendBytes(const void* buffer, int length) {
  if (!TLSActive()) return TSocksBlockSocket::SendBytes(buffer, length);
  if (CheckStopRequest()) return 0;
  ClearLastError();
  ReportTraffic(true, buffer, length);
  const auto* bytes = static_cast<const char*>(buffer);
  int result = 0;
  while (result < length) {
    const int piece = std::min(length - result, SendMaxChunk);
    if (piece <= 0) break;
    ThrottleTransfer(piece, MaxSendBandwidth, next_send_time_);
    const int sent = tls_plugin_->SendData(bytes + result, piece);
    // A call that takes nothing (or claims more than it was given) without
    // an error would stall or overrun the loop: a broken plug-in is a failure.
    if (tls_plugin_->PluginErrorCode() != 0 || sent <= 0 || sent > piece) SetPluginCallFailure();
    if (last_error_code_ != 0) break;
    result += sent;
    bytes_sent_ += sent;
    ReportStatus(SR_BytesWritten, std::to_string(sent));
  }
  ReportLastError();
  return result;
}

int TTCPBlockSocket::ReceiveRaw(void* buffer, int length) {
  if (!TLSActive()) return TSocksBlockSocket::ReceiveRaw(buffer, length);
  if (CheckStopRequest()) return 0;
  ClearLastError();
  if (length <= 0) return 0;
  ThrottleTransfer(length, MaxRecvBandwidth, next_receive_time_);
  int count = tls_plugin_->ReceiveData(buffer, length);
  if (tls_plugin_->PluginErrorCode() != 0 || count < 0 || count > length) {
    SetPluginCallFailure();
    count = -1;
  } else if (count == 0) {
    // The peer ended the session: the same end of stream as a plain receive.
    SetLastErrorCode(kErrPeerClosed);
  }
  ReportLastError();
  if (count > 0) {
    bytes_received_ += count;
    ReportStatus(SR_BytesRead, std::to_string(count));
    ReportTraffic(false, buffer, count);
    FilterReceived(buffer, count);
  }
  return count;
}

int TTCPBlockSocket::ReceiveRawWithin(void* buffer, int length, int32_t timeout) {
  if (!TLSActive() || timeout < 0) return ReceiveRaw(buffer, length);
  // Put back however the receive ends (it may throw under RaiseExcept).
  struct TRestore {
    int32_t& timeout;
    int32_t saved;
    ~TRestore() { timeout = saved; }
  } restore{tls_plugin_->Timeout, tls_plugin_->Timeout};
  if (restore.saved < 0 || timeout < restore.saved) tls_plugin_->Timeout = timeout;
  return ReceiveRaw(buffer, length);
}

int TTCPBlockSocket::PendingByteCount() {
  if (TLSActive() && handle_ != kInvalidSocket) {
    const int count = tls_plugin_->PendingBytes();
    if (count > 0) return std::min(count, kMaxPacket);
  }
  return TSocksBlockSocket::PendingByteCount();
}

bool TTCPBlockSocket::WaitReadable(int32_t timeout) {
  if (!TLSActive()) return TSocksBlockSocket::WaitReadable(timeout);
  const uint32_t start = ReadTickCounter();
  int32_t left = timeout;
  for (;;) {
    if (tls_plugin_->PendingBytes() > 0) {
      ClearLastError();
      ReportStatus(SR_ReadReady, std::string());
      return true;
    }
    if (!TSocksBlockSocket::WaitReadable(left)) return false;
    // Bytes arrived. If the session took them all without producing any
    // data (the plug-in already looked) and the handle is quiet again, they
    // were the session's own: wait on for the rest of the time.
    if (tls_plugin_->PendingBytes() > 0 || PollReadable(0)) return true;
    if (last_error_code_ != 0) return false;
    if (timeout >= 0) {
      const uint32_t spent = ComputeTickSpan(start, ReadTickCounter());
      if (spent >= static_cast<uint32_t>(timeout)) return false;
      left = timeout - static_cast<int32_t>(spent);
    }
  }
}

// ---- Addresses and texts ----------------------------------------------------------

std::string TTCPBlockSocket::LocalAddressText() const {
  if (SocksInUse()) return socks_bound_ip_;
  return TSocksBlockSocket::LocalAddressText();
}

std::string TTCPBlockSocket::RemoteAddressText() const {
  if (SocksInUse()) return socks_peer_ip_;
  if (tunnel_established_) return tunnel_peer_ip_;
  return TSocksBlockSocket::RemoteAddressText();
}

int TTCPBlockSocket::LocalPortNumber() const {
  if (SocksInUse()) return TextToIntDef(socks_bound_port_, 0);
  return TSocksBlockSocket::LocalPortNumber();
}

int TTCPBlockSocket::RemotePortNumber() const {
  if (SocksInUse()) return ResolvePortNumber(socks_peer_port_);
  if (tunnel_established_) return TextToIntDef(tunnel_peer_port_, 0);
  return TSocksBlockSocket::RemotePortNumber();
}

int TTCPBlockSocket::SocketKind() const { return kSockStream; }
int TTCPBlockSocket::SocketProtocolNumber() const { return kIpProtoTcp; }

std::string TTCPBlockSocket::GetErrorDescEx() const {
  // Only a 10091 that the plug-in caused takes its words: a proxy refusal
  // after an earlier failed handshake is still a proxy refusal.
  const bool plugin_timeout =
      last_error_code_ == kErrTimedOut && tls_plugin_ && tls_plugin_->PluginTimedOut();
  if ((last_error_code_ == kErrRefused || plugin_timeout) && failure_from_plugin_ &&
      tls_plugin_ && tls_plugin_->PluginErrorCode() != 0) {
    return tls_plugin_->PluginErrorText();
  }
  return TSocksBlockSocket::GetErrorDescEx();
}

}  // namespace zud
