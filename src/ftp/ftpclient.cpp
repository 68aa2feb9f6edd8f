// TFTPSend: construction, the control channel (commands and replies), the
// login with its firewall variants and TLS negotiation, and the logout.
//
// Login variants (FWHost names the firewall or proxy the control connection
// goes to; "host" is the host designation, see HostDesignation):
//   0  direct: USER, PASS on 3xx, ACCT on 3xx (RFC 959)
//   1  USER/PASS at the firewall, "SITE host" (must get 3xx), USER/PASS/ACCT
//   2  USER/PASS at the firewall, then "USER user@host", PASS, ACCT
//   3  USER/PASS at the firewall, then USER, PASS, ACCT
//   4  "OPEN host", then USER, PASS, ACCT
//   5  "USER user@host", PASS, ACCT
//   6  "USER fwuser@host", firewall PASS, then USER, PASS, ACCT
//   7  "USER user@host fwuser" (must get 3xx), PASS, ACCT
//   8  "USER user@fwuser@host", "PASS pass@fwpass", ACCT
//  -1  CustomLoginTable
#include "ftp/ftpclient.h"

#include <utility>

#include "ftp/ftpclient_text.h"
#include "sockets/socketerrors.h"
#include "util/deadline.h"
#include "util/textutil.h"

namespace zud {

namespace {

constexpr uint8_t kLoggedIn = 255;
constexpr uint8_t kRefused = 254;
constexpr uint8_t kLastAction = 11;
// How long the logout waits for its answer from a server that has already
// let a wait run out: the user has waited one full timeout already.
constexpr int32_t kQuitWaitAfterTimeout = 1000;

using ftp_internal::TScopedReplyTimeout;

// Each row: six steps of (action, next on class 2, next on class 3).
constexpr TLoginTable kLoginTables[] = {
    // 0: direct
    {0, 255, 3, 1, 255, 6, 2, 255, 254},
    // 1: firewall login, SITE host, server login
    {3, 6, 3, 4, 6, 254, 5, 254, 9, 0, 255, 12, 1, 255, 15, 2, 255, 254},
    // 2: firewall login, USER user@host
    {3, 6, 3, 4, 6, 254, 6, 255, 9, 1, 255, 12, 2, 255, 254},
    // 3: firewall login, then server login
    {3, 6, 3, 4, 6, 254, 0, 255, 9, 1, 255, 12, 2, 255, 254},
    // 4: OPEN host
    {7, 3, 3, 0, 255, 6, 1, 255, 9, 2, 255, 254},
    // 5: USER user@host
    {6, 255, 3, 1, 255, 6, 2, 255, 254},
    // 6: USER fwuser@host
    {8, 6, 3, 4, 6, 254, 0, 255, 9, 1, 255, 12, 2, 255, 254},
    // 7: USER user@host fwuser
    {9, 254, 3, 1, 255, 6, 2, 255, 254},
    // 8: USER user@fwuser@host, PASS pass@fwpass
    {10, 255, 3, 11, 255, 6, 2, 255, 254},
};
constexpr int kVariantCount = static_cast<int>(std::size(kLoginTables));

bool IsValidNextStep(uint8_t next) {
  return next == kLoggedIn || next == kRefused || (next <= 15 && next % 3 == 0);
}

// The control socket, able to record the client's own verdict about a reply
// as a socket error.
class TControlSocket final : public TTCPBlockSocket {
 public:
  void RecordError(int code) {
    SetLastErrorCode(code);
    ReportLastError();
  }
};

int ReplyClass(int code) { return code / 100; }

// Sets a socket's receive settings for the length of one read and restores
// them afterwards.
class TScopedWholeCallTimeout {
 public:
  explicit TScopedWholeCallTimeout(TBlockSocket& socket)
      : socket_(socket), saved_(socket.InterPacketTimeout) {
    socket_.InterPacketTimeout = false;
  }
  ~TScopedWholeCallTimeout() { socket_.InterPacketTimeout = saved_; }
  TScopedWholeCallTimeout(const TScopedWholeCallTimeout&) = delete;
  TScopedWholeCallTimeout& operator=(const TScopedWholeCallTimeout&) = delete;

