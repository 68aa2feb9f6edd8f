// Feeds arbitrary bytes to the sync state file reader (the file comes from
// the server): whatever it accepts holds only plain relative paths, sizes
// that are not negative and 64-digit lowercase digests, and writes back to
// the same state.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "deploy/syncstate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<zud::TSyncState> state = zud::ParseSyncState(text);
  if (!state) return 0;
  for (const auto& [path, record] : state->files) {
    if (!zud::IsPlainRelativePath(path) || record.size < 0 || record.sha256.size() != 64) {
      __builtin_trap();
    }
    for (char c : record.sha256) {
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) __builtin_trap();
    }
  }
  for (const std::string& folder : state->folders) {
    if (!zud::IsPlainRelativePath(folder)) __builtin_trap();
  }
  if (zud::ParseSyncState(zud::FormatSyncState(*state)) != state) __builtin_trap();
  return 0;
}
