#include "frontend/progressmeter.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace zud {
namespace {

// Below this the rate is mostly noise from the first burst.
constexpr uint64_t kMinRateSampleMs = 100;

}  // namespace

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

std::string FormatProgress(int64_t sent, int64_t total, uint64_t elapsed_ms) {
  sent = std::max<int64_t>(sent, 0);
  total = std::max<int64_t>(total, 0);
  // A file that grew while it was sent must not read beyond 100%.
  const int64_t shown_total = std::max(total, sent);
  const int64_t percent = shown_total == 0
                              ? 100
                              : static_cast<int64_t>(static_cast<double>(sent) * 100.0 /
                                                     static_cast<double>(shown_total));
  std::string line = FormatByteSize(sent) + " of " + FormatByteSize(shown_total) + "  " +
                     std::to_string(percent) + "%  ";
  if (elapsed_ms < kMinRateSampleMs || sent == 0) return line + "--/s  --:-- left";
  const double rate = static_cast<double>(sent) * 1000.0 / static_cast<double>(elapsed_ms);
  const double left = static_cast<double>(shown_total - sent) / rate;
  // Rounded up: "0:00 left" only when nothing is left.
  const auto left_seconds =
      static_cast<int64_t>(left) + (left > static_cast<int64_t>(left) ? 1 : 0);
  return line + FormatByteSize(static_cast<int64_t>(rate)) + "/s  " + FormatDuration(left_seconds) +
         " left";
}

std::string FormatSummary(int64_t sent, uint64_t elapsed_ms) {
  // A transfer quicker than a millisecond still gets a finite rate.
  const double seconds = static_cast<double>(std::max<uint64_t>(elapsed_ms, 1)) / 1000.0;
  const auto rate = static_cast<int64_t>(static_cast<double>(std::max<int64_t>(sent, 0)) / seconds);
  return FormatByteSize(std::max<int64_t>(sent, 0)) + " sent in " +
         FormatDuration(static_cast<int64_t>(elapsed_ms / 1000)) + " (" + FormatByteSize(rate) +
         "/s)";
}

TProgressMeter::TProgressMeter(int64_t total, TDraw draw, TClock clock)
    : total_(total), draw_(std::move(draw)), clock_(std::move(clock)) {}

void TProgressMeter::Start() {
  if (started_) return;
  started_ = true;
  start_ms_ = clock_();
}

void TProgressMeter::Advance(int64_t bytes) {
  Start();
  sent_ += std::max<int64_t>(bytes, 0);
  const uint64_t now = clock_();
  if (drawn_ && now - last_draw_ms_ < kRedrawIntervalMs) return;
  drawn_ = true;
  last_draw_ms_ = now;
  draw_(FormatProgress(sent_, total_, now - start_ms_));
}

void TProgressMeter::Redraw() {
  if (!started_) return;
  const uint64_t now = clock_();
  drawn_ = true;
  last_draw_ms_ = now;
  draw_(FormatProgress(sent_, total_, now - start_ms_));
}

void TProgressMeter::Finish() {
  if (!drawn_) return;
  drawn_ = false;
  draw_("");
}

}  // namespace zud
