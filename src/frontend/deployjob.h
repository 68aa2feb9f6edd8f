// Folder mode and sync as the tool runs them, on the deploy engine: the
// switches turned into deploy options, the engine's events into lines.
//
// Each local parameter is a file, stored under its own name in /dir, or
// (with /recursive) a folder whose whole tree is uploaded: "site/" puts what
// site holds into /dir, "site" into a folder /dir/site (rsync's rule).
// Standard output carries the dialogue ("[2] STOR ..." with several
// sessions), or with /dryrun the plan alone:
//   mkdir /site/css
//   send new /site/css/site.css      (new, size, time, content, missing, older)
//   delete /site/old.html
//   rmdir /site/old
// Standard error carries each file's outcome, the warnings and the summary
// ("1843 files stored, 2 failed, 41 folders made, 61.2 MiB in 0:14"; with
// /quiet only failures and the summary), and on a terminal the progress meter.
#pragma once

#include <string>

#include "deploy/deploy.h"
#include "deploy/failure.h"
#include "frontend/failure.h"
#include "frontend/settings.h"
#include "util/api.h"

namespace ZUD_API zud {

// The deploy options for settings (checked, login sources resolved); no hooks.
TDeployOptions DeployOptionsFrom(const TUploadSettings& settings);

// Runs folder mode or sync for settings. Returns the status of the first
// failure, kStored when all went well, kInterrupted after Ctrl-C.
TExitStatus RunDeployJob(const TUploadSettings& settings);

// The line for a failure of path, in the tool's words where a hint calls for
// a switch ("site is a folder; add /recursive to upload its tree").
std::string FailureLine(const TFailure& failure, const std::string& path);

}  // namespace zud
