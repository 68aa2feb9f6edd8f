#include "frontend/uploadsession.h"

#include <algorithm>
#include <string>

#include "frontend/console.h"
#include "frontend/folderupload.h"
#include "frontend/uploadjob.h"
#include "sockets/socketerrors.h"
#include "util/compat.h"
#include "util/process.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {
namespace {

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

TLocalParameter ReadLocalParameter(const std::string& param, const TUploadSettings& settings,
                                   const TExcludeList& excludes, TRunTally& tally) {
  TLocalParameter result;
  const std::string base = WithDirectoryEnd(settings.RemoteDir);
  const TLocalPathInfo info = QueryLocalPath(param);
  if (info.kind == TLocalKind::kFile) {
    TTreeEntry entry;
    entry.relative = LocalFileNamePart(param);
    entry.local_path = param;
    entry.size = info.size;
    entry.modified = info.modified;
    result.entries.push_back(std::move(entry));
    result.usable = true;
    result.is_file = true;
    result.root = base;
    return result;
  }
  if (info.kind == TLocalKind::kOther) {
    // A pipe cannot be read again after a lost connection, nor renamed into
    // place whole: tree uploads send regular files only.
    tally.Fail(TExitStatus::kLocalFile, "not stored " + param + ": it is " + info.error +
                                            ", not a regular file (folder mode sends files only)");
    return result;
  }
  if (info.kind != TLocalKind::kDirectory || !settings.Recursive) {
    ReportMissingLocalPath(param);
    tally.Fail(TExitStatus::kLocalFile, std::string());  // explained just above
    return result;
  }
  result.usable = true;
  result.root = RemoteTreeRoot(base, param);
  result.entries = WalkLocalTree(param, excludes, [&tally](const TTreeNotice& notice) {
    if (notice.failure) {
      tally.Fail(TExitStatus::kLocalFile, notice.relative + ": " + notice.message);
    } else {
      WriteErrorLine("warning: " + notice.relative + ": " + notice.message);
    }
  });
  return result;
}

// ---- TRunTally ----------------------------------------------------------------------

void TRunTally::Fail(TExitStatus status, const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++failed_;
    KeepFirstFailure(first_, status);
  }
  if (!message.empty()) WriteErrorLine(message);
}

void TRunTally::KeepStatus(TExitStatus status) {
  std::lock_guard<std::mutex> lock(mutex_);
  KeepFirstFailure(first_, status);
}

void TRunTally::CountStored(int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++stored_;
  bytes_stored_ += bytes;
}

void TRunTally::CountFolderMade() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++folders_made_;
}

bool TRunTally::FolderKnown(const std::string& remote) {
  std::lock_guard<std::mutex> lock(mutex_);
  return known_folders_.count(remote) != 0;
}

void TRunTally::AddKnownFolder(const std::string& remote) {
  std::lock_guard<std::mutex> lock(mutex_);
  known_folders_.insert(remote);
}

bool TRunTally::FolderFailed(const std::string& remote) {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_folders_.count(remote) != 0;
}

void TRunTally::AddFailedFolder(const std::string& remote) {
  std::lock_guard<std::mutex> lock(mutex_);
  failed_folders_.insert(remote);
}

bool TRunTally::FirstProbe(const std::string& remote) {
  std::lock_guard<std::mutex> lock(mutex_);
  return probed_.insert(remote).second;
}

bool TRunTally::Stopped() const { return stop_ || InterruptRequested(); }

TExitStatus TRunTally::first() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return first_;
}

size_t TRunTally::stored() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stored_;
}

size_t TRunTally::failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

size_t TRunTally::folders_made() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return folders_made_;
}

int64_t TRunTally::bytes_stored() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_stored_;
}

// ---- TUploadSession: login and reconnects ---------------------------------------------

TUploadSession::TUploadSession(const TUploadSettings& settings, TRunTally& tally, int number)
    : settings_(settings), tally_(tally), number_(number), retries_left_(settings.Retries) {}

TUploadSession::~TUploadSession() {
  watch_.reset();
  ftp_.reset();
}

bool TUploadSession::Stopped() const { return tally_.Stopped(); }

