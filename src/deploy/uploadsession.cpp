#include "deploy/uploadsession.h"

#include <string>
#include <utility>

#include "deploy/paths.h"
#include "util/stream.h"

namespace zud {

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

bool TUploadSession::ParentMissing(const std::string& remote) {
  if (options_.MakeDirs) return false;
  const std::string parent = WithoutTrailingSlash(RemoteParent(remote));
  if (parent.empty() || !tally_.FirstProbe(parent) || RemoteFolderExists(*ftp_, parent)) {
    return false;
  }
  tally_.FolderMissing(parent, number_);
  return true;
}

void TUploadSession::ExplainStoreFailure(const TStoreItem& item) {
  TSessionFacts facts = watch_->Facts();
  facts.quiet = true;  // every failure names the server's reply
  const TFailure failure = ClassifyStoreFailure(facts, item.remote);
  if (ConnectionLost(facts)) lost_ = true;
  const int code = facts.result_code;
  // A store refused into a folder that is not there: that alone is told.
  if ((code == 550 || code == 553) && !lost_ && ParentMissing(item.remote)) {
    tally_.TriedNotSent({.path = item.remote, .session = number_});
    return;
  }
  Failed(failure.kind, item.remote,
         failure.message.empty() ? "not stored " + item.remote : failure.message, false,
         failure.hint);
  loss_told_ = lost_;
}

}  // namespace zud
