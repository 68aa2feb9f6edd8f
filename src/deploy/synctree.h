// What the stages of a sync share: its trees (a remote root and the local
// entries that go below it, with what was read, planned and recorded for it)
// and the context every stage works in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "deploy/deploy.h"
#include "deploy/localtree.h"
#include "deploy/runtally.h"
#include "deploy/syncplan.h"
#include "deploy/synclock.h"
#include "deploy/syncstate.h"

namespace zud {

struct TSyncTree {
  std::string root;  // remote, ends in "/"
  // The state file's remote path: StateFile, or kSyncStateName at root.
  std::string state_path;
  // Where this run found a state file ("" when none), the SHA-256 of its
  // text as read, and of the state it held ("" when it held none usable;
  // the state itself goes to inputs.state).
  std::string state_read_from;
  std::string state_text_digest;
  std::string state_read_digest;
  TSyncInputs inputs;  // inputs.local: the local entries that go below root
  TSyncPlan plan;
  // The state as the run leaves it, written at checkpoints and the end.
  TSyncState state;
  size_t sent_since_write = 0;
  // Changes to state so far, and how many there were when the state file
  // was last written whole (a checkpoint then need not be written again).
  size_t state_changes = 0;
  size_t written_at_change = SIZE_MAX;
  // The deploy lock beside the state file, once the run takes it.
  std::unique_ptr<TDeployLock> lock;
};

struct TSyncContext {
  explicit TSyncContext(TRunTally& run) : tally(run), options(run.options()) {}

  TRunTally& tally;
  const TDeployOptions& options;
  std::vector<std::unique_ptr<TSyncTree>> trees;
  std::mutex state_mutex;  // every tree's state and sent_since_write
};

// The sources read into trees: those that land in one another's trees
// ("site" into /dir/site/ beside "x/" into /dir/) are taken as one, so that
// Delete in the outer tree never removes what the inner one sends; a path
// named twice keeps its last source; the sync's own files (the state file,
// its temporary name and lock, where they lie in the tree) are skipped.
std::vector<std::unique_ptr<TSyncTree>> GatherTrees(TRunTally& tally);

// The SHA-256 of a local file, "" when it cannot be read or the run stops
// meanwhile (a large file takes seconds).
std::string HashLocalFile(const std::string& path, const TRunTally& tally);

// The SHA-256 of each of files (in their order), several read at once: a
// thread per processor, at most kHashThreads; empty for a file that cannot
// be read.
inline constexpr unsigned kHashThreads = 4;
std::vector<TContentDigest> HashLocalFiles(const std::vector<const TTreeEntry*>& files,
                                           const TRunTally& tally);

}  // namespace zud