TExitStatus TUploadSession::Connect(bool ask_password, bool report) {
  ftp_ = std::make_unique<TMyFtp>();
  watch_ = std::make_unique<TSessionWatch>(*ftp_, settings_, ask_password);
  if (number_ > 0) watch_->SetEchoPrefix("[" + std::to_string(number_) + "] ");
  ConfigureClient(settings_, *ftp_);
  // Tree uploads send binary unless /ascii asks otherwise: a guess per file
  // would change bytes behind the user's back.
  ftp_->BinaryMode = LowerCase8(settings_.Mode) != "ascii";
  // The type once at login and nothing more: REST is sent where needed.
  ftp_->LeanSignIn = true;
  // Every reply is read in step here, so nothing late needs waiting for
  // before a command or a close: without the pauses a small file costs its
  // round trips and nothing more. Under TLS the control connection keeps its
  // pause: vsftpd reset about one session in eight here when the first
  // command followed the handshake at once, and a TLS data connection costs
  // far more than the pause anyway.
  ftp_->Sock().DiscardPauseMs = settings_.Tls.Wanted() ? 1 : 0;
  ftp_->DSock().DiscardPauseMs = 0;
  // Only one session's stop flags can be armed for Ctrl-C; every session
  // looks for the interrupt in its waits as well.
  const auto heed_stop = [this](TBlockSocket& sender) {
    if (tally_.Stopped()) sender.StopFlag = true;
  };
  ftp_->Sock().OnHeartbeat = heed_stop;
  ftp_->DSock().OnHeartbeat = heed_stop;
  const TExitStatus login = report ? SignInToHost(settings_, *ftp_, *watch_)
                                   : SignInToHost(settings_, *ftp_, *watch_, false);
  if (login != TExitStatus::kStored) return login;
  up_ = SetUp();
  return up_ ? TExitStatus::kStored : TExitStatus::kTransferFailed;
}

bool TUploadSession::SetUp() {
  // The login set the type (ASCII with /ascii); a new connection needs the
  // UTF-8 switch again.
  utf8_checked_ = false;
  return true;
}

bool TUploadSession::Reconnect(const TSessionFacts& lost) {
  std::string why = "lost the connection to " + settings_.Server + " port " +
                    std::to_string(settings_.Port);
  if (lost.control_error != 0) {
    why += ": " + lost.control_error_text;
  } else if (lost.data_error != 0) {
    why = "the data connection failed: " + lost.data_error_text;
  } else if (lost.result_code != 0) {
    why += " (" + lost.result_line + ")";
  }
  if (number_ > 0) why = "session " + std::to_string(number_) + ": " + why;
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
      if (SetUp()) return true;
      continue;
    }
    // Only a connection that could not be made is worth another try.
    if (login != TExitStatus::kConnectFailed && login != TExitStatus::kTimeout &&
        login != TExitStatus::kNotResolved) {
      if (!ends_alone_) tally_.KeepStatus(login);
      return false;
    }
  }
  return false;
}

bool TUploadSession::NoteLoss() {
  if (ConnectionLost(watch_->Facts())) lost_ = true;
  return lost_;
}

bool TUploadSession::EnsureSession() {
  if (!lost_) return true;
  const TSessionFacts lost = watch_->Facts();
  if (Reconnect(lost)) {
    lost_ = false;
    return true;
  }
  up_ = false;
  if (ends_alone_) {
    if (!InterruptRequested()) {
      WriteErrorLine("session " + std::to_string(number_) + " ended: the connection was lost");
    }
    return false;
  }
  tally_.Stop();
  if (!InterruptRequested()) {
    TSessionFacts facts = lost;
    facts.quiet = true;
    TFailure failure = ClassifyStoreFailure(facts, "the run");
    if (failure.kind == TDeployFailure::kRefused) failure.kind = TDeployFailure::kTransferFailed;
    tally_.KeepStatus(ExitStatusOf(failure.kind));
    WriteErrorLine((failure.message.empty() ? std::string("the connection was lost")
                                            : failure.message) +
                   "; the run stops");
  }
  return false;
}

void TUploadSession::End() {
  if (!ftp_ || !up_) return;
  up_ = false;
  if (InterruptRequested()) {
    AbortAfterInterrupt(*ftp_);
    return;
  }
  // A server that lost or stalled the session gets a short wait for QUIT.
  if (lost_ || ftp_->Sock().LastErrorCode() != 0) {
    ftp_->Timeout = std::min(ftp_->Timeout, kCleanupTimeoutMs);
  }
  ftp_->SignOff();
}

// ---- Folders ----------------------------------------------------------------------

bool TUploadSession::MakeFolder(const std::string& remote, bool count_failure) {
  if (tally_.FolderKnown(remote)) return true;
  if (!PrepareName(remote)) return false;
  if (ReplyClassOf(ftp_->SendCommand("MKD " + remote)) == 2) {
    tally_.CountFolderMade();
    tally_.AddKnownFolder(remote);
    return true;
  }
  const TSessionFacts facts = watch_->Facts();
  if (facts.control_error != 0 || facts.result_code == 0) return false;
  // Refused: it may be there already (made by an earlier run or another
  // client meanwhile), which is what was wanted.
  const std::string reply = facts.result_line;
  if (RemoteFolderExists(*ftp_, remote)) {
    tally_.AddKnownFolder(remote);
    return true;
  }
  if (count_failure) {
    tally_.AddFailedFolder(remote);
    tally_.Fail(TExitStatus::kRefused, "cannot make folder " + remote + ": " + reply);
  }
  return false;
}

