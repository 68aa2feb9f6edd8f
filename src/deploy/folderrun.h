// The folder run: the files and trees of the sources uploaded in one session,
// in a stable order (in each folder its subfolders first, then its files,
// names in byte order), each new folder made just before what goes into it.
// The dialogue is lean: the type once per session, then per file a data
// connection (PASV/EPSV or PORT/EPRT) and STOR with the whole remote path,
// plus one MKD for each new folder.
//
// A store the server refuses is reported and the run goes on; a failed login,
// a stop or a lost connection without reconnects left ends it. With Retries a
// lost or silent connection is made again after a pause (1 s, 2 s, 4 s ... at
// most 30 s), and the interrupted file continues from the size the server has
// of it. Atomic stores each file under a temporary name in its folder
// (".NAME.ftpupload-part") and renames it once the server confirmed the whole
// file; a server that refuses to rename over an existing file has that file
// deleted first.
#pragma once

#include "deploy/runtally.h"

namespace zud {

// Runs the folder run; the outcome is in the tally.
void RunFolderUpload(TRunTally& tally);

}  // namespace zud
