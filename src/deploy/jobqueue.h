// The files of a sync waiting for a session. A file waits until its folder
// is made (or could not be made); files for folders that exist go at once,
// while the first session is still making the others. Sessions in several
// threads take from one queue: every member locks.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "deploy/runtally.h"
#include "deploy/synctree.h"

namespace zud {

// A file to send, with the tree it belongs to.
struct TSyncJob {
  TSyncTree* tree = nullptr;
  const TTreeEntry* entry = nullptr;
  std::shared_ptr<const std::string> folder;  // the remote folder it goes into, shared by its files
  std::string sha256;  // the content's hash when the plan read it, else ""
  TSendReason reason = TSendReason::kNew;
};

class TJobQueue {
 public:
  // Hands the jobs out, in order, holding back those for pending folders.
  void Open(std::vector<TSyncJob> jobs, std::set<std::string> pending_folders);
  void FolderReady(const std::string& folder);
  // Every folder is made or given up: no file waits any longer.
  void AllFoldersReady();
  // No files come (the run ends before it sends any): Take returns nullopt
  // once the files already handed in are taken.
  void Close();
  // The next file whose folder is ready, or nullopt when none is left (or
  // the run stops).
  std::optional<TSyncJob> Take(const TRunTally& tally);
  // A job taken by a session that could not send it.
  void PutBack(const TSyncJob& job);
  // The files no session took, or took and put back.
  std::vector<TSyncJob> Untaken();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<TSyncJob> jobs_;
  std::vector<bool> taken_;
  std::vector<TSyncJob> returned_;
  std::set<std::string> pending_;
  size_t first_ = 0;
  bool open_ = false;
};

}  // namespace zud
