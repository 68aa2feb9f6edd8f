#include "deploy/syncrecord.h"

#include "deploy/session.h"
#include "deploy/syncstate.h"

namespace zud {

void TStateRecorder::FileDone(TUploadSession& session, TSyncTree& tree, const TTreeEntry& entry,
                              bool stored, const std::string& known_sha256) {
  const bool sync = context_.options.Sync;
  std::string digest;
  if (stored && sync) {
    digest = known_sha256.empty() ? HashLocalFile(entry.local_path, context_.tally) : known_sha256;
  }
  bool checkpoint = false;
  {
    std::lock_guard<std::mutex> lock(context_.state_mutex);
    if (stored && !digest.empty()) {
      tree.state.files[entry.relative] = {entry.size,
                                          RecordedTime(entry, tree.inputs.racy_from), digest};
    } else {
      tree.state.files.erase(entry.relative);
    }
    if (stored && sync && ++tree.sent_since_write >= kSyncCheckpointFiles) {
      tree.sent_since_write = 0;
      checkpoint = true;
    }
  }
  if (checkpoint) Write(session, tree);
  if (tree.lock) tree.lock->Refresh(session);
}

void TStateRecorder::FolderMissing(TSyncTree& tree, const std::string& relative) {
  std::lock_guard<std::mutex> lock(context_.state_mutex);
  tree.state.folders.erase(relative);
}

void TStateRecorder::Deleted(TSyncTree& tree, const std::string& relative, bool folder) {
  std::lock_guard<std::mutex> lock(context_.state_mutex);
  if (folder) {
    tree.state.folders.erase(relative);
  } else {
    tree.state.files.erase(relative);
  }
}

bool StateToWrite(const TSyncTree& tree) {
  // One found elsewhere (under the old name, say) moves to its place.
  if (!tree.state_read_from.empty() && tree.state_read_from != tree.state_path) return true;
  return tree.state_read ? *tree.state_read != tree.state
                         : !tree.state.files.empty() || !tree.state.folders.empty();
}

void TStateRecorder::Finish(TUploadSession& session, TSyncTree& tree) {
  if (context_.options.Sync && StateToWrite(tree)) Write(session, tree);
}

bool TStateRecorder::Write(TUploadSession& session, TSyncTree& tree) {
  std::lock_guard<std::mutex> writing(write_mutex_);
  std::string text;
  {
    std::lock_guard<std::mutex> lock(context_.state_mutex);
    text = FormatSyncState(tree.state);
  }
  if (text == tree.last_written) return true;  // a checkpoint wrote just this
  const std::string& final_name = tree.state_path;
  const std::string temporary = final_name + std::string(kSyncStatePartSuffix);
  return session.Persist([&] {
    TFTPSend& ftp = session.ftp();
    if (session.StoreText(temporary, text) && session.Rename(temporary, final_name)) {
      tree.last_written = text;
      // The one it replaces, found elsewhere, goes.
      if (!tree.state_read_from.empty() && tree.state_read_from != final_name) {
        ftp.DeleteRemoteFile(tree.state_read_from);
        tree.state_read_from = final_name;
      }
      return true;
    }
    if (session.NoteLoss()) return false;
    const std::string reply = ftp.ResultString();
    // A store cut short (a full disk) leaves no part behind.
    ftp.DeleteRemoteFile(temporary);
    context_.tally.File({.outcome = TFileOutcome::kFailed,
                         .path = final_name,
                         .failure = TDeployFailure::kRefused,
                         .reply = reply,
                         .message = "cannot write the state file " + final_name + ": " + reply,
                         .session = session.number()});
    return true;
  });
}

}  // namespace zud
