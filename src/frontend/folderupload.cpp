#include "frontend/folderupload.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "frontend/console.h"
#include "frontend/localtree.h"
#include "frontend/progressmeter.h"
#include "frontend/session.h"
#include "frontend/uploadjob.h"
#include "sockets/socketerrors.h"
#include "util/compat.h"
#include "util/process.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {
namespace {

constexpr int32_t kMaxReconnectDelayMs = 30000;

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The folder part of a remote path, without its last "/" ("/" for "/x").
std::string RemoteParent(const std::string& remote) {
  const size_t cut = remote.find_last_of('/');
  if (cut == std::string::npos) return std::string();
  if (cut == 0) return "/";
  return remote.substr(0, cut);
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// One step of the plan: a folder to make or a file to store.
struct TPlanItem {
  bool folder = false;
  std::string local;   // the file to read (files only)
  std::string remote;  // whole remote path, no trailing "/"
  int64_t size = 0;
};

// Whether a failure means the connection itself is gone or stuck, which a
// reconnect may mend (a refused login, store or certificate never is).
bool ConnectionLost(const TSessionFacts& f) {
  if (f.control_error != 0 || f.result_code == 0) return true;
  if (f.data_error != 0 && f.data_error != kErrRefused) return true;
  return f.result_code == 421 || f.result_code == 425 || f.result_code == 426;
}

class TFolderRun {
 public:
  explicit TFolderRun(const TUploadSettings& settings)
      : settings_(settings), retries_left_(settings.Retries) {
    for (const std::string& pattern : settings.Excludes) excludes_.Add(pattern);
  }

  TExitStatus Run();

 private:
  // ---- Planning ----
  void PlanParameter(const std::string& param);
  // ---- Session ----
  TExitStatus Connect();
  bool Reconnect(const TSessionFacts& lost);
  bool SetUpSession();
  // After a lost session: reconnects while reconnects are left, else records
  // the loss and stops the run. True when a session is up.
  bool EnsureSession();
  // ---- Steps ----
  bool MakeFolder(const std::string& remote, bool count_failure);
  bool MakeFolderChain(const std::string& remote);
  void StoreFile(const TPlanItem& item);
  bool SendFile(const TPlanItem& item, const std::string& target, int64_t offset);
  bool Rename(const std::string& from, const std::string& to);
  bool PrepareName(const std::string& remote);
  // ---- Outcomes ----
  void Fail(TExitStatus status, const std::string& message);
  void ExplainStoreFailure(const TPlanItem& item);
  bool Stopped() const { return stop_ || InterruptRequested(); }

  const TUploadSettings& settings_;
  TExcludeList excludes_;
  std::vector<TPlanItem> plan_;
  int64_t total_bytes_ = 0;
  size_t total_files_ = 0;

  std::unique_ptr<TMyFtp> ftp_;
  std::unique_ptr<TSessionWatch> watch_;
  std::unique_ptr<TTransferMeter> meter_;
  int32_t retries_left_ = 0;
  int reconnects_ = 0;
  bool utf8_checked_ = false;
  bool session_lost_ = false;
  bool stop_ = false;

  std::set<std::string> known_folders_;   // made or found on the server
  std::set<std::string> failed_folders_;  // could not be made
  std::set<std::string> probed_parents_;  // missing-folder hint given once

  TExitStatus first_ = TExitStatus::kStored;
  size_t stored_ = 0;
  size_t failed_ = 0;
  size_t folders_made_ = 0;
  int64_t bytes_stored_ = 0;
};

// ---- Planning ---------------------------------------------------------------------

void TFolderRun::PlanParameter(const std::string& param) {
  const std::string base = WithDirectoryEnd(settings_.RemoteDir);
  const TLocalPathInfo info = QueryLocalPath(param);
  if (info.kind == TLocalKind::kFile) {
    const std::string name = LocalFileNamePart(param);
    plan_.push_back({false, param, base + name, info.size});
    return;
  }
  if (info.kind == TLocalKind::kOther) {
    // A pipe cannot be read again after a lost connection, nor renamed into
    // place whole: folder mode sends regular files only.
    Fail(TExitStatus::kLocalFile, "not stored " + param + ": it is " + info.error +
                                      ", not a regular file (folder mode sends files only)");
    return;
  }
  if (info.kind != TLocalKind::kDirectory || !settings_.Recursive) {
    ReportMissingLocalPath(param);
    ++failed_;
    KeepFirstFailure(first_, TExitStatus::kLocalFile);
    return;
  }
  const std::string root = RemoteTreeRoot(base, param);
  // The named folder itself, unless its contents go straight into /dir.
  if (root != base) plan_.push_back({true, std::string(), WithoutTrailingSlash(root), 0});
  const std::vector<TTreeEntry> entries =
      WalkLocalTree(param, excludes_, [this](const TTreeNotice& notice) {
        if (notice.failure) {
          Fail(TExitStatus::kLocalFile, notice.relative + ": " + notice.message);
        } else {
          WriteErrorLine("warning: " + notice.relative + ": " + notice.message);
        }
      });
  for (const TTreeEntry& entry : entries) {
    plan_.push_back({entry.is_directory, entry.is_directory ? std::string() : entry.local_path,
                     root + entry.relative, entry.is_directory ? 0 : std::max<int64_t>(0, entry.size)});
  }
}

// ---- Session ----------------------------------------------------------------------

TExitStatus TFolderRun::Connect() {
  ftp_ = std::make_unique<TMyFtp>();
  watch_ = std::make_unique<TSessionWatch>(*ftp_, settings_, ShouldAskPassword(settings_));
  ConfigureClient(settings_, *ftp_);
  // Folder mode sends binary unless /ascii asks otherwise: a guess per file
  // would change bytes behind the user's back.
  ftp_->BinaryMode = LowerCase8(settings_.Mode) != "ascii";
  // Every reply is read in step here, so nothing late needs waiting for
  // before a command or a close: without the pauses a small file costs its
  // round trips and nothing more. Under TLS the control connection keeps its
  // pause: vsftpd reset about one session in eight here when the first
  // command followed the handshake at once, and a TLS data connection costs
  // far more than the pause anyway.
  ftp_->Sock().DiscardPauseMs = settings_.Tls.Wanted() ? 1 : 0;
  ftp_->DSock().DiscardPauseMs = 0;
  const TExitStatus login = SignInToHost(settings_, *ftp_, *watch_);
  if (login != TExitStatus::kStored) return login;
  return SetUpSession() ? TExitStatus::kStored : TExitStatus::kTransferFailed;
}

bool TFolderRun::SetUpSession() {
  // The login leaves the session in binary type; ASCII is asked for once.
  if (!ftp_->BinaryMode && ReplyClassOf(ftp_->SendCommand("TYPE A")) != 2) return false;
  utf8_checked_ = false;
  return true;
}

bool TFolderRun::Reconnect(const TSessionFacts& lost) {
  std::string why = "lost the connection to " + settings_.Server + " port " +
                    std::to_string(settings_.Port);
  if (lost.control_error != 0) {
    why += ": " + lost.control_error_text;
  } else if (lost.data_error != 0) {
    why = "the data connection failed: " + lost.data_error_text;
  } else if (lost.result_code != 0) {
    why += " (" + lost.result_line + ")";
  }
  while (retries_left_ > 0 && !Stopped()) {
    --retries_left_;
    ++reconnects_;
    const int32_t delay = ReconnectDelayMs(reconnects_);
    WriteErrorLine(why + "; reconnecting in " + std::to_string(delay / 1000) + " s (" +
                   std::to_string(reconnects_) + " of " + std::to_string(settings_.Retries) + ")");
    for (int32_t waited = 0; waited < delay && !Stopped(); waited += kStopCheckMs) {
      SleepMilliseconds(kStopCheckMs);
    }
    if (Stopped()) return false;
    ftp_->DSock().CloseAtOnce();
    ftp_->Sock().CloseAtOnce();
    watch_->BeginSession();
    const TExitStatus login = SignInToHost(settings_, *ftp_, *watch_);
    if (login == TExitStatus::kStored) {
      if (SetUpSession()) return true;
      continue;
    }
    // Only a connection that could not be made is worth another try.
    if (login != TExitStatus::kConnectFailed && login != TExitStatus::kTimeout &&
        login != TExitStatus::kNotResolved) {
      KeepFirstFailure(first_, login);
      return false;
    }
  }
  return false;
}

bool TFolderRun::EnsureSession() {
  if (!session_lost_) return true;
  const TSessionFacts lost = watch_->Facts();
  if (Reconnect(lost)) {
    session_lost_ = false;
    return true;
  }
  stop_ = true;
  if (!InterruptRequested()) {
    TSessionFacts facts = lost;
    facts.quiet = true;
    TFailure failure = ClassifyStoreFailure(facts, "the run");
    if (failure.status == TExitStatus::kRefused) failure.status = TExitStatus::kTransferFailed;
    KeepFirstFailure(first_, failure.status);
    WriteErrorLine((failure.message.empty() ? std::string("the connection was lost")
                                            : failure.message) +
                   "; the run stops");
  }
  return false;
}

// ---- Folders ----------------------------------------------------------------------

bool TFolderRun::MakeFolder(const std::string& remote, bool count_failure) {
  if (known_folders_.count(remote) != 0) return true;
  if (!PrepareName(remote)) return false;
  if (ReplyClassOf(ftp_->SendCommand("MKD " + remote)) == 2) {
    ++folders_made_;
    known_folders_.insert(remote);
    return true;
  }
  const TSessionFacts facts = watch_->Facts();
  if (facts.control_error != 0 || facts.result_code == 0) return false;
  // Refused: it may be there already (made by an earlier run or another
  // client meanwhile), which is what was wanted.
  const std::string reply = facts.result_line;
  if (RemoteFolderExists(*ftp_, remote)) {
    known_folders_.insert(remote);
    return true;
  }
  if (count_failure) {
    failed_folders_.insert(remote);
    Fail(TExitStatus::kRefused, "cannot make folder " + remote + ": " + reply);
  }
  return false;
}

bool TFolderRun::MakeFolderChain(const std::string& path) {
  const std::string remote = WithoutTrailingSlash(path);
  if (remote.empty() || remote == "/" || known_folders_.count(remote) != 0) return true;
  if (MakeFolder(remote, false)) return true;
  if (session_lost_ || watch_->Facts().control_error != 0) return false;
  const std::string parent = RemoteParent(remote);
  if (parent.empty() || parent == remote || !MakeFolderChain(parent)) {
    Fail(TExitStatus::kRefused, "cannot make folder " + remote + ": " + ftp_->ResultString());
    return false;
  }
  return MakeFolder(remote, true);
}

// ---- Files ------------------------------------------------------------------------

// Switches the server to UTF-8 names before the first name that needs it,
// where the server offers it (some store such names as "?" otherwise).
bool TFolderRun::PrepareName(const std::string& remote) {
  if (utf8_checked_ || IsAscii(remote)) return true;
  utf8_checked_ = true;
  ftp_->ReadFeatures();
  for (const std::string& feature : ftp_->Features()) {
    if (SameText8(feature, "UTF8")) {
      ftp_->SendCommand("OPTS UTF8 ON");  // a refusal leaves the names as they are
      break;
    }
  }
  return ftp_->Sock().LastErrorCode() == 0;
}

bool TFolderRun::SendFile(const TPlanItem& item, const std::string& target, int64_t offset) {
  TFileStream file(item.local, TFileStream::Mode::kRead);
  watch_->BeginFile(item.size - offset, meter_.get());
  if (!ftp_->PrepareDataConnection()) return false;
  std::string command = "STOR " + target;
  if (offset > 0) {
    // A server without REST takes the rest as an append.
    if (ReplyClassOf(ftp_->SendCommand("REST " + std::to_string(offset))) != 3) {
      if (ftp_->ResultCode() == 0) return false;
      command = "APPE " + target;
    }
  }
  file.SetPosition(offset);
  if (ReplyClassOf(ftp_->SendCommand(command)) != 1) return false;
  return ftp_->UploadOverData(file);
}

bool TFolderRun::Rename(const std::string& from, const std::string& to) {
  if (ftp_->RenameRemoteFile(from, to)) return true;
  // Only a refused RNTO may mean the old file is in the way; a refused RNFR
  // (the stored file is gone) or a lost connection must leave it alone.
  const int reply_class = ReplyClassOf(ftp_->ResultCode());
  if (!watch_->last_command().starts_with("RNTO ") || (reply_class != 4 && reply_class != 5)) {
    return false;
  }
  return ftp_->DeleteRemoteFile(to) && ftp_->RenameRemoteFile(from, to);
}

void TFolderRun::StoreFile(const TPlanItem& item) {
  const std::string parent = RemoteParent(item.remote);
  if (failed_folders_.count(parent) != 0) {
    Fail(TExitStatus::kRefused, "not stored " + item.remote + ": its folder could not be made");
    return;
  }
  if (HoldsLineBreak(item.remote)) {
    Fail(TExitStatus::kLocalFile,
         "not stored " + item.local + ": its name holds a line break, which FTP cannot carry");
    return;
  }
  const std::string target = settings_.Atomic ? AtomicTemporaryName(item.remote) : item.remote;
  int64_t offset = 0;
  if (settings_.Resume) {
    const int64_t remote_size = ftp_->RemoteFileSize(item.remote);
    if (remote_size == item.size) {
      if (!settings_.Quiet) WriteErrorLine("already complete: " + item.remote);
      ++stored_;
      return;
    }
    if (settings_.Atomic) {
      const int64_t part = ftp_->RemoteFileSize(target);
      if (part > 0 && part < item.size) offset = part;
    } else if (remote_size > 0 && remote_size < item.size) {
      offset = remote_size;
    }
  }
  for (;;) {
    if (!PrepareName(target)) {
      session_lost_ = true;
    } else {
      bool sent = false;
      try {
        sent = SendFile(item, target, offset);
      } catch (const EFileOpenError& e) {
        watch_->EndFile();
        Fail(TExitStatus::kLocalFile, "cannot read " + item.local + ": " + OpenFailureReason(e.what()));
        return;
      }
      watch_->EndFile();
      if (Stopped()) return;
      if (sent) break;
      const TSessionFacts facts = watch_->Facts();
      if (!ConnectionLost(facts)) {
        ExplainStoreFailure(item);
        return;
      }
      session_lost_ = true;
    }
    if (!Reconnect(watch_->Facts())) {
      ExplainStoreFailure(item);
      stop_ = true;
      return;
    }
    session_lost_ = false;
    // Go on from what the server has; a size it cannot tell means from the start.
    const int64_t have = ftp_->RemoteFileSize(target);
    offset = have > 0 && have <= item.size ? have : 0;
    if (offset == item.size && item.size > 0) break;
  }
  if (settings_.Atomic && !Rename(target, item.remote)) {
    if (ConnectionLost(watch_->Facts())) session_lost_ = true;
    Fail(TExitStatus::kRefused, "stored " + target + " but could not rename it to " +
                                    item.remote + ": " + ftp_->ResultString());
    return;
  }
  ++stored_;
  bytes_stored_ += item.size;
  if (!settings_.Quiet) {
    WriteErrorLine("stored " + item.remote + " (" + FormatByteSize(item.size) + ")");
  }
}

// ---- Outcomes ---------------------------------------------------------------------

void TFolderRun::Fail(TExitStatus status, const std::string& message) {
  ++failed_;
  KeepFirstFailure(first_, status);
  WriteErrorLine(message);
}

void TFolderRun::ExplainStoreFailure(const TPlanItem& item) {
  TSessionFacts facts = watch_->Facts();
  facts.quiet = true;  // every failure names the server's reply
  const TFailure failure = ClassifyStoreFailure(facts, item.remote);
  if (ConnectionLost(facts)) session_lost_ = true;
  Fail(failure.status, failure.message.empty() ? "not stored " + item.remote : failure.message);
  // A refusal for a folder that is not there says so once per folder.
  const int code = facts.result_code;
  const std::string parent = RemoteParent(item.remote);
  if ((code == 550 || code == 553) && !session_lost_ &&
      probed_parents_.insert(parent).second && !RemoteFolderExists(*ftp_, parent)) {
    WriteErrorLine("remote directory " + parent + " does not exist (use /mkdir)");
  }
}

TExitStatus TFolderRun::Run() {
  const uint64_t started = MonotonicMilliseconds();
  std::vector<std::string> params = settings_.Files;
  if (params.empty()) params.push_back(settings_.LocalPath);
  for (const std::string& param : params) PlanParameter(param);
  for (const TPlanItem& item : plan_) {
    if (item.folder) continue;
    ++total_files_;
    total_bytes_ += item.size;
  }
  size_t done = 0;  // files tried
  const auto summary = [&] {
    const auto count = [](size_t n, const char* one, const char* many) {
      return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    const size_t not_sent = total_files_ > done ? total_files_ - done : 0;
    const std::string line =
        count(stored_, "file", "files") + " stored, " + std::to_string(failed_) + " failed, " +
        (not_sent > 0 ? std::to_string(not_sent) + " not sent, " : std::string()) +
        count(folders_made_, "folder", "folders") + " made, " + FormatByteSize(bytes_stored_) +
        " in " + FormatDuration(static_cast<int64_t>((MonotonicMilliseconds() - started) / 1000));
    WriteErrorLine(line);
  };
  if (plan_.empty()) {
    summary();
    return first_;
  }

  const TExitStatus login = Connect();
  if (login != TExitStatus::kStored) {
    KeepFirstFailure(first_, login);
    summary();
    return first_;
  }
  meter_ = std::make_unique<TTransferMeter>(total_bytes_, [this, &done] {
    return std::to_string(done) + "/" + std::to_string(total_files_) + " files  ";
  });
  {
    TInterruptArming armed(*ftp_);
    const std::string base = WithoutTrailingSlash(WithDirectoryEnd(settings_.RemoteDir));
    while (settings_.MakeDirs && !Stopped() && !MakeFolderChain(base)) {
      if (!ConnectionLost(watch_->Facts())) {
        stop_ = true;  // refused: nothing can be stored below it
        break;
      }
      session_lost_ = true;
      if (!EnsureSession()) break;
    }
    for (const TPlanItem& item : plan_) {
      if (Stopped() || !EnsureSession()) break;
      if (item.folder) {
        if (failed_folders_.count(RemoteParent(item.remote)) != 0) {
          failed_folders_.insert(item.remote);
          continue;
        }
        while (!MakeFolder(item.remote, true) && ConnectionLost(watch_->Facts())) {
          session_lost_ = true;
          if (!EnsureSession()) break;
        }
        continue;
      }
      StoreFile(item);
      ++done;
    }
  }
  meter_.reset();
  if (InterruptRequested()) {
    WriteErrorLine("interrupted");
    AbortAfterInterrupt(*ftp_);
    first_ = TExitStatus::kInterrupted;
  } else {
    // A server that lost or stalled the session gets a short wait for QUIT.
    if (session_lost_ || ftp_->Sock().LastErrorCode() != 0) {
      ftp_->Timeout = std::min(ftp_->Timeout, kCleanupTimeoutMs);
    }
    ftp_->SignOff();
  }
  summary();
  return first_;
}

}  // namespace

TExitStatus RunFolderUpload(const TUploadSettings& settings) {
  TFolderRun run(settings);
  return run.Run();
}

std::string AtomicTemporaryName(const std::string& remote) {
  const size_t cut = remote.find_last_of('/');
  const std::string folder = cut == std::string::npos ? std::string() : remote.substr(0, cut + 1);
  const std::string name = cut == std::string::npos ? remote : remote.substr(cut + 1);
  return folder + "." + name + ".ftpupload-part";
}

std::string RemoteTreeRoot(const std::string& base, const std::string& local_folder) {
  if (local_folder.empty()) return base;
  const char last = local_folder.back();
  if (last == '/' || last == '\\') return base;
  const std::string name = LocalFileNamePart(local_folder);
  if (name.empty() || name == "." || name == "..") return base;
  return base + name + "/";
}

int32_t ReconnectDelayMs(int n) {
  if (n < 1) n = 1;
  if (n > 6) return kMaxReconnectDelayMs;
  return std::min(kMaxReconnectDelayMs, 1000 << (n - 1));
}

}  // namespace zud
