#include "frontend/uploadjob.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "frontend/console.h"
#include "frontend/program.h"
#include "frontend/progressmeter.h"
#include "frontend/tlsswitches.h"
#include "util/compat.h"
#include "util/iptext.h"
#include "util/process.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {
namespace {

// How soon a wait notices an interrupt: waits run in slices of this length.
constexpr int32_t kStopCheckMs = 100;
// ABOR and QUIT after an interrupt, or QUIT after a lost or silent control
// connection, wait no longer than this.
constexpr int32_t kCleanupTimeoutMs = 3000;
// The part of a file that is looked at for NUL bytes.
constexpr int64_t kSniffBytes = 65536;

int ReplyClassOf(int code) { return code / 100; }

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A classic line on standard output; with /quiet, where the dialogue is not
// shown either, on standard error.
void ClassicLine(const std::string& text, bool quiet) {
  if (quiet) {
    WriteErrorLine(text);
  } else {
    WriteOutputLine(text);
  }
}

// The progress meter of one transfer, on a terminal only. It ends with the
// summary of a stored file, or with the line as far as it got.
class TTransferMeter {
 public:
  explicit TTransferMeter(int64_t total) {
    if (!StatusLineAvailable()) return;
    meter_ = std::make_unique<TProgressMeter>(
        total,
        [](const std::string& line) {
          if (line.empty()) {
            ClearStatusLine();
          } else {
            ShowStatusLine(line);
          }
        },
        MonotonicMilliseconds);
    total_ = total;
  }
  void Start() {
    if (meter_) meter_->Start();
  }
  void Advance(int64_t bytes) {
    if (meter_) meter_->Advance(bytes);
  }
  void End(bool stored) {
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

 private:
  std::unique_ptr<TProgressMeter> meter_;
  int64_t total_ = 0;
  bool ended_ = false;
};

// Watches the session through the client's hooks: echoes the dialogue
// (unless quiet), feeds the meter and keeps the facts that explain a failure.
class TSessionWatch {
 public:
  TSessionWatch(TMyFtp& ftp, const TUploadSettings& settings) : ftp_(ftp) {
    facts_.host = settings.Server;
    facts_.port = std::to_string(settings.Port);
    facts_.timeout_ms = settings.TimeoutMs;
    facts_.quiet = settings.Quiet;
    const bool quiet = settings.Quiet;
    ftp_.OnStatus = [this, quiet](TFTPSend& sender, bool response, const std::string& value) {
      if (!quiet) TMyFtp::EchoStatus(sender, response, value);
      if (!response) {
        facts_.last_command = value.starts_with("PASS ") ? "PASS" : value;
        return;
      }
      // The reader reports an empty line when no reply came at all.
      if (!value.empty()) ++facts_.replies;
      const bool final_line = value.size() >= 4 && value[3] == ' ';
      if (final_line && value[0] == '1' &&
          (StartsWith(facts_.last_command, "STOR ") || StartsWith(facts_.last_command, "APPE "))) {
        facts_.store_started = true;
      }
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
    // The timeout also bounds the connect: on this socket a send timeout
    // limits connect() as well.
    const int32_t timeout = settings.TimeoutMs;
    ftp_.Sock().OnCreateSocket = [timeout](TBlockSocket& sender) {
      sender.ApplyOption(TSocketOption{OT_SendTimeout, true, timeout});
    };
    ftp_.Sock().HeartbeatRate = kStopCheckMs;
    ftp_.DSock().HeartbeatRate = kStopCheckMs;
  }
  ~TSessionWatch() {
    ftp_.OnStatus = nullptr;
    ftp_.Sock().OnStatus = nullptr;
    ftp_.DSock().OnStatus = nullptr;
    ftp_.Sock().OnCreateSocket = nullptr;
  }
  TSessionWatch(const TSessionWatch&) = delete;
  TSessionWatch& operator=(const TSessionWatch&) = delete;

  bool connected() const { return facts_.connected; }
  const std::string& last_command() const { return facts_.last_command; }

  // Starts the facts of one file's transfer afresh.
  void BeginFile(int64_t size, TTransferMeter* meter) {
    facts_.store_started = false;
    facts_.data_connected = false;
    facts_.data_error = 0;
    facts_.data_error_text.clear();
    facts_.bytes_sent = 0;
    facts_.bytes_to_send = size;
    meter_ = meter;
  }
  void EndFile() { meter_ = nullptr; }

  TSessionFacts Facts() const {
    TSessionFacts facts = facts_;
    facts.result_code = ftp_.ResultCode();
    facts.result_line = ftp_.ResultString();
    facts.control_error = ftp_.Sock().LastErrorCode();
    facts.control_error_text = ftp_.Sock().LastErrorText();
    return facts;
  }

 private:
  TMyFtp& ftp_;
  TSessionFacts facts_;
  TTransferMeter* meter_ = nullptr;
};

// Arms the interrupt for the life of one transfer: Ctrl-C then stops the
// waits and sends on both connections instead of ending the process.
class TInterruptArming {
 public:
  explicit TInterruptArming(TFTPSend& ftp) {
    ArmInterruptFlags(&ftp.Sock().StopFlag, &ftp.DSock().StopFlag);
  }
  ~TInterruptArming() { ArmInterruptFlags(nullptr, nullptr); }
  TInterruptArming(const TInterruptArming&) = delete;
  TInterruptArming& operator=(const TInterruptArming&) = delete;
};

// APPE from offset on, for a server that refuses REST.
bool AppendFrom(TFTPSend& ftp, const std::string& remote, int64_t offset) {
  TFileStream file(ftp.DirectFileName, TFileStream::Mode::kRead);
  if (!ftp.PrepareDataConnection()) return false;
  ftp.SendCommand(ftp.BinaryMode ? "TYPE I" : "TYPE A");
  file.SetPosition(offset);
  if (ReplyClassOf(ftp.SendCommand("APPE " + remote)) != 1) return false;
  return ftp.UploadOverData(file);
}

enum class TResumeOutcome { kStored, kAlreadyComplete, kFailed };

TResumeOutcome ResumeUpload(TFTPSend& ftp, const TSessionWatch& watch, const std::string& remote,
                            int64_t local_size) {
  const int64_t remote_size = ftp.RemoteFileSize(remote);
  if (remote_size >= 0 && remote_size == local_size) return TResumeOutcome::kAlreadyComplete;
  // Nothing there, or a longer copy that is no prefix of this file: replace.
  bool stored;
  if (remote_size <= 0 || remote_size > local_size) {
    stored = ftp.UploadFile(remote, false);
  } else if (ftp.CanResume()) {
    stored = ftp.UploadFromSource("STOR " + remote, remote_size);
    if (!stored && StartsWith(watch.last_command(), "REST ") && !InterruptRequested()) {
      stored = AppendFrom(ftp, remote, remote_size);
    }
  } else {
    stored = AppendFrom(ftp, remote, remote_size);
  }
  return stored ? TResumeOutcome::kStored : TResumeOutcome::kFailed;
}

// The exception's message, then every line of the last reply; one output line.
void ReportStoreException(const TFTPSend& client, const std::string& message, bool quiet) {
  std::string text = message + "\r\n";
  for (const std::string& line : client.FullResult()) text += line + "\r\n";
  ClassicLine(text, quiet);
}

// -1 when not known in advance (not a regular file, or unreadable).
int64_t LocalFileSize(const std::string& path) {
  if (!IsRegularFile(path)) return -1;
  try {
    TFileStream file(path, TFileStream::Mode::kRead);
    return file.Size();
  } catch (const std::exception&) {
    return -1;
  }
}

// Ends an interrupted transfer in an orderly way, briefly.
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

enum class TAfterStore { kGoOn, kStopWithQuit, kStopWithoutQuit };

// Stores one file; returns its status and what the session can do next.
TExitStatus StoreOneFile(TMyFtp& ftp, TSessionWatch& watch, const TUploadSettings& settings,
                         const std::string& path, TAfterStore& next) {
  next = TAfterStore::kGoOn;
  const std::string remote = WithDirectoryEnd(settings.RemoteDir) + LocalFileNamePart(path);
  if (!ftp.BinaryMode && LooksBinary(path)) {
    WriteErrorLine("warning: " + path +
                   " holds NUL bytes and looks binary, but is sent in ASCII type; /binary is "
                   "probably wanted");
  }
  ftp.DirectFileName = path;
  ftp.DirectFile = true;
  const int64_t size = LocalFileSize(path);

  bool stored = false;
  bool skipped = false;
  try {
    TTransferMeter meter(size);
    watch.BeginFile(size, &meter);
    {
      TInterruptArming armed(ftp);
      if (settings.Resume) {
        const TResumeOutcome outcome = ResumeUpload(ftp, watch, remote, size);
        stored = outcome != TResumeOutcome::kFailed;
        skipped = outcome == TResumeOutcome::kAlreadyComplete;
      } else {
        stored = ftp.UploadFile(remote, false);
      }
    }
    meter.End(stored && !skipped);
    watch.EndFile();
  } catch (const EFileOpenError& e) {
    watch.EndFile();
    ReportStoreException(ftp, e.what(), settings.Quiet);
    next = TAfterStore::kStopWithoutQuit;
    return TExitStatus::kLocalFile;
  } catch (const std::exception& e) {
    watch.EndFile();
    ReportStoreException(ftp, e.what(), settings.Quiet);
    next = TAfterStore::kStopWithoutQuit;
    return TExitStatus::kTransferFailed;
  }
  if (skipped) {
    WriteErrorLine(remote + " is already complete on the server (" + std::to_string(size) +
                   " bytes); nothing sent");
  }
  if (InterruptRequested()) {
    WriteErrorLine("interrupted");
    AbortAfterInterrupt(ftp);
    next = TAfterStore::kStopWithoutQuit;
    return TExitStatus::kInterrupted;
  }
  if (stored) return TExitStatus::kStored;
  const TSessionFacts facts = watch.Facts();
  const TFailure failure = ClassifyStoreFailure(facts, remote);
  if (!failure.message.empty()) WriteErrorLine(failure.message);
  // A lost or silent control connection carries no further file.
  if (facts.control_error != 0 || facts.result_code == 0) next = TAfterStore::kStopWithQuit;
  return failure.status;
}

}  // namespace

TMyFtp::TMyFtp() {
  OnStatus = [](TFTPSend& sender, bool response, const std::string& value) {
    EchoStatus(sender, response, value);
  };
}

void TMyFtp::EchoStatus(TFTPSend&, bool, const std::string& value) {
  if (value.starts_with("PASS ")) {
    WriteOutputLine("PASS **********");
  } else {
    WriteOutputLine(value);
  }
}

std::string WithDirectoryEnd(std::string dir) {
  if (dir.empty() || (dir.back() != '/' && dir.back() != '\\')) dir += '/';
  return dir;
}

std::string LocalFileNamePart(std::string_view path) {
  // Backslash and colon are the Windows delimiters of the paths the tool was
  // first written for; "/" is this platform's own separator.
  const size_t cut = path.find_last_of("\\:/");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string RemoteFileName(const std::string& remote_dir, std::string_view local_path) {
  return WithDirectoryEnd(remote_dir) + LocalFileNamePart(local_path);
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

bool LooksBinary(const std::string& path) {
  // Reading ahead in a pipe would take the first block away from the upload.
  if (!IsRegularFile(path)) return false;
  try {
    TFileStream file(path, TFileStream::Mode::kRead);
    std::string block(static_cast<size_t>(kSniffBytes), '\0');
    const int64_t n = file.Read(block.data(), kSniffBytes);
    return n > 0 && std::memchr(block.data(), '\0', static_cast<size_t>(n)) != nullptr;
  } catch (const std::exception&) {
    return false;  // the store reports what is wrong with the file
  }
}

TExitStatus RunUploadJob() {
  TUploadSettings& settings = UploadSettings;
  std::vector<std::string> files = settings.Files;
  if (files.empty()) files.push_back(settings.LocalPath);

  TExitStatus first = TExitStatus::kStored;
  std::vector<std::string> present;
  for (const std::string& path : files) {
    if (FileExists(path)) {
      present.push_back(path);
    } else {
      ClassicLine("File not found( " + path + " )", settings.Quiet);
      KeepFirstFailure(first, TExitStatus::kLocalFile);
    }
  }
  size_t stored_count = 0;
  const auto summary = [&] {
    if (files.size() > 1) {
      WriteErrorLine(std::to_string(stored_count) + " of " + std::to_string(files.size()) +
                     " files stored");
    }
  };
  if (present.empty()) {
    summary();
    return first;
  }

  const TTLSSwitches tls = ReadTLSSwitches();
  settings.Port = tls.PortOr(settings.Port);
  auto ftp = std::make_unique<TMyFtp>();
  TSessionWatch watch(*ftp, settings);
  ftp->Timeout = settings.TimeoutMs;
  if (!settings.User.empty()) {
    ftp->UserName = settings.User;
    ftp->Password = settings.Pass;
  }
  ftp->TargetPort = std::to_string(settings.Port);
  ftp->PassiveMode = settings.Passive;
  ftp->BinaryMode = LowerCase8(settings.Mode) == "binary";
  ApplyTLSSwitches(tls, settings.Server, *ftp);

  // Only an address that could not be reached gives way to the next one.
  bool signed_in = false;
  for (const std::string& address : HostAttempts(settings.Server)) {
    ftp->TargetHost = address;
    signed_in = ftp->SignIn();
    if (signed_in || watch.connected()) break;
  }
  // A failed login ends without QUIT: the client's destruction closes the
  // connection.
  if (!signed_in) {
    const TFailure failure = ClassifySignInFailure(watch.Facts());
    if (!failure.message.empty()) WriteErrorLine(failure.message);
    KeepFirstFailure(first, failure.status);
    summary();
    return first;
  }

  settings.RemoteDir = WithDirectoryEnd(settings.RemoteDir);
  TAfterStore next = TAfterStore::kGoOn;
  for (const std::string& path : present) {
    const TExitStatus status = StoreOneFile(*ftp, watch, settings, path, next);
    if (status == TExitStatus::kStored) {
      ++stored_count;
    } else if (status == TExitStatus::kInterrupted) {
      first = status;  // the user's stop overrides what went wrong before
    } else {
      KeepFirstFailure(first, status);
    }
    if (next != TAfterStore::kGoOn) break;
  }
  // A server that has already let one wait run out gets a short one for QUIT.
  if (next == TAfterStore::kStopWithQuit) ftp->Timeout = std::min(ftp->Timeout, kCleanupTimeoutMs);
  if (next != TAfterStore::kStopWithoutQuit) ftp->SignOff();
  summary();
  return first;
}

bool RunUpload() { return RunUploadJob() == TExitStatus::kStored; }

}  // namespace zud
