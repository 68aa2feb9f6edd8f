// The folders and files of a sync waiting for a session. A job waits until
// the folder it goes into is made (or could not be made): a folder to make
// waits for its parent, a file for its folder, so that no file is ever sent
// before its folder exists. Folders come first, so that every session makes
// them and the files they hold start early; files for folders that exist go
// at once. Sessions in several threads take from one queue: every member
// locks.
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

// A file to send or a folder to make, with the tree it belongs to.
struct TSyncJob {
  TSyncTree* tree = nullptr;
  const TTreeEntry* entry = nullptr;  // a file to send
  const std::string* make = nullptr;  // else a folder to make: its path below tree->root
  // The remote folder it goes into, shared by the jobs of one folder.
  std::shared_ptr<const std::string> folder{};
  std::string sha256{};  // the content's hash when the plan read it, else ""
  TSendReason reason = TSendReason::kNew;
};

class TJobQueue {
 public:
  // Hands the jobs out, in order, holding back those for pending folders
  // (folders to make among them: each made or given up is FolderReady).
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
  // Jobs handed in and not yet taken, those held back for their folders
  // included: what more sessions could share.
  size_t Waiting();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<TSyncJob> jobs_;
  std::vector<bool> taken_;
  std::vector<TSyncJob> returned_;
  std::set<std::string> pending_;
  size_t first_ = 0;          // jobs_ before it are all taken
  size_t handed_out_ = 0;     // taken jobs dropped from the front of jobs_
  size_t taken_count_ = 0;    // taken since Open, those dropped included
  static constexpr size_t kCompactAfter = 4096;
  bool open_ = false;
};

}  // namespace zud
