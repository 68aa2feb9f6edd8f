#include "deploy/syncrecord.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "util/stream.h"
#include "deploy/session.h"
#include "deploy/syncstate.h"

namespace zud {

void TStateRecorder::FileDone(TUploadSession& session, TSyncTree& tree, const TTreeEntry& entry,
                              bool stored, const std::string& known_sha256) {
  const bool sync = context_.options.Sync;
  std::string digest;
  if (stored && sync) {
    digest = known_sha256.empty() ? HashLocalFile(entry.LocalPath(), context_.tally) : known_sha256;
  }
  bool checkpoint = false;
  {
    std::lock_guard<std::mutex> lock(context_.state_mutex);
    // Only what changes the state counts: a file that failed and had no
    // record leaves the state file as it was last written.
    if (stored && !digest.empty()) {
      const TSyncRecord record{entry.size, RecordedTime(entry, tree.inputs.racy_from), digest};
      const auto [at, added] = tree.state.files.try_emplace(entry.relative, record);
      if (added || !(at->second == record)) ++tree.state_changes;
      at->second = record;
    } else if (tree.state.files.erase(entry.relative) != 0) {
      ++tree.state_changes;
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
  tree.state_changes += tree.state.folders.erase(relative);
}

void TStateRecorder::Deleted(TSyncTree& tree, const std::string& relative, bool folder) {
  std::lock_guard<std::mutex> lock(context_.state_mutex);
  tree.state_changes += folder ? tree.state.folders.erase(relative) : tree.state.files.erase(relative);
}

bool StateToWrite(const TSyncTree& tree) {
  // One found elsewhere (under the old name, say) moves to its place.
  if (!tree.state_read_from.empty() && tree.state_read_from != tree.state_path) return true;
  return !tree.state_read_digest.empty()
             ? DigestOfSyncState(tree.state) != tree.state_read_digest
             : !tree.state.files.empty() || !tree.state.folders.empty();
}

void TStateRecorder::Finish(TUploadSession& session, TSyncTree& tree) {
  if (context_.options.Sync && StateToWrite(tree)) Write(session, tree);
}

namespace {

// The state file's text as it is sent, made a piece at a time from the
// live state (under its lock for each piece only, so that sessions go on
// recording meanwhile): a large state is never held twice.
class TStateStream : public TStream {
 public:
  TStateStream(const TSyncState& state, std::mutex& mutex) : formatter_(state), mutex_(mutex) {}
  int64_t Read(void* buffer, int64_t count) override {
    if (at_ == piece_.size()) {
      piece_.clear();
      at_ = 0;
      std::lock_guard<std::mutex> lock(mutex_);
      if (!formatter_.Next(piece_, kPieceBytes)) return 0;
    }
    const size_t n = std::min(static_cast<size_t>(count), piece_.size() - at_);
    std::memcpy(buffer, piece_.data() + at_, n);
    at_ += n;
    position_ += static_cast<int64_t>(n);
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Size() const override { return position_; }
  void SetSize(int64_t) override {}
  int64_t Position() const override { return position_; }
  void SetPosition(int64_t) override {}
  bool SizeKnown() const override { return false; }
  bool Seekable() const override { return false; }

 private:
  static constexpr size_t kPieceBytes = 64u << 10;
  TSyncStateFormatter formatter_;
  std::mutex& mutex_;
  std::string piece_;
  size_t at_ = 0;
  int64_t position_ = 0;
};

}  // namespace

bool TStateRecorder::Write(TUploadSession& session, TSyncTree& tree) {
  std::lock_guard<std::mutex> writing(write_mutex_);
  size_t changes = 0;
  {
    std::lock_guard<std::mutex> lock(context_.state_mutex);
    changes = tree.state_changes;
  }
  if (changes == tree.written_at_change) return true;  // a checkpoint wrote just this
  const std::string& final_name = tree.state_path;
  const std::string temporary = final_name + std::string(kSyncStatePartSuffix);
  return session.Persist([&] {
    TFTPSend& ftp = session.ftp();
    TStateStream text(tree.state, context_.state_mutex);
    if (session.StoreStream(temporary, text) && session.Rename(temporary, final_name)) {
      tree.written_at_change = changes;
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