bool TUploadSession::MakeFolderChain(const std::string& path) {
  const std::string remote = WithoutTrailingSlash(path);
  if (remote.empty() || remote == "/" || tally_.FolderKnown(remote)) return true;
  if (MakeFolder(remote, false)) return true;
  if (lost_ || watch_->Facts().control_error != 0) return false;
  const std::string parent = RemoteParent(remote);
  if (parent.empty() || parent == remote || !MakeFolderChain(parent)) {
    tally_.Fail(TExitStatus::kRefused, "cannot make folder " + remote + ": " + ftp_->ResultString());
    return false;
  }
  return MakeFolder(remote, true);
}

// ---- Files ------------------------------------------------------------------------

bool TUploadSession::PrepareName(const std::string& remote) {
  if (utf8_checked_ || IsAscii(remote)) return true;
  utf8_checked_ = true;
  // Some servers store such names as "?" unless asked for UTF-8; a refusal
  // leaves the names as they are.
  if (ftp_->HasFeature("UTF8")) ftp_->SendCommand("OPTS UTF8 ON");
  return ftp_->Sock().LastErrorCode() == 0;
}

bool TUploadSession::SendFile(const TStoreItem& item, const std::string& target, int64_t offset) {
  TFileStream file(item.local, TFileStream::Mode::kRead);
  watch_->BeginFile(item.size - offset, meter_);
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

bool TUploadSession::Rename(const std::string& from, const std::string& to) {
  if (ftp_->RenameRemoteFile(from, to)) return true;
  // Only a refused RNTO may mean the old file is in the way; a refused RNFR
  // (the stored file is gone) or a lost connection must leave it alone.
  const int reply_class = ReplyClassOf(ftp_->ResultCode());
  if (!watch_->last_command().starts_with("RNTO ") || (reply_class != 4 && reply_class != 5)) {
    return false;
  }
  return ftp_->DeleteRemoteFile(to) && ftp_->RenameRemoteFile(from, to);
}

bool TUploadSession::StoreFile(const TStoreItem& item) {
  const std::string parent = RemoteParent(item.remote);
  if (tally_.FolderFailed(parent)) {
    tally_.Fail(TExitStatus::kRefused, "not stored " + item.remote + ": its folder could not be made");
    return false;
  }
  if (HoldsLineBreak(item.remote)) {
    tally_.Fail(TExitStatus::kLocalFile,
                "not stored " + item.local + ": its name holds a line break, which FTP cannot carry");
    return false;
  }
  const std::string target = settings_.Atomic ? AtomicTemporaryName(item.remote) : item.remote;
  int64_t offset = 0;
  if (settings_.Resume) {
    const int64_t remote_size = ftp_->RemoteFileSize(item.remote);
    if (remote_size == item.size) {
      if (!settings_.Quiet) WriteErrorLine("already complete: " + item.remote);
      tally_.CountStored(0);
      return true;
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
      lost_ = true;
    } else {
      bool sent = false;
      try {
        sent = SendFile(item, target, offset);
      } catch (const EFileOpenError& e) {
        watch_->EndFile();
        tally_.Fail(TExitStatus::kLocalFile,
                    "cannot read " + item.local + ": " + OpenFailureReason(e.what()));
        return false;
      }
      watch_->EndFile();
      if (Stopped()) return false;
      if (sent) break;
      if (!ConnectionLost(watch_->Facts())) {
        ExplainStoreFailure(item);
        return false;
      }
      lost_ = true;
    }
    if (!Reconnect(watch_->Facts())) {
      ExplainStoreFailure(item);
      if (!ends_alone_) tally_.Stop();
      return false;
    }
    lost_ = false;
    // Go on from what the server has; a size it cannot tell means from the start.
    const int64_t have = ftp_->RemoteFileSize(target);
    offset = have > 0 && have <= item.size ? have : 0;
    if (offset == item.size && item.size > 0) break;
  }
  if (settings_.Atomic && !Rename(target, item.remote)) {
    NoteLoss();
    tally_.Fail(TExitStatus::kRefused, "stored " + target + " but could not rename it to " +
                                           item.remote + ": " + ftp_->ResultString());
    return false;
  }
  tally_.CountStored(item.size);
  if (!settings_.Quiet) {
    WriteErrorLine("stored " + item.remote + " (" + FormatByteSize(item.size) + ")");
  }
  return true;
}

void TUploadSession::ExplainStoreFailure(const TStoreItem& item) {
  TSessionFacts facts = watch_->Facts();
  facts.quiet = true;  // every failure names the server's reply
  const TFailure failure = ClassifyStoreFailure(facts, item.remote);
  if (ConnectionLost(facts)) lost_ = true;
  tally_.Fail(ExitStatusOf(failure.kind), failure.message.empty() ? "not stored " + item.remote : failure.message);
  // A refusal for a folder that is not there says so once per folder.
  const int code = facts.result_code;
  const std::string parent = RemoteParent(item.remote);
  if ((code == 550 || code == 553) && !lost_ && tally_.FirstProbe(parent) &&
      !RemoteFolderExists(*ftp_, parent)) {
    WriteErrorLine("remote directory " + parent + " does not exist (use /mkdir)");
  }
}

}  // namespace zud
