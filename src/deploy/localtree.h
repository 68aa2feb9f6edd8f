// The local side of a folder upload: which entries a folder's tree holds, in
// the order they are sent, and the exclude patterns that leave some out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/api.h"
#include "util/localpath.h"

namespace ZUD_API zud {

// Matches text against a glob: "*" any run of characters but "/", "?" one
// character but "/", "[abc]", "[a-z]", "[!a]"/"[^a]" a set (never "/"), "**" any
// run including "/" ("**/" also matches nothing, so "**/x" matches "x"), "\"
// makes the next character plain. A "[" without its "]" is a plain "[".
bool MatchGlob(std::string_view pattern, std::string_view text);

// Exclude patterns, matched against a path relative to the tree root with "/"
// between names. A trailing "/" matches folders only. A pattern without another
// "/" matches the last name at any depth ("*.log", ".git/"); a pattern with one
// matches the whole relative path, a leading "/" being dropped ("/build/tmp").
// Where the platform's paths separate names with "\" too (Windows), patterns
// do as well: "css\*.bin" is "css/*.bin", and "\" escapes nothing there (a
// set of one, "[*]", matches a special character).
class TExcludeList {
 public:
  // Whether "\" separates names in the patterns added after it is set
  // instead of escaping the next character; the platform's rule by default.
  bool BackslashSeparates = IsLocalPathSeparator('\\');

  // Adds one pattern; one that is empty or only "/" is ignored.
  void Add(std::string pattern);
  bool empty() const { return patterns_.empty(); }
  // True when the path, or one of the folders it lies in, matches a pattern.
  bool Excludes(std::string_view relative_path, bool is_directory) const;
  // True when the path itself matches, its folders aside: for a walk that does
  // not enter excluded folders.
  bool ExcludesItself(std::string_view relative_path, bool is_directory) const;

 private:
  struct TPattern {
    std::string glob;
    bool folders_only = false;
    bool whole_path = false;  // else the last name only
  };
  std::vector<TPattern> patterns_;
};

// One file or folder of a tree. Held by the hundred thousand: the local
// folder's path is shared by the entries in it, and an entry's own local
// path is made only when it is opened.
struct TTreeEntry {
  std::string relative;  // "css/site.css"; folders too ("css"); never empty
  // The local path up to the entry's own name (the last of relative): its
  // folder's path with a separator at its end, "" for a bare name.
  std::shared_ptr<const std::string> local_folder;
  bool is_directory = false;
  int64_t size = -1;     // files: bytes (of the link's target for a link)
  int64_t modified = 0;  // seconds since 1970 UTC

  // The last name of relative.
  std::string_view Name() const;
  // What to open: local_folder and Name(), as JoinLocalPath would join them.
  std::string LocalPath() const;
};

// Why an entry was left out or could not be read; the walk goes on.
struct TTreeNotice {
  std::string relative;  // empty for the root itself
  std::string message;   // "is a link to a folder; skipped", "cannot read folder: Permission denied"
  bool failure = false;  // true when something that should be sent cannot be; false for plain skips
};

// Walks the folder root depth first: within each folder, its subfolders (each
// followed by everything below it) come first, then its files, each group in
// byte order of the names. Dotfiles are included; links to files are followed
// (the entry describes the target); the root is followed when it is a link.
// A link to a folder, a link loop, a FIFO, a socket or a device is reported
// through on_notice and skipped; so is a folder that cannot be read (a failure,
// and it is not listed), and a name that is no Unicode text (a failure: a
// Windows name with an unpaired surrogate, which no server name can carry). An excluded entry is left out silently and an excluded
// folder is not entered. Files that cannot be opened are still listed, and
// folders are listed even when empty. A root that is not a readable folder
// gives no entries and one failure notice.
std::vector<TTreeEntry> WalkLocalTree(const std::string& root, const TExcludeList& excludes,
                                      const std::function<void(const TTreeNotice&)>& on_notice);

}  // namespace zud
