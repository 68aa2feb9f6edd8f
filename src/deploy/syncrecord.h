// Recording a sync's state: each tree's state kept up to date as files are
// sent and folders made or kept, and the state file written at the tree's
// root under a temporary name and renamed into place: every
// kSyncCheckpointFiles files sent, and at the end when anything changed.
// Sessions in several threads record into one recorder.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "deploy/synctree.h"
#include "deploy/uploadsession.h"

namespace zud {

inline constexpr size_t kSyncCheckpointFiles = 500;

// Whether tree's state file is to be written: the state differs from what
// was read, or was read from another place (the old name).
bool StateToWrite(const TSyncTree& tree);

class TStateRecorder {
 public:
  explicit TStateRecorder(TSyncContext& context) : context_(context) {}

  // A file of tree was tried: stored, its record is kept, else dropped. The
  // record's hash is known_sha256 when the plan read the file, else taken
  // now; either way a file changed meanwhile has a new time, and the next
  // run reads it again. A checkpoint writes the state file over session.
  void FileDone(TUploadSession& session, TSyncTree& tree, const TTreeEntry& entry, bool stored,
                const std::string& known_sha256);
  // A folder that could not be made is no longer recorded.
  void FolderMissing(TSyncTree& tree, const std::string& relative);
  // A file or folder deleted is no longer recorded.
  void Deleted(TSyncTree& tree, const std::string& relative, bool folder);

  // At the end: writes tree's state file when it differs from what was
  // read, or was read elsewhere.
  void Finish(TUploadSession& session, TSyncTree& tree);

 private:
  // Writes tree's state file unless it holds just this already. False when
  // the session was lost for good; a refusal is reported.
  bool Write(TUploadSession& session, TSyncTree& tree);

  TSyncContext& context_;
  std::mutex write_mutex_;  // one state file write at a time
};

}  // namespace zud
