#include "deploy/uploadsession.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <utility>

#include "deploy/figures.h"
#include "deploy/paths.h"
#include "util/stream.h"

namespace zud {
namespace {

// Hands what is written to a function, up to a limit: past it the write
// fails and the transfer is asked to stop.
class TCappedSink : public TStream {
 public:
  TCappedSink(size_t limit, std::atomic<bool>& stop,
              const std::function<void(std::string_view)>& on_data)
      : limit_(limit), stop_(stop), on_data_(on_data) {}
  int64_t Write(const void* buffer, int64_t count) override {
    if (static_cast<size_t>(size_ + count) > limit_) {
      failed_ = true;
      stop_ = true;
      return 0;
    }
    on_data_(std::string_view(static_cast<const char*>(buffer), static_cast<size_t>(count)));
    size_ += count;
    return count;
  }
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Size() const override { return size_; }
  void SetSize(int64_t) override {}
  int64_t Position() const override { return size_; }
  void SetPosition(int64_t) override {}
  bool Seekable() const override { return false; }
  bool Failed() const override { return failed_; }

 private:
  size_t limit_;
  std::atomic<bool>& stop_;
  const std::function<void(std::string_view)>& on_data_;
  int64_t size_ = 0;
  bool failed_ = false;
};

}  // namespace

void TUploadSession::Failed(TDeployFailure kind, const std::string& path, std::string message,
                            bool folder, TDeployHint hint) {
  tally_.File({.outcome = TFileOutcome::kFailed,
               .path = path,
               .folder = folder,
               .failure = kind,
               .reply = ftp_->ResultString(),
               .message = std::move(message),
               .hint = hint,
               .session = number_});
}

// ---- Folders ----------------------------------------------------------------------

bool TUploadSession::MakeFolder(const std::string& remote, bool count_failure) {
  if (tally_.FolderKnown(remote)) return true;
  if (!PrepareName(remote)) return false;
  if (ReplyClassOf(ftp_->SendCommand("MKD " + remote)) == 2) {
    tally_.AddKnownFolder(remote);
    tally_.File(
        {.outcome = TFileOutcome::kFolderMade, .path = remote, .folder = true, .session = number_});
    SetMode(remote, options_.FolderMode);
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
    if (ParentMissing(remote)) return false;
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

TUploadSession::TSendOutcome TUploadSession::SendFile(const TStoreItem& item,
                                                      const std::string& target, int64_t offset) {
  TFileStream file(item.local, TFileStream::Mode::kRead);
  watch_->BeginFile(item.size - offset);
  if (!ftp_->PrepareDataConnection()) return TSendOutcome::kFailed;
  if (offset > 0) {
    const int code = ftp_->SendCommand("REST " + std::to_string(offset));
    if (ReplyClassOf(code) != 3) {
      if (code == 0 || ftp_->Sock().LastErrorCode() != 0) return TSendOutcome::kFailed;
      NoteWholeSend(item.remote);
      offset = 0;
      watch_->BeginFile(item.size);
    }
  }
  file.SetPosition(offset);
  const int code = ftp_->SendCommand("STOR " + target);
  if (ReplyClassOf(code) != 1) {
    const int reply_class = ReplyClassOf(code);
    if (offset > 0 && (reply_class == 4 || reply_class == 5) && ftp_->Sock().LastErrorCode() == 0) {
      NoteWholeSend(item.remote);
      return TSendOutcome::kContinueRefused;
    }
    return TSendOutcome::kFailed;
  }
  return ftp_->UploadOverData(file) ? TSendOutcome::kSent : TSendOutcome::kFailed;
}

void TUploadSession::NoteWholeSend(const std::string& remote) {
  tally_.Notice({.kind = TNoticeKind::kNote,
                 .text = "the server would not continue " + remote + " (" + ftp_->ResultString() +
                         "); sending it from the start",
                 .session = number_});
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
      tally_.File(
          {.outcome = TFileOutcome::kAlreadyComplete, .path = item.remote, .session = number_});
      return true;
    }
    if (options_.Atomic) {
      const int64_t part = ftp_->RemoteFileSize(target);
      if (part > 0 && part < item.size) offset = part;
    } else if (remote_size > 0 && remote_size < item.size) {
      offset = remote_size;
    }
  }
  bool whole_only = false;  // the server would not continue this file
  bool arrived = false;     // a store of it began: target holds what arrived
  for (;;) {
    if (!PrepareName(target)) {
      lost_ = true;
    } else {
      TSendOutcome outcome = TSendOutcome::kFailed;
      try {
        outcome = SendFile(item, target, offset);
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
      arrived = arrived || watch_->Facts().store_started;
      if (Stopped()) {
        tally_.Record({.outcome = TFileOutcome::kNotSent, .path = item.remote, .session = number_});
        // What arrived is no use, but to a later Resume.
        if (arrived && !options_.Resume) partial_ = target;
        return false;
      }
      if (outcome == TSendOutcome::kSent) break;
      if (outcome == TSendOutcome::kContinueRefused) {
        whole_only = true;
        offset = 0;
        continue;
      }
      if (!ConnectionLost(watch_->Facts())) {
        FailStore(item, target, arrived);
        return false;
      }
      lost_ = true;
    }
    if (!Reconnect(watch_->Facts())) {
      FailStore(item, target, arrived);
      if (!ends_alone_) tally_.Stop();
      return false;
    }
    lost_ = false;
    // What the server has is ours only once a store of this file began:
    // before, it may be an older copy.
    if (whole_only || !arrived) {
      offset = 0;
      continue;
    }
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
  tally_.StoreSucceeded(RemoteParent(item.remote));
  SetMode(item.remote, options_.FileMode);
  tally_.File({.outcome = TFileOutcome::kStored,
               .path = item.remote,
               .bytes = item.size,
               .session = number_,
               .reason = item.reason});
  return true;
}

void TUploadSession::SetMode(const std::string& remote, int32_t mode) {
  if (mode < 0 || tally_.ModesRefused()) return;
  char octal[8];
  snprintf(octal, sizeof octal, "%o", static_cast<unsigned>(mode & 07777));
  if (ReplyClassOf(ftp_->SendCommand("SITE CHMOD " + std::string(octal) + " " + remote)) == 2) {
    return;
  }
  // A lost connection shows at the next step; a refusal is the server's word.
  if (NoteLoss() || !tally_.RefuseModes()) return;
  tally_.Notice({.kind = TNoticeKind::kWarning,
                 .text = "the server refused SITE CHMOD (" + ftp_->ResultString() +
                         "); permissions are left as the server sets them",
                 .session = number_});
}

bool TUploadSession::ParentMissing(const std::string& remote) {
  if (options_.MakeDirs) return false;
  const std::string parent = WithoutTrailingSlash(RemoteParent(remote));
  if (parent.empty() || !tally_.FirstProbe(parent) || RemoteFolderExists(*ftp_, parent)) {
    return false;
  }
  tally_.FolderMissing(parent, number_);
  return true;
}

void TUploadSession::FailStore(const TStoreItem& item, const std::string& target, bool arrived) {
  TSessionFacts facts = watch_->Facts();
  facts.quiet = true;  // every failure names the server's reply
  const TFailure failure = ClassifyStoreFailure(facts, item.remote);
  if (ConnectionLost(facts)) lost_ = true;
  const int code = facts.result_code;
  // A store refused into a folder that is not there: that alone is told.
  if ((code == 550 || code == 553) && !lost_ && !arrived && ParentMissing(item.remote)) {
    tally_.TriedNotSent({.path = item.remote, .session = number_});
    return;
  }
  if (!lost_) {
    tally_.StoreRefused(RemoteParent(item.remote), code, facts.result_line, facts.store_started);
  }
  std::string message = failure.message.empty() ? "not stored " + item.remote : failure.message;
  // The message names the file already; an /atomic part file is named.
  const std::string copy = target == item.remote ? std::string("copy") : target;
  // A data connection the server broke off (426) leaves the control
  // connection standing: what arrived can still be deleted.
  const bool control_up = facts.control_error == 0 && facts.result_code != 0 &&
                          facts.result_code != 421 && ftp_->Sock().LastErrorCode() == 0;
  if (arrived && options_.Resume) {
    message += "; what arrived stays on the server, to continue from";
  } else if (arrived && lost_ && !control_up) {
    message += "; an incomplete " + copy + " may be left on the server";
  } else if (arrived) {
    // What arrived is no use, and a reader would take it for the file.
    if (ftp_->DeleteRemoteFile(target) || ftp_->RemoteFileSize(target) < 0) {
      message += "; the incomplete " + copy + " was deleted";
    } else {
      NoteLoss();
      message += "; an incomplete " + copy + " is left on the server (" +
                 (lost_ ? std::string("the connection was lost") : ftp_->ResultString()) + ")";
    }
  }
  tally_.File({.outcome = TFileOutcome::kFailed,
               .path = item.remote,
               .failure = failure.kind,
               .reply = facts.result_line,
               .message = std::move(message),
               .hint = failure.hint,
               .session = number_});
  loss_told_ = lost_;
}

// ---- Small texts ------------------------------------------------------------------

bool TUploadSession::ReadText(const std::string& command, size_t limit, std::string& text,
                              int& code) {
  text.clear();
  return ReadPieces(
      command, limit, [&text](std::string_view piece) { text.append(piece); }, code);
}

bool TUploadSession::ReadPieces(const std::string& command, size_t limit,
                                const std::function<void(std::string_view)>& on_data, int& code) {
  code = 0;
  TCappedSink data(limit, ftp_->DSock().StopFlag, on_data);
  if (!ftp_->PrepareDataConnection()) return false;
  code = ftp_->SendCommand(command);
  if (ReplyClassOf(code) != 1) return false;
  const bool done = ftp_->DownloadOverData(data);
  if (data.Failed()) {
    ftp_->DSock().StopFlag = false;
    code = 0;
    tally_.Notice({.kind = TNoticeKind::kError,
                   .text = "the server sent more than " +
                           FormatByteSize(static_cast<int64_t>(limit)) + " for " + command +
                           "; not read",
                   .session = number_});
    return false;
  }
  code = ftp_->ResultCode();
  return done;
}

bool TUploadSession::StoreText(const std::string& remote, const std::string& text) {
  TMemoryStream data(text);
  return StoreStream(remote, data);
}

bool TUploadSession::StoreStream(const std::string& remote, TStream& source) {
  return ftp_->PrepareDataConnection() && ReplyClassOf(ftp_->SendCommand("STOR " + remote)) == 1 &&
         ftp_->UploadOverData(source);
}

}  // namespace zud
