// The sync run: taken with Sync (or with several sessions). Its stages, each
// in a file of its own:
//   1 read    (syncread.h)    the state file at each tree's root and, where
//                             it must, the server's listing of the tree
//   2 plan    (syncplan.h)    PlanSync over the local tree, the listing and
//                             the state file (TSyncReader::Plan asks the
//                             server what a listing leaves open)
//   3 folders (syncfolders.h) the missing folders: the roots by the first
//                             session, the others by every session
//   4 send    (syncsend.h)    the files, by every session (Parallel)
//   5 clean   (syncclean.h)   what is gone locally deleted (Delete)
//   record    (syncrecord.h)  the state file, every kSyncCheckpointFiles
//                             files sent and at the end when anything changed
// A tree is a folder source's remote root; sources that land in one
// another's trees are taken as one (synctree.h). DryRun stops after stage 2
// and hands the plan to OnPlan. Without Sync (a plain folder upload with
// Parallel), nothing is read first, every file is sent and no state file is
// read or written.
#pragma once

#include "deploy/runtally.h"

namespace zud {

// Runs the sync; the outcome is in the tally.
void RunSync(TRunTally& tally);

}  // namespace zud