 private:
  TBlockSocket& socket_;
  bool saved_;
};

}  // namespace

const TLoginTable& BuiltInLoginTable(int variant) {
  if (variant < 0 || variant >= kVariantCount) variant = 0;
  return kLoginTables[variant];
}

bool IsValidLoginTable(const TLoginTable& table) {
  for (size_t step = 0; step < table.size(); step += 3) {
    if (table[step] > kLastAction) return false;
    if (!IsValidNextStep(table[step + 1]) || !IsValidNextStep(table[step + 2])) return false;
  }
  return true;
}

// ---- Construction ------------------------------------------------------------

TFTPSend::TFTPSend() {
  data_stream_ = std::make_unique<TMemoryStream>();
  sock_ = std::make_unique<TControlSocket>();
  sock_->Owner = this;
  sock_->ConvertLineEnd = true;
  sock_->MaxLineLength = kMaxReplyLineLength;
  // Each command and each file's end (a TLS close_notify) is a small write
  // that a reply must follow: none may wait for a delayed acknowledgement.
  sock_->NoDelay = true;
  dsock_ = std::make_unique<TTCPBlockSocket>();
  dsock_->Owner = this;
  dsock_->NoDelay = true;
  ftp_list_ = std::make_unique<TFTPList>();
  Timeout = 300000;
  TargetPort = "21";
  UserName = "anonymous";
  Password = "visitorid@" + sock_->LocalMachineName();
}

TFTPSend::~TFTPSend() = default;

// ---- Control channel ------------------------------------------------------------

void TFTPSend::EmitStatus(bool response, const std::string& value) {
  if (OnStatus) OnStatus(*this, response, value);
}

int TFTPSend::ReadReply() {
  full_result_.clear();
  std::string code;
  size_t reply_bytes = 0;
  // Timeout bounds the whole reply, not each packet: a server that trickles
  // a byte at a time, or line after line, cannot hold the client longer.
  const TDeadline deadline(Timeout);
  TScopedWholeCallTimeout whole_call(*sock_);
  for (;;) {
    std::string line = sock_->ReceiveLine(deadline.Left());
    // Every line counts with a line end, so that a flood of empty lines is
    // bounded as well.
    reply_bytes += line.size() + 2;
    if (reply_bytes > kMaxReplyBytes) {
      static_cast<TControlSocket&>(*sock_).RecordError(kErrLineTooLong);
      line.clear();
    }
    if (code.empty() && line.size() >= 4 && (line[3] == ' ' || line[3] == '-')) {
      code = line.substr(0, 3);
    }
    // An SSH server greets with its version line and then waits for the
    // client: no FTP reply is coming, and waiting for one would only run
    // into the timeout.
    const bool ssh_greeting = full_result_.empty() && line.starts_with("SSH-");
    if (ssh_greeting) code.clear();
    const bool last = ssh_greeting || sock_->LastErrorCode() != 0 ||
                      (!code.empty() && line.size() > 3 && line.compare(0, 3, code) == 0 &&
                       line[3] == ' ');
    result_string_ = line;
    full_result_.push_back(std::move(line));
    EmitStatus(true, result_string_);
    if (last) break;
  }
  // A line or reply past its bound (the socket reports a line past
  // MaxLineLength with the same code) is no reply at all, whatever code
  // began it.
  if (sock_->LastErrorCode() == kErrLineTooLong) code.clear();
  timed_out_ = sock_->LastErrorCode() == kErrTimedOut;
  result_code_ = TextToIntDef(code, 0);
  return result_code_;
}

int TFTPSend::SendCommand(const std::string& command) {
  if (command.find_first_of("\r\n") != std::string::npos) {
    // A name or argument with a line break would put a second command of the
    // server's (or an attacker's) choosing on the connection.
    full_result_.clear();
    result_string_.clear();
    result_code_ = 0;
    return 0;
  }
  // A command outside a data exchange begins a new step: an earlier data
  // connection's end no longer tells why anything fails.
  if (!data_phase_) data_used_ = false;
  sock_->DiscardPending();
  sock_->SendText(command + "\r\n");
  EmitStatus(false, command);
  return ReadReply();
}

// ---- Connection, login and logout ------------------------------------------------

bool TFTPSend::OpenControlConnection() {
  sock_->Close();
  sock_->BindTo(IPInterface, "0");
  if (sock_->LastErrorCode() == 0) {
    if (!FWHost.empty()) {
      ftp_internal::ConnectWithin(*sock_, FWHost, FWPort, Timeout);
    } else {
      ftp_internal::ConnectWithin(*sock_, TargetHost, TargetPort, Timeout);
    }
  }
  if (sock_->LastErrorCode() == 0) ftp_internal::BoundBlockingCalls(*sock_, Timeout);
  // Each wait inside a TLS operation is bounded like every wait for the
  // server; the data connections take it over with the other settings.
  sock_->TLSPlugin().Timeout = Timeout;
  if (sock_->LastErrorCode() == 0 && FullSSL) sock_->StartClientTLS();
  return sock_->LastErrorCode() == 0;
}

TFTPFailure TFTPSend::LastFailure() const {
  const auto from_socket = [](const TTCPBlockSocket& s, TFailureSite site) {
    const TFailureKind kind = s.LastErrorKind();
    const bool tls = kind == TFailureKind::TLSHandshake || kind == TFailureKind::TLSCertificate ||
                     kind == TFailureKind::TLSSession;
    return TFTPFailure{s.LastErrorCode(), kind, s.LastErrorText(), tls ? TFailureSite::TLS : site};
  };
  if (sock_->LastErrorCode() != 0) return from_socket(*sock_, TFailureSite::Control);
  if (data_used_ && dsock_->LastErrorCode() != 0 && !data_ended_normally_) {
    return from_socket(*dsock_, TFailureSite::Data);
  }
  if (result_code_ == 0 || result_code_ >= 400) {
    return {result_code_, TFailureKind::None, result_string_, TFailureSite::Reply};
  }
  return {};
}

bool TFTPSend::SignIn() {
  data_phase_ = false;
  data_used_ = false;
  can_resume_ = false;
  features_read_ = false;  // a new server may offer other features
  timed_out_ = false;
  // Nothing of an earlier conversation may still claim protection, even when
  // the new connection cannot be made.
  is_tls_ = false;
  is_data_tls_ = false;
  if (!OpenControlConnection()) return false;
  is_tls_ = FullSSL;

  // "Wait" replies may come first, but the greeting as a whole is bounded
  // by Timeout as every single reply is.
  const TDeadline greeting(Timeout);
  int code = ReadReply();
  for (int waits = 0; ReplyClass(code) == 1 && waits < kMaxPreliminaryGreetings; ++waits) {
    const TScopedReplyTimeout bounded(Timeout, greeting.Left());
    code = ReadReply();
  }
  if (ReplyClass(code) != 2) return false;

  if (AutoTLS && !is_tls_ && ReplyClass(SendCommand("AUTH TLS")) == 2) {
    sock_->StartClientTLS();
    is_tls_ = sock_->LastErrorCode() == 0;
    if (!is_tls_) return false;
  }
  if (RequireTLS && !is_tls_) return false;

  if (!RunLoginSequence(FWMode)) return false;

  if (is_tls_) {
    // A PBSZ that got no reply at all (silence, a lost connection) ends the
    // login: PROT would only meet the same silence for another Timeout. A
    // refusal is an answer, and PROT still decides.
    if (SendCommand("PBSZ 0") == 0 && sock_->LastErrorCode() != 0) return false;
    if (TLSonData) is_data_tls_ = ReplyClass(SendCommand("PROT P")) == 2;
    if (RequireTLS && TLSonData && !is_data_tls_) return false;
    if (!is_data_tls_) SendCommand("PROT C");
  }

  if (LeanSignIn) {
    return ReplyClass(SendCommand(BinaryMode ? "TYPE I" : "TYPE A")) == 2;
  }
  SendCommand("TYPE I");
  SendCommand("STRU F");
  SendCommand("MODE S");

  // A server that accepts both offsets really supports restarts; "REST 0"
  // then takes the marker back so that the next transfer starts at 0.
  if (SendCommand("REST 0") == 350 && SendCommand("REST 1") == 350) {
    SendCommand("REST 0");
    can_resume_ = true;
  }
  return true;
}

std::string TFTPSend::HostDesignation() const {
  if (TargetPort == "21") return TargetHost;
  return TargetHost + ":" + TargetPort;
}

std::string TFTPSend::LoginCommand(uint8_t action) const {
  switch (action) {
    case 0: return "USER " + UserName;
    case 1: return "PASS " + Password;
    case 2: return "ACCT " + Account;
    case 3: return "USER " + FWUsername;
    case 4: return "PASS " + FWPassword;
    case 5: return "SITE " + HostDesignation();
    case 6: return "USER " + UserName + "@" + HostDesignation();
    case 7: return "OPEN " + HostDesignation();
    case 8: return "USER " + FWUsername + "@" + HostDesignation();
    case 9: return "USER " + UserName + "@" + HostDesignation() + " " + FWUsername;
    case 10: return "USER " + UserName + "@" + FWUsername + "@" + HostDesignation();
    case 11: return "PASS " + Password + "@" + FWPassword;
    default: return std::string();
  }
}

bool TFTPSend::RunLoginSequence(int32_t mode) {
  // Without a firewall host there is nothing to log in to but the server.
  const int32_t variant = FWHost.empty() ? 0 : mode;
  TLoginTable table;
  if (variant == -1) {
    if (!IsValidLoginTable(CustomLoginTable)) return false;
    table = CustomLoginTable;  // a copy: the hook may change the member meanwhile
  } else {
    table = BuiltInLoginTable(variant);
  }
  size_t step = 0;
  for (int count = 0; count < kMaxLoginSteps; ++count) {
    const int reply_class = ReplyClass(SendCommand(LoginCommand(table[step])));
    uint8_t next;
    if (reply_class == 2) {
      next = table[step + 1];
    } else if (reply_class == 3) {
      next = table[step + 2];
    } else {
      return false;
    }
    if (next == kLoggedIn) return true;
    if (next == kRefused) return false;
    step = next;
  }
  return false;
}

bool TFTPSend::SignOff() {
  bool done;
  {
    const TScopedReplyTimeout bounded(Timeout, timed_out_ ? kQuitWaitAfterTimeout : -1);
    done = ReplyClass(SendCommand("QUIT")) == 2;
  }
  sock_->Close();
  return done;
}

}  // namespace zud
