// The sync state file: what the last sync sent, kept on the server at the
// tree's remote root as ".htftpupload-sync" (web servers built on Apache
// refuse to serve names starting with ".ht"), or wherever the run names.
//
// A text file of lines ending in LF (CR LF is read too):
//   ftpupload-sync 2
//   R<TAB>/htdocs/
//   D<TAB>css
//   F<TAB>SIZE<TAB>MTIME<TAB>SHA256<TAB>css/site.css
// "R" names the tree's remote root as the run that wrote it named it; "D" a
// folder the sync made or found; "F" a file it sent (or found already
// there): its size in bytes and local modification time in seconds since
// 1970 UTC, and the SHA-256 of its content in lowercase hex. The path,
// relative to the tree's root with "/" between names, is the rest of the
// line. Folders come first, then files, each sorted by path. Version 1 (no
// "R" line) is read too.
//
// The file comes from the server, so the reader trusts none of it: a line
// it does not understand, a path that climbs out of the tree, a repeated
// path or a file larger than kMaxSyncStateBytes makes the whole file count
// as missing (the sync then decides from the listing alone).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "util/api.h"

namespace ZUD_API zud {

inline constexpr std::string_view kSyncStateName = ".htftpupload-sync";
// Where earlier versions kept it: read when the state file is missing, and
// deleted once the state file is written.
inline constexpr std::string_view kOldSyncStateName = ".ftpupload-sync";
// Beside a state file: the name it is written under first, then renamed
// over it, and the deploy lock (synclock.h).
inline constexpr std::string_view kSyncStatePartSuffix = ".part";
inline constexpr std::string_view kSyncLockSuffix = ".lock";
inline constexpr size_t kMaxSyncStateBytes = 64u << 20;

// Whether name, at a tree's root, is one the sync keeps there: the state
// file under either name, its temporary name or its lock.
bool IsSyncStateName(std::string_view name);

// A SHA-256 held in its 32 bytes (a state holds one for every file), read
// and written as 64 hex digits; empty when unknown.
class TContentDigest {
 public:
  TContentDigest() = default;
  // From 64 hex digits of either case; anything else gives an empty one.
  TContentDigest(std::string_view hex);      // NOLINT(google-explicit-constructor)
  TContentDigest(const std::string& hex)     // NOLINT(google-explicit-constructor)
      : TContentDigest(std::string_view(hex)) {}
  bool empty() const { return !known_; }
  // The 64 lowercase hex digits, "" when empty.
  std::string Hex() const;
  void AppendHex(std::string& out) const;
  friend bool operator==(const TContentDigest&, const TContentDigest&) = default;

 private:
  std::array<uint8_t, 32> bytes_{};
  bool known_ = false;
};

struct TSyncRecord {
  int64_t size = 0;
  int64_t modified = 0;   // seconds since 1970 UTC
  TContentDigest sha256;
  friend bool operator==(const TSyncRecord&, const TSyncRecord&) = default;
};

struct TSyncState {
  std::string root;  // the tree's remote root ("R"); "" in version 1
  std::map<std::string, TSyncRecord> files;
  std::set<std::string> folders;
  friend bool operator==(const TSyncState&, const TSyncState&) = default;
};

// Reads a state file as it arrives: Add takes its text in pieces of any
// size (a line may be cut between them), Finish gives the state. Only the
// state and one line are held, never the whole text.
class TSyncStateReader {
 public:
  void Add(std::string_view piece);
  // The state, or nullopt with the reason in error ("line 3: bad size").
  std::optional<TSyncState> Finish(std::string* error = nullptr);

 private:
  void Line(std::string_view line);
  void Fail(const std::string& why);

  TSyncState state_;
  std::string partial_;  // the start of a line cut between pieces
  size_t bytes_ = 0;
  size_t number_ = 0;  // lines read
  bool version1_ = false;
  std::string error_;  // the first failure; the rest is not read
};

// The state in text, or nullopt with the reason in error ("line 3: bad size").
std::optional<TSyncState> ParseSyncState(std::string_view text, std::string* error = nullptr);
std::string FormatSyncState(const TSyncState& state);

// Gives a state's text in pieces, in order: each Next appends whole lines
// (about max bytes) after the last line it gave. The state may change
// between calls (the next line is found by path): each line is then as
// the state stood when it was given.
class TSyncStateFormatter {
 public:
  explicit TSyncStateFormatter(const TSyncState& state) : state_(state) {}
  // False when no line is left.
  bool Next(std::string& out, size_t max);

 private:
  enum class TPart { kHeader, kFolders, kFiles, kDone };
  const TSyncState& state_;
  TPart part_ = TPart::kHeader;
  std::string last_;  // the path of the last line given in this part
};

// The SHA-256 (hex) of FormatSyncState(state), without the text: equal
// digests are equal states.
std::string DigestOfSyncState(const TSyncState& state);

// Whether path is a plain relative path: names separated by single "/", none
// empty, "." or "..", no leading "/", no CR, LF or NUL.
bool IsPlainRelativePath(std::string_view path);

}  // namespace zud
