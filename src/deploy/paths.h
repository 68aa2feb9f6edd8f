// How local and remote paths are named in an upload: the remote directory's
// end, a local path's file name, where a tree goes, the temporary name of an
// atomic store. Remote paths use "/" between names; local paths may also use
// the Windows delimiters "\" and ":" of the paths the tool was first written
// for.
#pragma once

#include <string>
#include <string_view>

#include "util/api.h"

namespace ZUD_API zud {

// The remote directory as the remote name starts with: dir, with "/"
// appended unless it already ends in "/" or a backslash.
std::string WithDirectoryEnd(std::string dir);
// The file-name part of a local path: the text after its last backslash,
// colon or forward slash.
std::string LocalFileNamePart(std::string_view path);
// WithDirectoryEnd(remote_dir) + LocalFileNamePart(local_path).
std::string RemoteFileName(const std::string& remote_dir, std::string_view local_path);

// The folder part of a remote path, without its last "/" ("/" for "/x", ""
// when there is none).
std::string RemoteParent(const std::string& remote);
// path without trailing slashes ("/" stays).
std::string WithoutTrailingSlash(std::string path);
// root (ending in "/") joined with a relative path; root itself without its
// last "/" for an empty one.
std::string JoinRemote(const std::string& root, const std::string& relative);

// The remote folder a local folder uploads into, given the remote base
// (ending in "/"): base itself for "site/" (or ".", "..", a path ending in
// "/." or a backslash), else base + the folder's name + "/" (rsync's rule).
std::string RemoteTreeRoot(const std::string& base, const std::string& local_folder);

// The temporary name an atomic store puts remote (a whole remote path) under:
// in the same folder, ".NAME.ftpupload-part".
std::string AtomicTemporaryName(const std::string& remote);

// Whether the last name of path is one a server keeps for itself in the
// folders it serves, never to be sent or deleted: Pure-FTPd's quota file
// ".ftpquota" (as cPanel runs it).
bool IsServerOwnedName(std::string_view path);

// Whether text holds CR or LF, which no FTP command can carry.
inline bool HoldsLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace zud
