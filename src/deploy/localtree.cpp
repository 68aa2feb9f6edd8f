#include "deploy/localtree.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

#include "util/stream.h"

namespace zud {

// ---- MatchGlob ------------------------------------------------------------

namespace {

// One step of a compiled glob.
struct TGlobToken {
  enum class Kind {
    kChar,     // this character
    kOne,      // "?"
    kSet,      // "[...]"
    kStar,     // "*": any run without "/"
    kAnyRun,   // "**": any run
    kAnyDirs,  // "**/": nothing, or any run that ends with "/"
  };
  Kind kind = Kind::kChar;
  char c = 0;
  bool negated = false;
  std::vector<std::pair<unsigned char, unsigned char>> ranges;  // for kSet, inclusive
};

// Reads the set that starts after the "[" at pattern[at]; returns the index
// after its "]", or nothing when the set never closes.
std::optional<size_t> ParseSet(std::string_view pattern, size_t at, TGlobToken& token) {
  token.kind = TGlobToken::Kind::kSet;
  size_t i = at;
  if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) {
    token.negated = true;
    ++i;
  }
  const size_t first = i;
  while (i < pattern.size()) {
    if (pattern[i] == ']' && i != first) return i + 1;
    unsigned char low = static_cast<unsigned char>(pattern[i]);
    if (pattern[i] == '\\' && i + 1 < pattern.size()) low = static_cast<unsigned char>(pattern[++i]);
    ++i;
    unsigned char high = low;
    // "a-z"; a "-" right before the closing "]" is a plain "-".
    if (i + 1 < pattern.size() && pattern[i] == '-' && pattern[i + 1] != ']') {
      ++i;
      high = static_cast<unsigned char>(pattern[i]);
      if (pattern[i] == '\\' && i + 1 < pattern.size()) high = static_cast<unsigned char>(pattern[++i]);
      ++i;
    }
    token.ranges.emplace_back(low, high);
  }
  return std::nullopt;
}

std::vector<TGlobToken> CompileGlob(std::string_view pattern) {
  std::vector<TGlobToken> tokens;
  size_t i = 0;
  while (i < pattern.size()) {
    TGlobToken token;
    const char c = pattern[i];
    if (c == '\\') {
      token.c = i + 1 < pattern.size() ? pattern[i + 1] : '\\';
      i += 2;
    } else if (c == '*') {
      size_t end = i;
      while (end < pattern.size() && pattern[end] == '*') ++end;
      if (end - i == 1) {
        token.kind = TGlobToken::Kind::kStar;
      } else if (end < pattern.size() && pattern[end] == '/' && (i == 0 || pattern[i - 1] == '/')) {
        token.kind = TGlobToken::Kind::kAnyDirs;
        ++end;  // the "/" belongs to the token
      } else {
        token.kind = TGlobToken::Kind::kAnyRun;
      }
      i = end;
    } else if (c == '?') {
      token.kind = TGlobToken::Kind::kOne;
      ++i;
    } else if (c == '[') {
      const std::optional<size_t> after = ParseSet(pattern, i + 1, token);
      if (after) {
        i = *after;
      } else {
        token = TGlobToken{};
        token.c = '[';
        ++i;
      }
    } else {
      token.c = c;
      ++i;
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

bool InSet(const TGlobToken& token, char c) {
  const auto byte = static_cast<unsigned char>(c);
  const bool found = std::any_of(token.ranges.begin(), token.ranges.end(),
                                 [byte](const auto& r) { return r.first <= byte && byte <= r.second; });
  return found != token.negated;
}

// Lets every token that is next to match and may match nothing pass on to the
// one after it.
void Close(const std::vector<TGlobToken>& tokens, std::vector<char>& states) {
  for (size_t i = 0; i < tokens.size(); ++i) {
    const TGlobToken::Kind kind = tokens[i].kind;
    if (states[i] && (kind == TGlobToken::Kind::kStar || kind == TGlobToken::Kind::kAnyRun ||
                      kind == TGlobToken::Kind::kAnyDirs)) {
      states[i + 1] = 1;
    }
  }
}

}  // namespace

// Runs the pattern as a set of live positions over the text at once, so that
// many stars cost no backtracking. at[i]: token i is next to match; inside[i]:
// a "**/" token has taken characters and may end only at a "/".
bool MatchGlob(std::string_view pattern, std::string_view text) {
  const std::vector<TGlobToken> tokens = CompileGlob(pattern);
  const size_t count = tokens.size();
  std::vector<char> at(count + 1, 0), inside(count + 1, 0);
  std::vector<char> next_at(count + 1, 0), next_inside(count + 1, 0);
  at[0] = 1;
  Close(tokens, at);
  for (const char c : text) {
    std::fill(next_at.begin(), next_at.end(), 0);
    std::fill(next_inside.begin(), next_inside.end(), 0);
    bool alive = false;
    for (size_t i = 0; i < count; ++i) {
      if (!at[i] && !inside[i]) continue;
      const TGlobToken& token = tokens[i];
      bool advance = false;
      switch (token.kind) {
        case TGlobToken::Kind::kChar:
          advance = c == token.c;
          break;
        case TGlobToken::Kind::kOne:
          advance = c != '/';
          break;
        case TGlobToken::Kind::kSet:
          advance = c != '/' && InSet(token, c);
          break;
        case TGlobToken::Kind::kStar:
          if (c != '/') next_at[i] = alive = true;
          break;
        case TGlobToken::Kind::kAnyRun:
          next_at[i] = alive = true;
          break;
        case TGlobToken::Kind::kAnyDirs:
          next_inside[i] = alive = true;
          advance = c == '/';
          break;
      }
      if (advance) next_at[i + 1] = alive = true;
    }
    if (!alive) return false;
    Close(tokens, next_at);
    at.swap(next_at);
    inside.swap(next_inside);
  }
  return at[count] != 0;
}

// ---- TExcludeList ---------------------------------------------------------

void TExcludeList::Add(std::string pattern) {
  if (BackslashSeparates) std::replace(pattern.begin(), pattern.end(), '\\', '/');
  TPattern added;
  while (!pattern.empty() && pattern.back() == '/') {
    pattern.pop_back();
    added.folders_only = true;
  }
  added.whole_path = pattern.find('/') != std::string::npos;
  if (added.whole_path) {
    const size_t start = pattern.find_first_not_of('/');
    pattern.erase(0, start == std::string::npos ? pattern.size() : start);
  }
  if (pattern.empty()) return;
  added.glob = std::move(pattern);
  patterns_.push_back(std::move(added));
}

bool TExcludeList::ExcludesItself(std::string_view relative_path, bool is_directory) const {
  const size_t slash = relative_path.rfind('/');
  const std::string_view last_name =
      slash == std::string_view::npos ? relative_path : relative_path.substr(slash + 1);
  for (const TPattern& pattern : patterns_) {
    if (pattern.folders_only && !is_directory) continue;
    if (MatchGlob(pattern.glob, pattern.whole_path ? relative_path : last_name)) return true;
  }
  return false;
}

bool TExcludeList::Excludes(std::string_view relative_path, bool is_directory) const {
  if (patterns_.empty()) return false;
  for (size_t slash = relative_path.find('/'); slash != std::string_view::npos;
       slash = relative_path.find('/', slash + 1)) {
    if (ExcludesItself(relative_path.substr(0, slash), true)) return true;
  }
  return ExcludesItself(relative_path, is_directory);
}

// ---- WalkLocalTree --------------------------------------------------------

std::string_view TTreeEntry::Name() const {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string_view(relative)
                                    : std::string_view(relative).substr(slash + 1);
}

std::string TTreeEntry::LocalPath() const {
  std::string path = local_folder ? *local_folder : std::string();
  path += Name();
  return path;
}

namespace {

// A listed folder, while the walk is below it.
struct TOpenFolder {
  std::vector<TTreeEntry> folders;  // in byte order of the names
  size_t next_folder = 0;
  std::vector<TTreeEntry> files;    // sent after the last subfolder's tree
};

class TTreeWalker {
 public:
  TTreeWalker(const TExcludeList& excludes, const std::function<void(const TTreeNotice&)>& on_notice)
      : excludes_(excludes), on_notice_(on_notice) {}

  // Lists one folder and sorts what is in it; nothing when it cannot be read.
  std::optional<TOpenFolder> Open(const std::string& relative, const std::string& local_path) {
    // What every entry's local path starts with: JoinLocalPath(folder, name)
    // is this and the name.
    const auto prefix = std::make_shared<const std::string>(JoinLocalPath(local_path, ""));
    std::vector<std::string> names, unnamed;
    std::string error;
    if (!ListLocalDirectory(local_path, names, error, &unnamed)) {
      // Removed since its parent was listed: gone like a vanished file, no failure.
      if (!relative.empty() && QueryLocalPath(local_path).kind == TLocalKind::kMissing) {
        Notify(relative, "vanished; skipped", false);
      } else {
        Notify(relative, "cannot read folder: " + error, true);
      }
      return std::nullopt;
    }
    for (const std::string& name : unnamed) {
      Notify(relative.empty() ? name : relative + '/' + name,
             "the name is no Unicode text (an unpaired surrogate); not sent", true);
    }
    std::sort(names.begin(), names.end());
    TOpenFolder folder;
    for (const std::string& name : names) {
      TTreeEntry entry;
      entry.relative = relative.empty() ? name : relative + '/' + name;
      entry.local_folder = prefix;
      const TLocalPathInfo info = QueryLocalPath(*prefix + name);
      entry.is_directory = info.kind == TLocalKind::kDirectory;
      entry.size = info.size;
      entry.modified = info.modified;
      if (excludes_.ExcludesItself(entry.relative, entry.is_directory)) continue;
      switch (info.kind) {
        case TLocalKind::kDirectory:
          // Not followed: a link back up would make the walk endless.
          if (info.is_link) {
            Notify(entry.relative, "is a link to a folder; skipped", false);
          } else {
            folder.folders.push_back(std::move(entry));
          }
          break;
        case TLocalKind::kFile:
          folder.files.push_back(std::move(entry));
          break;
        case TLocalKind::kOther:
          Notify(entry.relative, "is " + info.error + "; skipped", false);
          break;
        case TLocalKind::kLinkLoop:
          Notify(entry.relative, "link loop; skipped", false);
          break;
        case TLocalKind::kMissing:
          Notify(entry.relative, info.is_link ? "is a link to nothing; skipped" : "vanished; skipped",
                 false);
          break;
        case TLocalKind::kUnreadable:
          Notify(entry.relative, "cannot examine: " + info.error, true);
          break;
      }
    }
    return folder;
  }

  void Notify(const std::string& relative, std::string message, bool failure) {
    if (on_notice_) on_notice_(TTreeNotice{relative, std::move(message), failure});
  }

 private:
  const TExcludeList& excludes_;
  const std::function<void(const TTreeNotice&)>& on_notice_;
};

}  // namespace

std::vector<TTreeEntry> WalkLocalTree(const std::string& root, const TExcludeList& excludes,
                                      const std::function<void(const TTreeNotice&)>& on_notice) {
  TTreeWalker walker(excludes, on_notice);
  std::vector<TTreeEntry> entries;

  const TLocalPathInfo info = QueryLocalPath(root);
  if (info.kind != TLocalKind::kDirectory) {
    const bool exists = info.kind == TLocalKind::kFile || info.kind == TLocalKind::kOther;
    walker.Notify("", exists ? "is not a folder" : "cannot read folder: " + info.error, true);
    return entries;
  }
  std::optional<TOpenFolder> top = walker.Open("", root);
  if (!top) return entries;

  // An explicit stack: a deep tree costs heap, not call stack.
  std::vector<TOpenFolder> open;
  open.push_back(std::move(*top));
  while (!open.empty()) {
    TOpenFolder& folder = open.back();
    if (folder.next_folder < folder.folders.size()) {
      TTreeEntry entry = std::move(folder.folders[folder.next_folder++]);
      std::optional<TOpenFolder> below = walker.Open(entry.relative, entry.LocalPath());
      if (!below) continue;
      entries.push_back(std::move(entry));
      open.push_back(std::move(*below));  // folder is not used after this
      continue;
    }
    std::move(folder.files.begin(), folder.files.end(), std::back_inserter(entries));
    open.pop_back();
  }
  return entries;
}

}  // namespace zud
