#include "deploy/session.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "util/iptext.h"
#include "util/process.h"
#include "util/textutil.h"

namespace zud {
namespace {

// Keep-alive probes on the control connection start after this much idle
// time: below the minutes after which NAT routers commonly forget a flow.
constexpr int32_t kKeepAliveIdleSeconds = 60;

// The commands of one transfer: the data connection's setup, the REST
// before a store, the transfer command and ABOR.
bool IsTransferCommand(std::string_view command) {
  static constexpr std::string_view kVerbs[] = {"PASV", "EPSV", "PORT", "EPRT", "REST", "STOR",
                                                "APPE", "STOU", "RETR", "LIST", "NLST", "MLSD",
                                                "ABOR"};
  const std::string_view verb = command.substr(0, command.find(' '));
  return std::find(std::begin(kVerbs), std::end(kVerbs), verb) != std::end(kVerbs);
}

}  // namespace

std::string MaskedLine(const std::string& line) {
  return line.starts_with("PASS ") ? std::string("PASS **********") : line;
}

// ---- TSessionWatch ------------------------------------------------------------------

TSessionWatch::TSessionWatch(TFTPSend& ftp, const TDeployOptions& options) : ftp_(ftp) {
  facts_.host = options.Host;
  facts_.port = std::to_string(options.Port);
  facts_.timeout_ms = options.TimeoutMs;
  facts_.quiet = !options.DialogueShown;
  facts_.implicit_tls = options.TLS.FullSSL;
  facts_.explicit_tls = options.TLS.AutoTLS && !options.TLS.FullSSL;
  facts_.passive = options.Passive;
  ftp_.OnStatus = [this](TFTPSend&, bool response, const std::string& value) {
    // Timed before the hook, which may take its time: a command has just
    // gone out, a reply has just come in.
    const uint32_t now = ReadTickCounter();
    if (response) {
      last_reply_tick_ = now;
    } else {
      quiet_before_command_ms_ = ComputeTickSpan(last_reply_tick_, now);
    }
    if (OnDialogue && !probing_) OnDialogue(response, MaskedLine(value));
    if (!response) {
      facts_.last_command = value.starts_with("PASS ") ? "PASS" : value;
      // A command outside a transfer: what the last data connection met no
      // longer explains anything (its normal end is an error code too).
      if (!IsTransferCommand(value)) ClearDataFacts();
      return;
    }
    OnReply(value);
  };
  ftp_.Sock().OnStatus = [this](TBlockSocket& sender, THookSocketReason reason,
                                const std::string&) {
    if (reason == SR_Connected && sender.LastErrorCode() == 0) facts_.connected = true;
  };
  ftp_.DSock().OnStatus = [this](TBlockSocket& sender, THookSocketReason reason,
                                 const std::string& value) {
    switch (reason) {
      case SR_Connected:  // passive mode
      case SR_Accepted:   // active mode
        if (sender.LastErrorCode() != 0) break;
        facts_.data_connected = true;
        if (in_file_ && OnFileData) OnFileData(0);
        break;
      case SR_BytesWritten: {
        const int64_t n = TextToInt64Def(value, 0);
        facts_.bytes_sent += n;
        if (in_file_ && OnFileData) OnFileData(n);
        break;
      }
      case SR_Error:
        facts_.data_error = sender.LastErrorCode();
        facts_.data_error_text = sender.LastErrorText();
        break;
      default:
        break;
    }
  };
  // The client bounds the connect and every later wait by its Timeout.
  // Keep-alive probes keep routers from dropping the control connection
  // while a long transfer leaves it idle.
  ftp_.Sock().OnCreateSocket = [](TBlockSocket& sender) {
    sender.ApplyOption(TSocketOption{OT_KeepAlive, true, kKeepAliveIdleSeconds});
  };
  ftp_.Sock().HeartbeatRate = kStopCheckMs;
  ftp_.DSock().HeartbeatRate = kStopCheckMs;
}

TSessionWatch::~TSessionWatch() {
  ftp_.OnStatus = nullptr;
  ftp_.Sock().OnStatus = nullptr;
  ftp_.DSock().OnStatus = nullptr;
  ftp_.Sock().OnCreateSocket = nullptr;
}

void TSessionWatch::OnReply(const std::string& value) {
  // The reader reports an empty line when no reply came at all.
  if (!value.empty()) ++facts_.replies;
  const bool final_line = value.size() >= 4 && value[3] == ' ';
  if (!final_line) return;
  if (value[0] == '1' &&
      (facts_.last_command.starts_with("STOR ") || facts_.last_command.starts_with("APPE "))) {
    facts_.store_started = true;
  }
  // The PASS command is built after this reply is read: a password given
  // now goes into it.
  if (OnPassword && value.starts_with("331") && facts_.last_command.starts_with("USER ")) {
    const auto ask = std::move(OnPassword);
    OnPassword = nullptr;
    std::string typed;
    if (ask(typed)) ftp_.Password = typed;
  }
}

void TSessionWatch::ClearDataFacts() {
  facts_.store_started = false;
  facts_.data_connected = false;
  facts_.data_error = 0;
  facts_.data_error_text.clear();
}

void TSessionWatch::BeginFile(int64_t size) {
  ClearDataFacts();
  facts_.bytes_sent = 0;
  facts_.bytes_to_send = size;
  in_file_ = true;
}

void TSessionWatch::BeginSession() {
  BeginFile(-1);
  in_file_ = false;
  facts_.connected = false;
  facts_.replies = 0;
  facts_.last_command.clear();
}

TSessionFacts TSessionWatch::Facts() const {
  TSessionFacts facts = facts_;
  facts.result_code = ftp_.ResultCode();
  facts.result_line = ftp_.ResultString();
  facts.control_error = ftp_.Sock().LastErrorCode();
  facts.control_error_text = ftp_.Sock().LastErrorText();
  return facts;
}

// ---- Interrupts -----------------------------------------------------------------------

TInterruptArming::TInterruptArming(TFTPSend& ftp) {
  ArmInterruptFlags(&ftp.Sock().StopFlag, &ftp.DSock().StopFlag);
}

TInterruptArming::~TInterruptArming() { ArmInterruptFlags(nullptr, nullptr); }

void AbortAfterInterrupt(TFTPSend& ftp) {
  ftp.Sock().StopFlag = false;
  ftp.DSock().StopFlag = false;
  ftp.Timeout = std::min(ftp.Timeout, kCleanupTimeoutMs);
  // A server reading the data connection hears nothing else until it ends.
  ftp.DSock().CloseAtOnce();
  if (ftp.Sock().Handle() == kInvalidSocket) return;
  ftp.SendCommand("ABOR");
  ftp.SignOff();
}

// ---- Login ---------------------------------------------------------------------------

void ConfigureClient(const TDeployOptions& options, TFTPSend& ftp) {
  ftp.Timeout = options.TimeoutMs;
  if (!options.User.empty()) {
    ftp.UserName = options.User;
    ftp.Password = options.Password;
  }
  ftp.TargetPort = std::to_string(options.Port);
  ftp.PassiveMode = options.Passive;
  ftp.BinaryMode = !options.Ascii;
  const TDeployTLS& tls = options.TLS;
  if (!tls.Wanted()) return;
  ftp.FullSSL = tls.FullSSL;
  ftp.AutoTLS = tls.AutoTLS;
  ftp.RequireTLS = tls.RequireTLS;
  ftp.TLSonData = tls.TLSonData;
  ftp.ActiveDataTLS = tls.ActiveDataTLS;
  TCustomSSL& plugin = ftp.Sock().TLSPlugin();
  plugin.SetPeerName(tls.PeerName.empty() ? options.Host : tls.PeerName);
  plugin.CertCAFile = tls.CertCAFile;
  if (!tls.VerifyCert) plugin.VerifyCert = false;
}

TFailure SignInToHost(const std::string& host, TFTPSend& ftp, TSessionWatch& watch) {
  // Only an address that could not be reached gives way to the next one.
  for (const std::string& address : HostAttempts(host)) {
    ftp.TargetHost = address;
    if (ftp.SignIn()) return TFailure();
    if (watch.connected()) break;
  }
  TSessionFacts facts = watch.Facts();
  // Some servers refuse a password over plain FTP with no more than "530
  // Login incorrect"; whether they offer TLS tells what may help.
  // The probe's FEAT is no part of the dialogue; the facts stay the refusal's.
  if (facts.result_code == 530 && facts.last_command == "PASS" && facts.control_error == 0 &&
      !facts.implicit_tls && !facts.explicit_tls) {
    watch.BeginProbe();
    facts.offers_tls = OffersTLS(ftp);
    watch.EndProbe();
  }
  return ClassifySignInFailure(facts);
}

bool OffersTLS(TFTPSend& ftp) {
  if (!ftp.HasFeature("AUTH")) return false;
  for (const std::string& feature : ftp.Features()) {
    if (SameText8(std::string_view(feature).substr(0, 4), "AUTH") &&
        LowerCase8(feature).find("tls") != std::string::npos) {
      return true;
    }
  }
  return false;
}

bool RemoteFolderExists(TFTPSend& ftp, const std::string& folder) {
  std::string remote = folder;
  while (remote.size() > 1 && (remote.back() == '/' || remote.back() == '\\')) remote.pop_back();
  if (remote.empty() || remote == "/") return true;
  std::string back;
  if (remote[0] != '/') {
    back = ftp.CurrentDirectory();
    if (back.empty()) return false;
  }
  const bool exists = ftp.ChangeDirectory(remote);
  if (exists && !back.empty()) ftp.ChangeDirectory(back);
  return exists;
}

std::string OpenFailureReason(const std::string& message) {
  // The stream's message reads: Cannot open file "PATH". REASON
  const size_t cut = message.rfind("\". ");
  return cut == std::string::npos ? message : message.substr(cut + 3);
}

std::vector<std::string> HostAttempts(const std::string& typed) {
  std::string host = typed;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host.empty() || IsIPv4Text(host) || IsIPv6Text(host)) return {host};
  std::vector<std::string> addresses;
  TTCPBlockSocket resolver;
  for (TSocketFamily family : {SF_IP4, SF_IP6}) {
    resolver.SetFamily(family);
    std::vector<std::string> list;
    resolver.ResolveNameToList(host, list);
    for (const std::string& address : list) {
      if (address == "0.0.0.0") continue;  // the resolver's "nothing found"
      if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
        addresses.push_back(address);
      }
    }
  }
  // One address or none: the name itself, as it always was.
  if (addresses.size() <= 1) return {host};
  return addresses;
}

int32_t ReconnectDelayMs(int n) {
  constexpr int32_t kMaxReconnectDelayMs = 30000;
  if (n < 1) n = 1;
  if (n > 6) return kMaxReconnectDelayMs;
  return std::min(kMaxReconnectDelayMs, 1000 << (n - 1));
}

}  // namespace zud
