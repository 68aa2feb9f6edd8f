// Feeds arbitrary bytes to the sync state file reader (the file comes from
// the server): whatever it accepts holds only plain relative paths, sizes
// that are not negative and 64-digit lowercase digests, and writes back to
// the same state; read in two pieces, it gives what it gives read whole.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "deploy/syncstate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<zud::TSyncState> state = zud::ParseSyncState(text);
  // Read as it arrives, cut anywhere, it gives the same.
  zud::TSyncStateReader reader;
  const size_t cut = size == 0 ? 0 : data[0] % size;
  reader.Add(text.substr(0, cut));
  reader.Add(text.substr(cut));
  if (reader.Finish() != state) __builtin_trap();
  if (!state) return 0;
  for (const auto& [path, record] : state->files) {
    const std::string digest = record.sha256.Hex();
    if (!zud::IsPlainRelativePath(path) || record.size < 0 || digest.size() != 64) {
      __builtin_trap();
    }
    for (char c : digest) {
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) __builtin_trap();
    }
  }
  for (const std::string& folder : state->folders) {
    if (!zud::IsPlainRelativePath(folder)) __builtin_trap();
  }
  if (zud::ParseSyncState(zud::FormatSyncState(*state)) != state) __builtin_trap();
  return 0;
}
