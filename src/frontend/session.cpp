#include "frontend/session.h"

#include <algorithm>
#include <string>

#include "frontend/console.h"
#include "frontend/tlsswitches.h"
#include "util/compat.h"
#include "util/iptext.h"
#include "util/process.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {
namespace {

// Keep-alive probes on the control connection start after this much idle
// time: below the minutes after which NAT routers commonly forget a flow.
constexpr int32_t kKeepAliveIdleSeconds = 60;

}  // namespace

// ---- TMyFtp ------------------------------------------------------------------------

TMyFtp::TMyFtp() {
  OnStatus = [](TFTPSend& sender, bool response, const std::string& value) {
    EchoStatus(sender, response, value);
  };
}

void TMyFtp::EchoStatus(TFTPSend&, bool, const std::string& value) {
  WriteOutputLine(EchoLine(std::string(), value));
}

std::string TMyFtp::EchoLine(const std::string& prefix, const std::string& value) {
  return prefix + (value.starts_with("PASS ") ? std::string("PASS **********") : value);
}

void ClassicLine(const std::string& text, bool quiet) {
  if (quiet) {
    WriteErrorLine(text);
  } else {
    WriteOutputLine(text);
  }
}

// ---- TTransferMeter ------------------------------------------------------------------

TTransferMeter::TTransferMeter(int64_t total, std::function<std::string()> prefix)
    : prefix_(std::move(prefix)) {
  if (!StatusLineAvailable()) return;
  meter_ = std::make_unique<TProgressMeter>(
      total,
      [this](const std::string& line) {
        if (line.empty()) {
          ClearStatusLine();
        } else {
          ShowStatusLine(prefix_ ? prefix_() + line : line);
        }
      },
      MonotonicMilliseconds);
  total_ = total;
}

void TTransferMeter::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (meter_) meter_->Start();
}

void TTransferMeter::Advance(int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (meter_) meter_->Advance(bytes);
}

void TTransferMeter::End(bool stored) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!meter_ || ended_) return;
  ended_ = true;
  const int64_t sent = meter_->sent();
  const uint64_t elapsed = meter_->elapsed_ms();
  if (stored) {
    meter_->Redraw();  // the line reaches 100% before the summary replaces it
    KeepStatusLine(FormatSummary(sent, elapsed));
  } else if (sent > 0) {
    KeepStatusLine(FormatProgress(sent, total_, elapsed));
  }
  meter_->Finish();
}

// ---- TSessionWatch ------------------------------------------------------------------

TSessionWatch::TSessionWatch(TMyFtp& ftp, const TUploadSettings& settings, bool ask_password)
    : ftp_(ftp), ask_password_(ask_password) {
  facts_.host = settings.Server;
  facts_.port = std::to_string(settings.Port);
  facts_.timeout_ms = settings.TimeoutMs;
  facts_.quiet = settings.Quiet;
  const bool quiet = settings.Quiet;
  ftp_.OnStatus = [this, quiet](TFTPSend& sender, bool response, const std::string& value) {
    if (!quiet && !muted_) {
      if (echo_prefix_.empty()) {
        TMyFtp::EchoStatus(sender, response, value);
      } else {
        WriteOutputLine(TMyFtp::EchoLine(echo_prefix_, value));
      }
    }
    if (!response) {
      facts_.last_command = value.starts_with("PASS ") ? "PASS" : value;
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
        if (meter_ != nullptr) meter_->Start();
        break;
      case SR_BytesWritten: {
        const int64_t n = TextToInt64Def(value, 0);
        facts_.bytes_sent += n;
        if (meter_ != nullptr) meter_->Advance(n);
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
  // The PASS command is built after this reply is read: a password typed
  // now goes into it.
  if (ask_password_ && value.starts_with("331") && facts_.last_command.starts_with("USER ")) {
    ask_password_ = false;
    std::string typed;
    if (ReadHiddenLine("Password for " + ftp_.UserName + "@" + facts_.host + ": ", typed)) {
      ftp_.Password = typed;
    }
  }
}

void TSessionWatch::BeginFile(int64_t size, TTransferMeter* meter) {
  facts_.store_started = false;
  facts_.data_connected = false;
  facts_.data_error = 0;
  facts_.data_error_text.clear();
  facts_.bytes_sent = 0;
  facts_.bytes_to_send = size;
  meter_ = meter;
}

void TSessionWatch::BeginSession() {
  BeginFile(-1, nullptr);
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

void ConfigureClient(const TUploadSettings& settings, TFTPSend& ftp) {
  ftp.Timeout = settings.TimeoutMs;
  if (!settings.User.empty()) {
    ftp.UserName = settings.User;
    ftp.Password = settings.Pass;
  }
  ftp.TargetPort = std::to_string(settings.Port);
  ftp.PassiveMode = settings.Passive;
  ftp.BinaryMode = LowerCase8(settings.Mode) == "binary";
  ApplyTLSSwitches(settings.Tls, settings.Server, ftp);
}

TExitStatus SignInToHost(const TUploadSettings& settings, TFTPSend& ftp, TSessionWatch& watch,
                         bool report) {
  // Only an address that could not be reached gives way to the next one.
  bool signed_in = false;
  for (const std::string& address : HostAttempts(settings.Server)) {
    ftp.TargetHost = address;
    signed_in = ftp.SignIn();
    if (signed_in || watch.connected()) break;
  }
  if (signed_in) return TExitStatus::kStored;
  const TFailure failure = ClassifySignInFailure(watch.Facts());
  if (report && !failure.message.empty()) WriteErrorLine(failure.message);
  return ExitStatusOf(failure.kind);
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

bool ShouldAskPassword(const TUploadSettings& settings) {
  return !settings.User.empty() && settings.Pass.empty() && !settings.PassGiven &&
         !settings.PassFile && !settings.PassEnv && IsStandardInputTerminal();
}

void ReportMissingLocalPath(const std::string& path) {
  if (path.empty()) {
    WriteErrorLine("no file given: name the file to upload last, after the switches");
    return;
  }
  const TLocalPathInfo info = QueryLocalPath(path);
  if (info.kind == TLocalKind::kDirectory) {
    WriteErrorLine(path + " is a folder; add /recursive to upload its tree");
  } else {
    WriteErrorLine("cannot read " + path + ": " +
                   (info.error.empty() ? std::string("not a file") : info.error));
  }
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

}  // namespace zud
