// The sync state file: what the last sync sent, kept on the server at the
// tree's remote root as ".ftpupload-sync".
//
// A text file of lines ending in LF (CR LF is read too):
//   ftpupload-sync 1
//   D<TAB>css
//   F<TAB>SIZE<TAB>MTIME<TAB>SHA256<TAB>css/site.css
// "D" names a folder the sync made or found; "F" a file it sent (or found
// already there): its size in bytes and local modification time in seconds
// since 1970 UTC when it was sent, and the SHA-256 of its content in
// lowercase hex. The path, relative to the tree's root with "/" between
// names, is the rest of the line. Folders come first, then files, each
// sorted by path.
//
// The file comes from the server, so the reader trusts none of it: a line
// it does not understand, a path that climbs out of the tree, a repeated
// path or a file larger than kMaxSyncStateBytes makes the whole file count
// as missing (the sync then decides from the listing alone).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "util/api.h"

namespace ZUD_API zud {

inline constexpr std::string_view kSyncStateName = ".ftpupload-sync";
// Written under this name first, then renamed over the state file.
inline constexpr std::string_view kSyncStateTemporaryName = ".ftpupload-sync.part";
inline constexpr size_t kMaxSyncStateBytes = 64u << 20;

struct TSyncRecord {
  int64_t size = 0;
  int64_t modified = 0;  // seconds since 1970 UTC
  std::string sha256;    // 64 lowercase hex digits
  friend bool operator==(const TSyncRecord&, const TSyncRecord&) = default;
};

struct TSyncState {
  std::map<std::string, TSyncRecord> files;
  std::set<std::string> folders;
  friend bool operator==(const TSyncState&, const TSyncState&) = default;
};

// The state in text, or nullopt with the reason in error ("line 3: bad size").
std::optional<TSyncState> ParseSyncState(std::string_view text, std::string* error = nullptr);
std::string FormatSyncState(const TSyncState& state);

// Whether path is a plain relative path: names separated by single "/", none
// empty, "." or "..", no leading "/", no CR, LF or NUL.
bool IsPlainRelativePath(std::string_view path);

}  // namespace zud
