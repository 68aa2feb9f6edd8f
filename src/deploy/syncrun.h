// The sync run: taken with Sync (or with Parallel above 1).
//
// For each tree (a folder source's remote root; sources that land in one
// another's trees are taken as one), the first session reads the state file
// at the root, lists the server side where it must (no usable state file, or
// Delete), and plans with PlanSync. Then it makes the missing folders in
// order, the files go to the sessions (Parallel; largest first when there
// are several), files and then folders that are gone locally are removed
// (Delete), and the state file is written under a temporary name and renamed
// into place: at the end, when anything changed, and every
// kSyncCheckpointFiles files sent in between. DryRun hands the plan to
// OnPlan and changes nothing. Without Sync (a plain folder upload with
// Parallel), every file is sent and no state file is read or written.
#pragma once

#include <cstddef>

#include "deploy/runtally.h"

namespace zud {

inline constexpr size_t kSyncCheckpointFiles = 500;

// Runs the sync; the outcome is in the tally.
void RunSync(TRunTally& tally);

}  // namespace zud
