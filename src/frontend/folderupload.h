// Folder mode: the upload job taken when /recursive, /mkdir, /exclude,
// /atomic or /retry is given.
//
// Each local parameter is a file, stored under its own name in /dir, or
// (with /recursive) a folder whose whole tree is uploaded: "site/" puts what
// site holds into /dir, "site" into a folder /dir/site (rsync's rule). Files
// go in a stable order (in each folder its subfolders first, then its files,
// names in byte order). The dialogue is lean: the type once per session,
// then per file a data connection (PASV/EPSV or PORT/EPRT) and STOR with the
// whole remote path, plus one MKD for each new folder; binary type unless
// /ascii. Each file's outcome and the run's summary go to standard error
// ("1843 files stored, 2 failed, 41 folders made, 61.2 MiB in 0:14"; with
// /quiet only failures and the summary).
//
// A store the server refuses is reported and the run goes on; a failed login,
// an interrupt or a lost connection without reconnects left ends it. With
// /retry:N a lost or silent connection is made again after a pause (1 s,
// 2 s, 4 s ... at most 30 s), up to N times in the run, and the interrupted
// file continues from the size the server has of it. /atomic stores each file
// under a temporary name in its folder (".NAME.ftpupload-part") and renames it
// once the server confirmed the whole file; a server that refuses to rename
// over an existing file has that file deleted first.
#pragma once

#include <string>

#include "deploy/paths.h"
#include "frontend/failure.h"
#include "frontend/settings.h"
#include "util/api.h"

namespace ZUD_API zud {

// Runs folder mode for settings (already checked, login sources resolved).
// Returns the status of the first failure, kStored when all went well,
// kInterrupted after Ctrl-C.
TExitStatus RunFolderUpload(const TUploadSettings& settings);

// The back-off before reconnect n (1-based): 1, 2, 4, ... seconds, at most 30.
int32_t ReconnectDelayMs(int n);

}  // namespace zud
