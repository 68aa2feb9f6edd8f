#include "deploy/syncstate.h"

#include <cstdint>
#include <string>
#include <vector>

#include "util/sha256.h"

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

// Splits off the text before the next tab; false when there is none.
bool TakeField(std::string_view& rest, std::string_view& field) {
  const size_t tab = rest.find('\t');
  if (tab == std::string_view::npos) return false;
  field = rest.substr(0, tab);
  rest.remove_prefix(tab + 1);
  return true;
}

}  // namespace

TContentDigest::TContentDigest(std::string_view hex) {
  if (hex.size() != 2 * bytes_.size()) return;
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < bytes_.size(); ++i) {
    const int high = nibble(hex[2 * i]);
    const int low = nibble(hex[2 * i + 1]);
    if (high < 0 || low < 0) {
      bytes_ = {};
      return;
    }
    bytes_[i] = static_cast<uint8_t>(high * 16 + low);
  }
  known_ = true;
}

std::string TContentDigest::Hex() const {
  std::string hex;
  AppendHex(hex);
  return hex;
}

void TContentDigest::AppendHex(std::string& out) const {
  if (!known_) return;
  static constexpr char kDigits[] = "0123456789abcdef";
  for (const uint8_t byte : bytes_) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
}

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

void TSyncStateReader::Fail(const std::string& why) {
  if (error_.empty()) error_ = "line " + std::to_string(number_) + ": " + why;
}

void TSyncStateReader::Add(std::string_view piece) {
  if (!error_.empty()) return;
  bytes_ += piece.size();
  if (bytes_ > kMaxSyncStateBytes) {
    number_ = 0;
    return Fail("larger than the state file may be");
  }
  while (!piece.empty() && error_.empty()) {
    const size_t end = piece.find('\n');
    if (end == std::string_view::npos) {
      partial_.append(piece);
      return;
    }
    if (partial_.empty()) {
      Line(piece.substr(0, end));
    } else {
      partial_.append(piece.substr(0, end));
      Line(partial_);
      partial_.clear();
    }
    piece.remove_prefix(end + 1);
  }
}

void TSyncStateReader::Line(std::string_view line) {
  ++number_;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (number_ == 1) {
    version1_ = line == kHeaderVersion1;
    if (line != kHeader && !version1_) Fail("not a state file of this version");
    return;
  }
  std::string_view kind;
  if (!TakeField(line, kind)) return Fail("no fields");
  if (kind == "R" && !version1_) {
    if (line.empty() || !state_.root.empty()) return Fail("bad root");
    state_.root = line;
    return;
  }
  if (kind == "D") {
    if (!IsPlainRelativePath(line)) return Fail("bad path");
    if (!state_.folders.insert(std::string(line)).second) Fail("path repeated");
    return;
  }
  if (kind != "F") return Fail("unknown kind of line");
  std::string_view size_text, time_text, digest_text;
  if (!TakeField(line, size_text) || !TakeField(line, time_text) ||
      !TakeField(line, digest_text)) {
    return Fail("too few fields");
  }
  const std::optional<int64_t> size = ReadNumber(size_text, false);
  const std::optional<int64_t> modified = ReadNumber(time_text, true);
  const TContentDigest digest(digest_text);
  if (!size) return Fail("bad size");
  if (!modified) return Fail("bad time");
  if (digest.empty()) return Fail("bad SHA-256");
  if (!IsPlainRelativePath(line)) return Fail("bad path");
  const bool added =
      state_.files.emplace(std::string(line), TSyncRecord{*size, *modified, digest}).second;
  if (!added) Fail("path repeated");
}

std::optional<TSyncState> TSyncStateReader::Finish(std::string* error) {
  if (error_.empty() && !partial_.empty()) {
    ++number_;
    Fail("no line end (cut short?)");
  }
  if (error_.empty() && number_ == 0) {
    number_ = 1;
    Fail("empty");
  }
  if (!error_.empty()) {
    if (error != nullptr) *error = error_;
    return std::nullopt;
  }
  return std::move(state_);
}

std::optional<TSyncState> ParseSyncState(std::string_view text, std::string* error) {
  TSyncStateReader reader;
  reader.Add(text);
  return reader.Finish(error);
}

bool TSyncStateFormatter::Next(std::string& out, size_t max) {
  const size_t start = out.size();
  while (part_ != TPart::kDone && out.size() - start < max) {
    switch (part_) {
      case TPart::kHeader:
        out += kHeader;
        out += '\n';
        if (!state_.root.empty()) out += "R\t" + state_.root + '\n';
        part_ = TPart::kFolders;
        break;
      case TPart::kFolders: {
        auto it = last_.empty() ? state_.folders.begin() : state_.folders.upper_bound(last_);
        for (; it != state_.folders.end() && out.size() - start < max; ++it) {
          out += "D\t";
          out += *it;
          out += '\n';
          last_ = *it;
        }
        if (it == state_.folders.end()) {
          part_ = TPart::kFiles;
          last_.clear();
        }
        break;
      }
      case TPart::kFiles: {
        auto it = last_.empty() ? state_.files.begin() : state_.files.upper_bound(last_);
        for (; it != state_.files.end() && out.size() - start < max; ++it) {
          const auto& [path, record] = *it;
          out += "F\t";
          out += std::to_string(record.size);
          out += '\t';
          out += std::to_string(record.modified);
          out += '\t';
          record.sha256.AppendHex(out);
          out += '\t';
          out += path;
          out += '\n';
          last_ = path;
        }
        if (it == state_.files.end()) part_ = TPart::kDone;
        break;
      }
      case TPart::kDone:
        break;
    }
  }
  return out.size() > start;
}

std::string FormatSyncState(const TSyncState& state) {
  std::string text;
  TSyncStateFormatter formatter(state);
  while (formatter.Next(text, SIZE_MAX)) {
  }
  return text;
}

std::string DigestOfSyncState(const TSyncState& state) {
  TSha256 hasher;
  TSyncStateFormatter formatter(state);
  std::string piece;
  while (formatter.Next(piece, 64u << 10)) {
    hasher.Update(piece);
    piece.clear();
  }
  return HexOfDigest(hasher.Final());
}

}  // namespace zud
