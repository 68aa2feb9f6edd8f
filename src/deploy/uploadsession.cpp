#include "deploy/uploadsession.h"

#include <algorithm>
#include <string>
#include <utility>

#include "deploy/paths.h"
#include "util/compat.h"
#include "util/stream.h"

namespace zud {
namespace {

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

// ---- Login and reconnects -------------------------------------------------------------

TUploadSession::TUploadSession(TRunTally& tally, int number, std::string password)
    : options_(tally.options()),
      tally_(tally),
      number_(number),
      password_(std::move(password)),
      retries_left_(tally.options().Retries) {}

TUploadSession::~TUploadSession() {
  watch_.reset();
  ftp_.reset();
}

void TUploadSession::Failed(TDeployFailure kind, const std::string& path, std::string message,
                            bool folder) {
  tally_.File({.outcome = TFileOutcome::kFailed,
               .path = path,
               .folder = folder,
               .failure = kind,
               .reply = ftp_->ResultString(),
               .message = std::move(message),
               .session = number_});
}

TDeployFailure TUploadSession::Connect(bool ask_password, bool report) {
  ftp_ = std::make_unique<TFTPSend>();
  watch_ = std::make_unique<TSessionWatch>(*ftp_, options_);
  watch_->OnDialogue = [this](bool reply, const std::string& line) {
    tally_.Dialogue({number_, reply, line});
  };
  watch_->OnFileData = [this](int64_t bytes) { tally_.Progress(number_, bytes); };
  if (ask_password) watch_->OnPassword = options_.OnPassword;
  tally_.SessionStart(number_);
  ConfigureClient(options_, *ftp_);
  if (!options_.User.empty()) ftp_->Password = password_;
  // The type once at login and nothing more: REST is sent where needed.
  ftp_->LeanSignIn = true;
  // Every reply is read in step here, so nothing late needs waiting for
  // before a command or a close: without the pauses a small file costs its
  // round trips and nothing more. Under TLS the control connection keeps its
  // pause: vsftpd reset about one session in eight here when the first
  // command followed the handshake at once, and a TLS data connection costs
  // far more than the pause anyway.
  ftp_->Sock().DiscardPauseMs = options_.TLS.Wanted() ? 1 : 0;
  ftp_->DSock().DiscardPauseMs = 0;
  // Only one session's stop flags can be armed for Ctrl-C; every session
  // looks for a stop in its waits as well.
  const auto heed_stop = [this](TBlockSocket& sender) {
    if (tally_.Stopped()) sender.StopFlag = true;
  };
  ftp_->Sock().OnHeartbeat = heed_stop;
  ftp_->DSock().OnHeartbeat = heed_stop;
  const TDeployFailure login = SignIn(report);
  if (login != TDeployFailure::kNone) return login;
  up_ = true;
  return TDeployFailure::kNone;
}

TDeployFailure TUploadSession::SignIn(bool report) {
  const TFailure failure = SignInToHost(options_.Host, *ftp_, *watch_);
  if (failure.kind == TDeployFailure::kNone) {
    // A new connection needs the UTF-8 switch again.
    utf8_checked_ = false;
  } else if (report) {
    tally_.Notice({.kind = TNoticeKind::kError,
                   .text = failure.message,
                   .failure = failure.kind,
                   .session = number_});
  }
  return failure.kind;
}

bool TUploadSession::Reconnect(const TSessionFacts& lost) {
  std::string why =
      "lost the connection to " + options_.Host + " port " + std::to_string(options_.Port);
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
    tally_.Notice({.kind = TNoticeKind::kReconnect,
                   .text = why + "; reconnecting in " + std::to_string(delay / 1000) + " s (" +
                           std::to_string(reconnects_) + " of " +
                           std::to_string(options_.Retries) + ")",
                   .session = number_});
    for (int32_t waited = 0; waited < delay && !Stopped(); waited += kStopCheckMs) {
      SleepMilliseconds(kStopCheckMs);
    }
    if (Stopped()) return false;
    ftp_->DSock().CloseAtOnce();
    ftp_->Sock().CloseAtOnce();
    watch_->BeginSession();
    const TDeployFailure login = SignIn(true);
    if (login == TDeployFailure::kNone) return true;
    // Only a connection that could not be made is worth another try.
    if (login != TDeployFailure::kConnectFailed && login != TDeployFailure::kTimeout &&
        login != TDeployFailure::kNotResolved) {
      if (!ends_alone_) tally_.KeepFailure(login);
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
    if (!tally_.Interrupted()) {
      tally_.Notice({.kind = TNoticeKind::kSessionLost,
                     .text = "session " + std::to_string(number_) +
                             " ended: the connection was lost",
                     .session = number_});
    }
    return false;
  }
  tally_.Stop();
  if (!tally_.Interrupted()) {
    TSessionFacts facts = lost;
    facts.quiet = true;
    TFailure failure = ClassifyStoreFailure(facts, "the run");
    if (failure.kind == TDeployFailure::kRefused) failure.kind = TDeployFailure::kTransferFailed;
    tally_.KeepFailure(failure.kind);
    tally_.Notice({.kind = TNoticeKind::kError,
                   .text = (failure.message.empty() ? std::string("the connection was lost")
                                                    : failure.message) +
                           "; the run stops",
                   .failure = failure.kind,
                   .session = number_});
  }
  return false;
}

void TUploadSession::End() {
  if (!ftp_ || !up_) return;
  up_ = false;
  if (tally_.Interrupted()) {
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
    tally_.AddKnownFolder(remote);
    tally_.File({.outcome = TFileOutcome::kFolderMade,
                 .path = remote,
                 .folder = true,
                 .session = number_});
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
    tally_.File({.outcome = TFileOutcome::kFailed,
                 .path = remote,
                 .folder = true,
                 .failure = TDeployFailure::kRefused,
                 .reply = reply,
                 .message = "cannot make folder " + remote + ": " + reply,
                 .session = number_});
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
    Failed(TDeployFailure::kRefused, remote,
           "cannot make folder " + remote + ": " + ftp_->ResultString(), true);
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
  watch_->BeginFile(item.size - offset);
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
    tally_.File({.outcome = TFileOutcome::kFailed,
                 .path = item.remote,
                 .failure = TDeployFailure::kRefused,
                 .message = "not stored " + item.remote + ": its folder could not be made",
                 .session = number_});
    return false;
  }
  if (HoldsLineBreak(item.remote)) {
    tally_.File({.outcome = TFileOutcome::kFailed,
                 .path = item.remote,
                 .failure = TDeployFailure::kLocalFile,
                 .message = "not stored " + item.local +
                            ": its name holds a line break, which FTP cannot carry",
                 .session = number_});
    return false;
  }
  const std::string target = options_.Atomic ? AtomicTemporaryName(item.remote) : item.remote;
  int64_t offset = 0;
  if (options_.Resume) {
    const int64_t remote_size = ftp_->RemoteFileSize(item.remote);
    if (remote_size == item.size) {
      tally_.File({.outcome = TFileOutcome::kAlreadyComplete,
                   .path = item.remote,
                   .session = number_});
      return true;
    }
    if (options_.Atomic) {
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
        tally_.File({.outcome = TFileOutcome::kFailed,
                     .path = item.remote,
                     .failure = TDeployFailure::kLocalFile,
                     .message = "cannot read " + item.local + ": " + OpenFailureReason(e.what()),
                     .session = number_});
        return false;
      }
      watch_->EndFile();
      if (Stopped()) {
        tally_.Record({.outcome = TFileOutcome::kNotSent, .path = item.remote, .session = number_});
        return false;
      }
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
  if (options_.Atomic && !Rename(target, item.remote)) {
    NoteLoss();
    Failed(TDeployFailure::kRefused, item.remote,
           "stored " + target + " but could not rename it to " + item.remote + ": " +
               ftp_->ResultString());
    return false;
  }
  tally_.File({.outcome = TFileOutcome::kStored,
               .path = item.remote,
               .bytes = item.size,
               .session = number_});
  return true;
}

void TUploadSession::ExplainStoreFailure(const TStoreItem& item) {
  TSessionFacts facts = watch_->Facts();
  facts.quiet = true;  // every failure names the server's reply
  const TFailure failure = ClassifyStoreFailure(facts, item.remote);
  if (ConnectionLost(facts)) lost_ = true;
  Failed(failure.kind, item.remote,
         failure.message.empty() ? "not stored " + item.remote : failure.message);
  // A refusal for a folder that is not there says so once per folder.
  const int code = facts.result_code;
  const std::string parent = RemoteParent(item.remote);
  if ((code == 550 || code == 553) && !lost_ && tally_.FirstProbe(parent) &&
      !RemoteFolderExists(*ftp_, parent)) {
    tally_.Notice({.kind = TNoticeKind::kHint,
                   .text = "remote directory " + parent + " does not exist",
                   .hint = TDeployHint::kRemoteFolderMissing,
                   .path = parent,
                   .session = number_});
  }
}

}  // namespace zud
