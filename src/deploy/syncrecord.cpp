#include "deploy/syncrecord.h"

#include "deploy/session.h"
#include "util/stream.h"

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
      tree.state.files[entry.relative] = {entry.size, entry.modified, digest};
    } else {
      tree.state.files.erase(entry.relative);
    }
    if (stored && sync && ++tree.sent_since_write >= kSyncCheckpointFiles) {
      tree.sent_since_write = 0;
      checkpoint = true;
    }
  }
  if (checkpoint) Write(session, tree);
}

void TStateRecorder::FolderMissing(TSyncTree& tree, const std::string& relative) {
  std::lock_guard<std::mutex> lock(context_.state_mutex);
  tree.state.folders.erase(relative);
}

void TStateRecorder::FolderKept(TSyncTree& tree, const std::string& relative) {
  std::lock_guard<std::mutex> lock(context_.state_mutex);
  tree.state.folders.insert(relative);
}

void TStateRecorder::Finish(TUploadSession& session, TSyncTree& tree) {
  const bool differs = tree.state_read ? *tree.state_read != tree.state
                                       : !tree.state.files.empty() || !tree.state.folders.empty();
  if (context_.options.Sync && differs && !context_.tally.Stopped()) Write(session, tree);
}

bool TStateRecorder::Write(TUploadSession& session, TSyncTree& tree) {
  std::lock_guard<std::mutex> writing(write_mutex_);
  std::string text;
  {
    std::lock_guard<std::mutex> lock(context_.state_mutex);
    text = FormatSyncState(tree.state);
  }
  if (text == tree.last_written) return true;  // a checkpoint wrote just this
  const std::string temporary = tree.root + std::string(kSyncStateTemporaryName);
  const std::string final_name = tree.root + std::string(kSyncStateName);
  return session.Persist([&] {
    TFTPSend& ftp = session.ftp();
    TMemoryStream data(text);
    if (ftp.PrepareDataConnection() && ReplyClassOf(ftp.SendCommand("STOR " + temporary)) == 1 &&
        ftp.UploadOverData(data) && session.Rename(temporary, final_name)) {
      tree.last_written = text;
      return true;
    }
    if (session.NoteLoss()) return false;
    context_.tally.File(
        {.outcome = TFileOutcome::kFailed,
         .path = final_name,
         .failure = TDeployFailure::kRefused,
         .reply = ftp.ResultString(),
         .message = "cannot write the state file " + final_name + ": " + ftp.ResultString(),
         .session = session.number()});
    return true;
  });
}

}  // namespace zud
