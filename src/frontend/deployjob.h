// Folder mode and sync as the tool runs them, on the deploy engine: the
// switches turned into deploy options, the engine's events into lines
// (deploylines.h says which, at which output level).
//
// Each local parameter is a file, stored under its own name in /dir, or
// (with /recursive) a folder whose whole tree is uploaded: "site/" puts what
// site holds into /dir, "site" into a folder /dir/site (rsync's rule).
// Passive mode unless /active.
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

// In folder and sync modes every local parameter must be there before the
// run connects: "" when each is a file (or with /recursive a folder), else
// one line for people naming the first that is not.
std::string CheckLocalSources(const TUploadSettings& settings);

}  // namespace zud
