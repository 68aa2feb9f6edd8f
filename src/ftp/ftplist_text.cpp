// The containers of the listing parser: entry texts, listing lines kept as
// views of one text, and entries kept in reusable blocks.
#include <cstring>
#include <ostream>

#include "ftp/ftplist.h"

namespace zud {

// ---- TListText ----------------------------------------------------------------

TListText& TListText::Assign(std::string_view text) {
  if (text.empty()) {
    Release();
    data_ = "";
    size_ = 0;
    return *this;
  }
  char* copy = new char[text.size()];
  std::memcpy(copy, text.data(), text.size());
  Release();
  data_ = copy;
  size_ = text.size();
  owned_ = true;
  return *this;
}

TListText& TListText::operator=(const TListText& other) {
  if (&other != this) Assign(other.view());
  return *this;
}

TListText& TListText::operator=(TListText&& other) noexcept {
  if (&other != this) {
    Release();
    Steal(other);
  }
  return *this;
}

std::ostream& operator<<(std::ostream& out, const TListText& text) { return out << text.view(); }

// ---- TListLines ---------------------------------------------------------------

namespace {

constexpr size_t kMinBlockBytes = 16 * 1024;

// Offset of the first byte below 14 (CR, LF and NUL among them), or end.
// Eight bytes at a time: listing text is mostly printable.
size_t FindControlByte(const char* text, size_t from, size_t end) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  size_t i = from;
  while (i + 8 <= end) {
    uint64_t word;
    std::memcpy(&word, text + i, 8);
    // A byte below 14 borrows in word - 14s and had no high bit of its own.
    const uint64_t hits = (word - kOnes * 14) & ~word & kHighs;
    if (hits != 0) return i + static_cast<size_t>(__builtin_ctzll(hits) / 8);
    i += 8;
  }
  while (i < end && static_cast<unsigned char>(text[i]) >= 14) ++i;
  return i;
}

}  // namespace

TListLines& TListLines::operator=(const TListLines& other) {
  if (&other == this) return *this;
  clear();
  size_t bytes = 0;
  for (std::string_view line : other.lines_) bytes += line.size();
  BlockFor(bytes);
  lines_.reserve(other.lines_.size());
  for (std::string_view line : other.lines_) push_back(line);
  return *this;
}

TListLines& TListLines::operator=(std::initializer_list<std::string_view> lines) {
  clear();
  for (std::string_view line : lines) push_back(line);
  return *this;
}

std::string& TListLines::BlockFor(size_t bytes) {
  if (!blocks_.empty()) {
    std::string& last = *blocks_.back();
    if (last.capacity() - last.size() >= bytes) return last;
  }
  std::shared_ptr<std::string> block;
  if (spare_ && spare_->capacity() >= bytes) {
    block = std::move(spare_);
    block->clear();
  } else {
    block = std::make_shared<std::string>();
    block->reserve(std::max(bytes, kMinBlockBytes));
  }
  blocks_.push_back(std::move(block));
  return *blocks_.back();
}

void TListLines::push_back(std::string_view line) {
  std::string& block = BlockFor(line.size());
  // Within the reserved capacity: the text of earlier lines does not move.
  const size_t at = block.size();
  block.append(line);
  lines_.emplace_back(block.data() + at, line.size());
}

void TListLines::clear() {
  lines_.clear();
  for (std::shared_ptr<std::string>& block : blocks_) {
    if (block.use_count() == 1 && (!spare_ || block->capacity() > spare_->capacity())) {
      spare_ = std::move(block);
    }
  }
  blocks_.clear();
}

void TListLines::LoadText(std::string_view text) {
  clear();
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  if (text.empty()) return;
  std::string& block = BlockFor(text.size());
  const size_t base = block.size();
  block.append(text);
  const char* data = block.data() + base;
  const size_t end = text.size();
  lines_.reserve(lines_.size() + end / 48 + 1);
  size_t start = 0;
  size_t pos = 0;
  while (start < end) {
    pos = FindControlByte(data, pos, end);
    if (pos == end) {
      lines_.emplace_back(data + start, end - start);
      break;
    }
    const char c = data[pos];
    if (c != '\r' && c != '\n') {  // another control byte inside a line
      ++pos;
      continue;
    }
    lines_.emplace_back(data + start, pos - start);
    start = pos + 1;
    if (c == '\r' && start < end && data[start] == '\n') ++start;
    pos = start;
  }
}

// ---- TFTPListEntries ----------------------------------------------------------

TFTPListEntries::TFTPListEntries() = default;
TFTPListEntries::~TFTPListEntries() = default;

void TFTPListEntries::push_back(std::unique_ptr<TFTPListRec> entry) {
  if (!entry) return;
  items_.push_back(entry.get());
  owned_.push_back(std::move(entry));
}

void TFTPListEntries::clear() {
  items_.clear();
  owned_.clear();
  plain_used_ = 0;
}

TFTPListRec& TFTPListEntries::AppendPlain() {
  const size_t block = plain_used_ / kBlockSize;
  if (block == blocks_.size()) blocks_.push_back(std::make_unique<TFTPListRec[]>(kBlockSize));
  TFTPListRec& entry = blocks_[block][plain_used_ % kBlockSize];
  ++plain_used_;
  // A reused record may still hold texts of its own from an earlier listing.
  entry.EntryName.Refer({});
  entry.IsDirectory = false;
  entry.IsReadable = false;
  entry.SizeBytes = 0;
  entry.ModifiedAt = 0.0;
  entry.ModifiedIsUtc = false;
  entry.SourceLine.Refer({});
  entry.MatchedMask.Refer({});
  entry.PermissionString.Refer({});
  items_.push_back(&entry);
  return entry;
}

void TFTPListEntries::PopPlain() {
  items_.pop_back();
  --plain_used_;
}

}  // namespace zud
