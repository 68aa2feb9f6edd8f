#include "deploy/syncstate.h"

#include <string>
#include <vector>

namespace zud {
namespace {

constexpr std::string_view kHeader = "ftpupload-sync 2";
constexpr std::string_view kHeaderVersion1 = "ftpupload-sync 1";
// Far beyond any real file or date, short of overflowing anything.
constexpr int64_t kLargestNumber = 999999999999999999;  // 18 digits

std::optional<int64_t> ReadNumber(std::string_view text, bool allow_negative) {
  bool negative = false;
  if (allow_negative && !text.empty() && text[0] == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n > kLargestNumber) return std::nullopt;
  return negative ? -n : n;
}

std::optional<std::string> ReadDigest(std::string_view text) {
  if (text.size() != 64) return std::nullopt;
  std::string digest(text);
  for (char& c : digest) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  }
  return digest;
}

// Splits off the text before the next tab; false when there is none.
bool TakeField(std::string_view& rest, std::string_view& field) {
  const size_t tab = rest.find('\t');
  if (tab == std::string_view::npos) return false;
  field = rest.substr(0, tab);
  rest.remove_prefix(tab + 1);
  return true;
}

}  // namespace

bool IsSyncStateName(std::string_view name) {
  for (const std::string_view state : {kSyncStateName, kOldSyncStateName}) {
    if (!name.starts_with(state)) continue;
    const std::string_view rest = name.substr(state.size());
    if (rest.empty() || rest == kSyncStatePartSuffix || rest == kSyncLockSuffix) return true;
  }
  return false;
}

bool IsPlainRelativePath(std::string_view path) {
  if (path.empty() || path.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    return false;
  }
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find('/', start);
    const std::string_view name = path.substr(start, slash - start);
    if (name.empty() || name == "." || name == "..") return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

std::optional<TSyncState> ParseSyncState(std::string_view text, std::string* error) {
  const auto fail = [error](size_t line, const std::string& why) -> std::optional<TSyncState> {
    if (error != nullptr) *error = "line " + std::to_string(line) + ": " + why;
    return std::nullopt;
  };
  if (text.size() > kMaxSyncStateBytes) return fail(0, "larger than the state file may be");
  TSyncState state;
  size_t number = 0;
  bool version1 = false;
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return fail(number, "no line end (cut short?)");
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (number == 1) {
      version1 = line == kHeaderVersion1;
      if (line != kHeader && !version1) return fail(number, "not a state file of this version");
      continue;
    }
    std::string_view kind;
    if (!TakeField(line, kind)) return fail(number, "no fields");
    if (kind == "R" && !version1) {
      if (line.empty() || !state.root.empty()) return fail(number, "bad root");
      state.root = line;
      continue;
    }
    if (kind == "D") {
      if (!IsPlainRelativePath(line)) return fail(number, "bad path");
      if (!state.folders.insert(std::string(line)).second) return fail(number, "path repeated");
      continue;
    }
    if (kind != "F") return fail(number, "unknown kind of line");
    std::string_view size_text, time_text, digest_text;
    if (!TakeField(line, size_text) || !TakeField(line, time_text) ||
        !TakeField(line, digest_text)) {
      return fail(number, "too few fields");
    }
    const std::optional<int64_t> size = ReadNumber(size_text, false);
    const std::optional<int64_t> modified = ReadNumber(time_text, true);
    std::optional<std::string> digest = ReadDigest(digest_text);
    if (!size) return fail(number, "bad size");
    if (!modified) return fail(number, "bad time");
    if (!digest) return fail(number, "bad SHA-256");
    if (!IsPlainRelativePath(line)) return fail(number, "bad path");
    const bool added =
        state.files.emplace(std::string(line), TSyncRecord{*size, *modified, std::move(*digest)})
            .second;
    if (!added) return fail(number, "path repeated");
  }
  if (number == 0) return fail(1, "empty");
  return state;
}

std::string FormatSyncState(const TSyncState& state) {
  std::string text(kHeader);
  text += '\n';
  if (!state.root.empty()) text += "R\t" + state.root + '\n';
  for (const std::string& folder : state.folders) {
    text += "D\t" + folder + '\n';
  }
  for (const auto& [path, record] : state.files) {
    text += "F\t" + std::to_string(record.size) + '\t' + std::to_string(record.modified) + '\t' +
            record.sha256 + '\t' + path + '\n';
  }
  return text;
}

}  // namespace zud
