// TBlockSocket: construction, handle life, options, addresses and names, the
// error model and the reports. Sending and receiving live in
// blocksocket_send.cpp and blocksocket_receive.cpp.
#include "sockets/blocksocket.h"

#include <algorithm>
#include <utility>

#include "sockets/socketerrors.h"
#include "util/deadline.h"
#include "util/iptext.h"

namespace zud {

namespace {

constexpr int32_t kDefaultKeepAliveIdle = 60;
constexpr int32_t kLongestKeepAliveIdle = 32767;

std::string ErrorMessageFor(int code, const std::string& text) {
  return "Zudirav TCP/IP Socket error " + std::to_string(code) + ": " + text;
}

std::string JoinHostPort(const std::string& host, const std::string& port) {
  return host + ":" + port;
}

}  // namespace

int FamilyToAddressFamily(TSocketFamily family) {
  switch (family) {
    case SF_IP4: return kAfInet;
    case SF_IP6: return kAfInet6;
    default: return kAfUnspec;
  }
}

EZudiravError::EZudiravError(int error_code, const std::string& error_message)
    : std::runtime_error(ErrorMessageFor(error_code, error_message)),
      ErrorCode(error_code),
      ErrorMessage(error_message) {}

EZudiravError::EZudiravError(const std::string& message, int error_code,
                             const std::string& error_message)
    : std::runtime_error(message), ErrorCode(error_code), ErrorMessage(error_message) {}

// ---- Construction -------------------------------------------------------------

TBlockSocket::TBlockSocket() { ClearSelectSet(ready_set_); }

TBlockSocket::TBlockSocket(const std::string& /*library_name*/) : TBlockSocket() {}

TBlockSocket::~TBlockSocket() {
  // No hook runs here: the objects behind them may already be gone.
  if (handle_ != kInvalidSocket) CloseSocket(handle_);
  handle_ = kInvalidSocket;
}

void TBlockSocket::SetMaxBandwidth(int32_t bytes_per_second) {
  MaxSendBandwidth = bytes_per_second;
  MaxRecvBandwidth = bytes_per_second;
}

// ---- Handle life --------------------------------------------------------------

void TBlockSocket::ChangeFamily(TSocketFamily value) {
  family_ = value;
  saved_family_ = value;
}

void TBlockSocket::AdoptHandle(TSocketHandle new_handle) {
  bytes_received_ = 0;
  bytes_sent_ = 0;
  handle_ = new_handle;
  ClearSelectSet(ready_set_);
  AddToSelectSet(handle_, ready_set_);
  RefreshAddresses();
  uses_ipv6_ = remote_address_.Family() == kAfInet6;
  ApplyNoDelay();
}

void TBlockSocket::Close() { CloseAtOnce(); }

void TBlockSocket::CloseAtOnce() {
  if (handle_ != kInvalidSocket) CloseSocket(handle_);
  handle_ = kInvalidSocket;
  // A closed descriptor number may be reused by anyone: never wait on it.
  ClearSelectSet(ready_set_);
  non_blocking_ = false;
  queued_options_.clear();
  family_ = saved_family_;
  ReportStatus(SR_SocketClosed, std::string());
}

void TBlockSocket::BindTo(const std::string& host, const std::string& port) {
  ClearLastError();
  if (handle_ == kInvalidSocket && family_ == SF_Any && host == "0.0.0.0" && port == "0") return;
  TSocketAddress address;
  FillAddress(address, host, port);
  if (last_error_code_ == 0) {
    if (handle_ == kInvalidSocket) CreateHandle(address);
    // A failed creation keeps its own error rather than a bind on no handle.
    if (handle_ != kInvalidSocket) {
      CheckResult(BindToAddress(handle_, address));
      RefreshLocalAddress();
      bound_ = true;
    }
    ClearLineBuffer();
  }
  ReportLastError();
  ReportStatus(SR_Bound, JoinHostPort(host, port));
}

void TBlockSocket::ConnectTo(const std::string& host, const std::string& port) {
  TSocketAddress address;
  FillAddress(address, host, port);
  if (last_error_code_ == 0) {
    if (handle_ == kInvalidSocket) CreateHandle(address);
    if (handle_ != kInvalidSocket) {
      if (ConnectTimeout > 0) {
        ConnectWithin(address);
      } else {
        CheckResult(ConnectToAddress(handle_, address));
      }
      if (last_error_code_ == 0) RefreshAddresses();
    }
    ClearLineBuffer();
    saw_cr_ = false;
    saw_lf_ = false;
  }
  ReportLastError();
  ReportStatus(SR_Connected, JoinHostPort(host, port));
}

void TBlockSocket::ConnectWithin(const TSocketAddress& address) {
  ClearLastError();
  // The handle goes back to the mode the caller chose, however this ends.
  if (!non_blocking_) SetNonBlockingMode(handle_, true);
  int state = StartConnect(handle_, address);
  const TDeadline deadline(ConnectTimeout);
  while (state == 1) {
    const int32_t left = deadline.Left();
    const int32_t slice = HeartbeatRate > 0 ? std::min(left, HeartbeatRate) : left;
    const int ready = PollSelectSet(ready_set_, true, slice);
    if (ready > 0) {
      state = ConnectOutcome(handle_);
    } else if (ready < 0) {
      state = -1;
    } else if (left <= slice) {
      SetLastErrorCode(kErrTimedOut);
      break;
    } else {
      FireHeartbeat();
      if (StopFlag.exchange(false)) {
        SetFailure(kErrStopRequested, TFailureKind::Stopped);
        break;
      }
    }
  }
  if (state == -1) SetLastErrorCode(LastSocketError());
  if (!non_blocking_) SetNonBlockingMode(handle_, false);
}

void TBlockSocket::StartListening() {
  CheckResult(ListenOnSocket(handle_, kListenBacklogMax));
  RefreshAddresses();
  ReportLastError();
  ReportStatus(SR_Listening, std::string());
}

TSocketHandle TBlockSocket::AcceptConnection() {
  ClearLastError();
  const TSocketHandle accepted = AcceptIntoAddress(handle_, remote_address_);
  // Recorded so that a failed accept is not mistaken for success.
  if (accepted == kInvalidSocket) SetLastErrorCode(LastSocketError());
  ReportLastError();
  ReportStatus(SR_Accepted, std::string());
  return accepted;
}

void TBlockSocket::FillAddress(TSocketAddress& address, const std::string& host,
                               const std::string& port) {
  if (OnStatus) ReportStatus(SR_ResolveStart, JoinHostPort(host, port));
  ClearLastError();
  TSocketFamily family = family_;
  if (handle_ == kInvalidSocket && family_ == SF_Any) {
    if (IsIPv4Text(host)) {
      family = SF_IP4;
    } else if (IsIPv6Text(host)) {
      family = SF_IP6;
    }
  }
  SetLastErrorCode(BuildSocketAddress(address, host, port, FamilyToAddressFamily(family),
                                      SocketProtocolNumber(), SocketKind(), PreferIP4));
  if (OnStatus) {
    ReportStatus(SR_ResolveDone,
                 AddressText(address) + ":" + std::to_string(AddressPort(address)));
  }
}

void TBlockSocket::CreateHandle(const TSocketAddress& address) {
  StopFlag = false;
  bytes_received_ = 0;
  bytes_sent_ = 0;
  ClearLastError();
  if (handle_ != kInvalidSocket) return;
  ClearLineBuffer();
  bound_ = false;
  non_blocking_ = false;
  uses_ipv6_ = address.Family() == kAfInet6;
  handle_ = CreateSocket(address.Family(), SocketKind(), SocketProtocolNumber());
  if (handle_ == kInvalidSocket) SetLastErrorCode(LastSocketError());
  ClearSelectSet(ready_set_);
  AddToSelectSet(handle_, ready_set_);
  ReportLastError();
  ReportStatus(SR_SocketCreated, uses_ipv6_ ? "IPv6" : "IPv4");
  ApplyNoDelay();
  ApplyQueuedOptions();
  NotifySocketCreated();
}

// ---- Options --------------------------------------------------------------------

void TBlockSocket::ConfigureLinger(bool enable, int32_t milliseconds) {
  QueueOption(TSocketOption{OT_Linger, enable, milliseconds});
}

void TBlockSocket::QueueOption(const TSocketOption& option) {
  if (handle_ == kInvalidSocket) {
    queued_options_.push_back(option);
  } else {
    ApplyOption(option);
  }
}

void TBlockSocket::ApplyNoDelay() {
  if (NoDelay && handle_ != kInvalidSocket && SocketKind() == kSockStream) {
    ApplyOption({OT_NoDelay, true, 0});
  }
}

void TBlockSocket::ApplyQueuedOptions() {
  std::vector<TSocketOption> options;
  options.swap(queued_options_);
  for (const TSocketOption& option : options) ApplyOption(option);
}

void TBlockSocket::ApplyOption(const TSocketOption& option) {
  const int32_t flag = option.Enabled ? 1 : 0;
  const int ip_level = uses_ipv6_ ? kIpProtoIpv6 : kIpProtoIp;
  // Results are ignored: an option the platform refuses changes nothing.
  switch (option.Kind) {
    case OT_Linger:
      SetSocketLinger(handle_, option.Enabled, std::clamp(option.Value / 1000, 0, 65535));
      break;
    case OT_ReceiveBufferSize:
      SetSocketOptionInt(handle_, kSolSocket, kSoRcvBuf, option.Value);
      break;
    case OT_SendBufferSize:
      SetSocketOptionInt(handle_, kSolSocket, kSoSndBuf, option.Value);
      break;
    case OT_NonBlocking:
      non_blocking_ = option.Enabled;
      SetNonBlockingMode(handle_, option.Enabled);
      break;
    case OT_ReceiveTimeout:
      SetSocketTimeoutOption(handle_, kSoRcvTimeo, option.Value);
      break;
    case OT_SendTimeout:
      SetSocketTimeoutOption(handle_, kSoSndTimeo, option.Value);
      break;
    case OT_ReuseAddress:
      SetSocketOptionInt(handle_, kSolSocket, kSoReuseAddr, flag);
      break;
    case OT_TimeToLive:
      SetSocketOptionInt(handle_, ip_level, uses_ipv6_ ? kIpv6UnicastHops : kIpTtl, option.Value);
      break;
    case OT_Broadcast:
      SetSocketOptionInt(handle_, kSolSocket, kSoBroadcast, flag);
      break;
    case OT_MulticastTimeToLive:
      SetSocketOptionInt(handle_, ip_level, uses_ipv6_ ? kIpv6MulticastHops : kIpMulticastTtl,
                         option.Value);
      break;
    case OT_MulticastLoopback:
      SetSocketOptionInt(handle_, ip_level, uses_ipv6_ ? kIpv6MulticastLoop : kIpMulticastLoop,
                         flag);
      break;
    case OT_NoDelay:
      SetSocketOptionInt(handle_, kIpProtoTcp, kTcpNoDelay, flag);
      break;
    case OT_KeepAlive: {
      const int idle = option.Value > 0 ? std::min(option.Value, kLongestKeepAliveIdle)
                                        : kDefaultKeepAliveIdle;
      SetKeepAlive(handle_, option.Enabled ? idle : 0, idle / 4);
      break;
    }
  }
}

// ---- Addresses and names ----------------------------------------------------------

std::string TBlockSocket::AddressText(const TSocketAddress& address) {
  return SocketAddressIP(address);
}

int TBlockSocket::AddressPort(const TSocketAddress& address) { return SocketAddressPort(address); }

void TBlockSocket::RefreshLocalAddress() { QueryLocalAddress(handle_, local_address_); }
void TBlockSocket::RefreshRemoteAddress() { QueryPeerAddress(handle_, remote_address_); }

void TBlockSocket::RefreshAddresses() {
  RefreshLocalAddress();
  RefreshRemoteAddress();
}

std::string TBlockSocket::LocalAddressText() const { return AddressText(local_address_); }
std::string TBlockSocket::RemoteAddressText() const { return AddressText(remote_address_); }
int TBlockSocket::LocalPortNumber() const { return AddressPort(local_address_); }
int TBlockSocket::RemotePortNumber() const { return AddressPort(remote_address_); }

std::string TBlockSocket::LocalMachineName() const {
  std::string name = LocalHostName();
  return name.empty() ? std::string("127.0.0.1") : name;
}

void TBlockSocket::ResolveNameToList(std::string_view name, std::vector<std::string>& list) const {
  ResolveHostToIPList(name, FamilyToAddressFamily(family_), SocketProtocolNumber(), SocketKind(),
                      list);
  if (list.empty()) list.emplace_back("0.0.0.0");
}

std::string TBlockSocket::ResolveNameFirst(std::string_view name) const {
  std::vector<std::string> list;
  ResolveNameToList(name, list);
  return list.front();
}

uint16_t TBlockSocket::ResolvePortNumber(std::string_view port) const {
  return ResolveServicePort(port, FamilyToAddressFamily(family_), SocketProtocolNumber(),
                            SocketKind());
}

int TBlockSocket::SocketKind() const { return 0; }
int TBlockSocket::SocketProtocolNumber() const { return 0; }

// ---- Errors and reports -------------------------------------------------------------

void TBlockSocket::ClearLastError() {
  last_error_code_ = 0;
  last_error_text_.clear();
  last_error_kind_ = TFailureKind::None;
  failure_text_.clear();
}

void TBlockSocket::SetLastErrorCode(int code) {
  SetFailure(code, code == 0              ? TFailureKind::None
                   : code == kErrTimedOut ? TFailureKind::Timeout
                                          : TFailureKind::Socket);
}

void TBlockSocket::SetFailure(int code, TFailureKind kind, std::string text) {
  last_error_code_ = code;
  last_error_kind_ = code == 0 ? TFailureKind::None : kind;
  failure_text_ = std::move(text);
  last_error_text_ = GetErrorDescEx();
}

int TBlockSocket::CheckResult(int value) {
  ClearLastError();
  if (value == -1) SetLastErrorCode(LastSocketError());
  return last_error_code_;
}

std::string TBlockSocket::GetErrorDescEx() const {
  if (!failure_text_.empty() && last_error_code_ != 0) return failure_text_;
  return GetErrorDesc(last_error_code_);
}

void TBlockSocket::ReportLastError() {
  if (last_error_code_ == 0) {
    last_error_text_.clear();
    return;
  }
  last_error_text_ = GetErrorDescEx();
  if (last_error_code_ == kErrWouldBlock || last_error_code_ == kErrInProgress) return;
  if (OnStatus) ReportStatus(SR_Error, std::to_string(last_error_code_) + "," + last_error_text_);
  if (RaiseExcept) throw EZudiravError(last_error_code_, last_error_text_);
}

bool TBlockSocket::CheckStopRequest() {
  FireHeartbeat();
  if (!StopFlag.exchange(false)) return false;
  SetFailure(kErrStopRequested, TFailureKind::Stopped);
  ReportLastError();
  return true;
}

void TBlockSocket::ReportStatus(THookSocketReason reason, const std::string& value) {
  if (OnStatus) OnStatus(*this, reason, value);
}

void TBlockSocket::NotifySocketCreated() {
  if (OnCreateSocket) OnCreateSocket(*this);
}

void TBlockSocket::ReportTraffic(bool writing, const void* buffer, int length) {
  if (OnMonitor) OnMonitor(*this, writing, buffer, length);
}

void TBlockSocket::FireHeartbeat() {
  if (OnHeartbeat && HeartbeatRate != 0) OnHeartbeat(*this);
}

}  // namespace zud
