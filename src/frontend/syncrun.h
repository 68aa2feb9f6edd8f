// Sync: the folder-mode job taken with /sync (or with /parallel above 1).
//
// For each tree (a folder parameter's remote root; parameters that land in
// one another's trees are taken as one), the first session reads the state
// file at the root, lists the server side where it must (no usable state
// file, or /delete), and plans with PlanSync. Then it makes the missing
// folders in order, the files go to the sessions (/parallel:N; largest
// first when there are several), files and then folders that are gone
// locally are removed (/delete), and the state file is written under a
// temporary name and renamed into place: at the end, when anything changed,
// and every kSyncCheckpointFiles files sent in between. /dryrun prints the
// plan on standard output and changes nothing:
//   mkdir /site/css
//   send new /site/css/site.css      (new, size, time, content, missing, older)
//   delete /site/old.html
//   rmdir /site/old
// Without /sync (plain folder mode with /parallel), every file is sent and
// no state file is read or written.
#pragma once

#include <cstdint>
#include <string>

#include "frontend/failure.h"
#include "frontend/settings.h"
#include "util/api.h"
#include "util/textutil.h"

namespace ZUD_API zud {

inline constexpr size_t kSyncCheckpointFiles = 500;

// Runs a sync for settings (checked, login sources resolved). Returns the
// status of the first failure, kStored when all went well, kInterrupted
// after Ctrl-C.
TExitStatus RunSync(const TUploadSettings& settings);

}  // namespace zud
