// Feeds arbitrary bytes to the MLSD fact parser as a whole MLSD reply: every
// line is an entry or an unparsed line (or a skipped cdir/pdir), names are
// never empty, sizes never negative, and the entries are views that stay
// readable while the list lives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/ftplist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  zud::TFTPList list;
  list.LoadLinesFromText(text);
  list.ParseMachineLines();
  if (static_cast<size_t>(list.EntryCount()) + list.UnparsedLines.size() > list.Lines.size()) {
    __builtin_trap();
  }
  size_t bytes = 0;
  for (const zud::TFTPListRec* entry : list.Entries) {
    if (entry->EntryName.empty() || entry->SizeBytes < 0 || entry->MatchedMask != "MLSD") {
      __builtin_trap();
    }
    bytes += std::string(entry->EntryName).size() + std::string(entry->SourceLine).size();
  }
  if (bytes > 2 * size) __builtin_trap();
  return 0;
}
