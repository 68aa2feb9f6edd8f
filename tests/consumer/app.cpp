// Prints the library's version and parses one "ls -l" line; exits 1 when
// the parsed entry or the version is not what it should be.
#include <cstdio>
#include <string>

#include "ftp/ftplist.h"
#include "util/version.h"
#include "zud/version.h"

static_assert(ZUD_VERSION_MAJOR >= 1, "zud/version.h not generated");

int main() {
  zud::TFTPList list;
  list.LoadLinesFromText("-rw-r--r--   1 owner    group        1234 Jan 02  2023 notes.txt\r\n");
  list.ParseLines();
  const zud::TFTPListRec* entry = list.GetEntry(0);
  const bool ok = list.EntryCount() == 1 && entry->EntryName == "notes.txt" &&
                  entry->SizeBytes == 1234 && !entry->IsDirectory &&
                  zud::VersionText() == ZUD_VERSION_STRING;
  std::printf("zud %s: %s\n", zud::VersionText().c_str(),
              entry ? entry->EntryName.str().c_str() : "(no entry)");
  return ok ? 0 : 1;
}
