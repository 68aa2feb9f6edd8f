// Feeds arbitrary bytes to the listing parser as a whole LIST reply, once
// with the built-in masks and once with masks taken from the input itself.
// A plain list parses through views (and, with the built-in masks, reads
// the commonest lines in one pass), a subclass through the field buffers:
// both must give the same entries.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/ftplist.h"

namespace {

zud::TDateTime FixedNow() {
  zud::TDateTime now = 0;
  zud::TryEncodeDateTime(2006, 3, 15, 12, 0, 0, 0, now);
  return now;
}

void CheckEntries(const zud::TFTPList& list) {
  for (int i = 0; i < list.EntryCount(); ++i) {
    const zud::TFTPListRec* entry = list.GetEntry(i);
    if (entry == nullptr || entry->EntryName.empty() || entry->SizeBytes < 0) __builtin_trap();
  }
  if (list.GetEntry(list.EntryCount()) != nullptr) __builtin_trap();
}

// Everything a parse produced, to compare two parses.
std::string Dump(const zud::TFTPList& list) {
  std::string out;
  for (const zud::TFTPListRec* e : list.Entries) {
    out += std::string(e->EntryName) + '|' + std::to_string(e->IsDirectory) +
           std::to_string(e->IsReadable) + '|' + std::to_string(e->SizeBytes) + '|' +
           std::to_string(e->ModifiedAt) + std::to_string(e->ModifiedIsUtc) + '|' +
           std::string(e->PermissionString) + '|' +
           std::string(e->MatchedMask) + '|' + std::string(e->SourceLine) + '\n';
  }
  for (const zud::TListText line : list.UnparsedLines) out += std::string(line) + '\n';
  return out;
}

class BufferList : public zud::TFTPList {};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The locale month list is process-wide and a "T=" mask may replace it.
  const zud::TMonthRow saved_months = zud::LocaleMonthNames();

  zud::TFTPList list;
  list.OnGetNow = FixedNow;
  list.LoadLinesFromText(text);
  list.ParseLines();
  CheckEntries(list);
  BufferList buffers;
  buffers.OnGetNow = FixedNow;
  buffers.LoadLinesFromText(text);
  buffers.ParseLines();
  if (Dump(buffers) != Dump(list)) __builtin_trap();

  // The first line becomes the only mask, ahead of the built-in ones.
  const size_t cut = text.find('\n');
  if (cut != std::string_view::npos) {
    zud::TFTPList custom;
    custom.OnGetNow = FixedNow;
    custom.Masks.insert(custom.Masks.begin(), std::string(text.substr(0, cut)));
    custom.LoadLinesFromText(text.substr(cut + 1));
    custom.ParseLines();
    CheckEntries(custom);
    zud::TFTPList copy;
    copy.CopyListingFrom(custom);
    if (copy.EntryCount() != custom.EntryCount()) __builtin_trap();
  }

  zud::LocaleMonthNames() = saved_months;
  return 0;
}
