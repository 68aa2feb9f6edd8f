// The sync's decisions: from the local tree, what the server was seen to
// hold and the state file, which folders to make, which files to send (and
// why), which to delete. Talks to no server: what it must ask (an exact
// remote time) or read (a local file's hash) it asks through callbacks.
//
// How a file is judged changed:
// - With a record in the state file: when the local size differs from the
//   record; when the server was listed and no longer has it (or has another
//   size). When only the modification time differs (a fresh checkout), the
//   content decides: the file is hashed, and a SHA-256 equal to the record's
//   means unchanged (the record takes the new time); with checksum, files
//   whose size and time agree are hashed too. The server's clock and time
//   zone play no part.
// - Without a record: new when the server has no file there; else taken as
//   sent (and recorded) when the sizes agree (binary transfers only) and the
//   server's time is not older than the local one, otherwise sent. A listing
//   time whose zone or precision leaves this open is settled by the exact
//   remote time (MDTM); when even that is unknown, the file is sent.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "deploy/deploy.h"
#include "deploy/localtree.h"
#include "deploy/syncstate.h"
#include "util/api.h"
#include "util/textutil.h"

namespace ZUD_API zud {

// What a listing showed at a path relative to the tree's root.
struct TRemoteEntry {
  bool is_directory = false;
  bool is_link = false;    // a symbolic link: never entered, never deleted
  bool excluded = false;   // matches an exclude: never entered, never deleted
  bool listed = true;      // folders: their whole listing was understood
  int64_t size = -1;
  // The modification time lies in [time_from, time_to], seconds since 1970
  // UTC: one instant from MLSD, a span from LIST (unknown zone, minutes or days).
  int64_t time_from = 0;
  int64_t time_to = 0;
};

// Seconds since 1970 UTC for a listing's date and time (which carries no
// zone: read as UTC), rounded to the second.
int64_t ListingTimeToSeconds(TDateTime when);

struct TSyncSend {
  const TTreeEntry* entry = nullptr;  // points into the inputs' local entries
  TSendReason reason = TSendReason::kNew;
  std::string sha256{};  // the content's hash when the plan read it, else ""
};

struct TSyncInputs {
  // The local tree, as the walk gave it (relative paths).
  std::vector<TTreeEntry> local;
  // The state file, when there was a usable one.
  std::optional<TSyncState> state;
  // Whether the server side was listed; when not, the state file stands for it.
  bool listed = false;
  bool root_exists = true;
  // The root's listing was understood line by line (remote's folders say
  // so for themselves): nothing directly in a folder listed in part is
  // deleted.
  bool root_fully_listed = true;
  std::map<std::string, TRemoteEntry> remote;  // by relative path; listed only
  bool delete_missing = false;  // Delete
  bool checksum = false;        // Checksum
  bool compare_sizes = true;    // false for ASCII transfers, where sizes change
  // When the local tree was read, less a second (seconds since 1970 UTC):
  // a file of that time or later could change again within its second
  // without its time showing it (git's "racy" files).
  int64_t racy_from = INT64_MAX;
  // The sync's own files in the tree, besides the names IsSyncStateName
  // gives at its root (a state file kept elsewhere in it, with its
  // temporary name and lock): never sent, never deleted, with what they hold.
  std::set<std::string> own;
  // The exact remote time of a file (seconds since 1970 UTC), -1 when unknown.
  std::function<int64_t(const std::string& relative)> remote_time;
  // The SHA-256 (hex) of a local file, "" when it cannot be read.
  std::function<std::string(const TTreeEntry& entry)> hash;
};

struct TSyncConflict {
  std::string relative;
  std::string reason;  // "the server has a folder where this file is"
};

struct TSyncPlan {
  bool make_root = false;             // the tree's root folder is missing
  std::vector<std::string> folders;   // to make, parents first
  std::vector<TSyncSend> sends;       // in the walk's order
  std::vector<std::string> deletes;   // files, in path order
  std::vector<std::string> removals;  // folders, deepest first
  // Things that cannot be done.
  std::vector<TSyncConflict> conflicts;
  size_t unchanged = 0;
  std::vector<const TTreeEntry*> unchanged_files;  // into the inputs' local entries
  // The state to write once the steps succeed: the records kept or found
  // and every local folder. Sent files are added by the run as they
  // succeed, and what is deleted is dropped as it goes.
  TSyncState state;
};

TSyncPlan PlanSync(const TSyncInputs& inputs);
// take_state: inputs.state is moved into the plan's state instead of
// copied, and inputs.state is empty afterwards (a large state is held once).
TSyncPlan PlanSync(TSyncInputs& inputs, bool take_state);

// The time entry's record keeps: its own, but a second less for a racy
// one (not older than racy_from), so that the next run reads it again.
inline int64_t RecordedTime(const TTreeEntry& entry, int64_t racy_from) {
  return entry.modified >= racy_from ? entry.modified - 1 : entry.modified;
}

// The local files whose content PlanSync will hash (through inputs.hash)
// to decide them: recorded files of the recorded size whose time differs,
// and with checksum those whose time agrees too. A caller may hash them
// ahead, several at once, and answer inputs.hash from what it found. They
// come in the order of inputs.local.
std::vector<const TTreeEntry*> FilesToHash(const TSyncInputs& inputs);

}  // namespace zud
