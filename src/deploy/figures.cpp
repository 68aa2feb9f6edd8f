#include "deploy/figures.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace zud {

std::string FormatByteSize(int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  // Moving up at 1023.95 keeps "1024.0 KiB" off the screen.
  while (value >= 1023.95 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatDuration(int64_t seconds) {
  seconds = std::max<int64_t>(seconds, 0);
  const int64_t hours = seconds / 3600;
  const int64_t minutes = seconds / 60 % 60;
  const int64_t secs = seconds % 60;
  char text[48];
  if (hours > 0) {
    std::snprintf(text, sizeof(text), "%lld:%02lld:%02lld", static_cast<long long>(hours),
                  static_cast<long long>(minutes), static_cast<long long>(secs));
  } else {
    std::snprintf(text, sizeof(text), "%lld:%02lld", static_cast<long long>(minutes),
                  static_cast<long long>(secs));
  }
  return text;
}

}  // namespace zud
