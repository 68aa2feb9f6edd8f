#include "frontend/progressmeter.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "frontend/console.h"
#include "util/compat.h"

namespace zud {
namespace {

// Below this the rate is mostly noise from the first burst.
constexpr uint64_t kMinRateSampleMs = 100;

}  // namespace

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

// ---- TTransferMeter ------------------------------------------------------------------

TTransferMeter::TTransferMeter(int64_t total, std::function<std::string()> prefix)
    : prefix_(std::move(prefix)) {
  if (!StatusLineAvailable()) return;
  meter_ = std::make_unique<TProgressMeter>(
      total,
      [this](const std::string& line) {
        if (line.empty()) {
          ClearStatusLine();
        } else {
          ShowStatusLine(prefix_ ? prefix_() + line : line);
        }
      },
      MonotonicMilliseconds);
  total_ = total;
}

void TTransferMeter::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (meter_) meter_->Start();
}

void TTransferMeter::Advance(int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (meter_) meter_->Advance(bytes);
}

void TTransferMeter::End(bool stored) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!meter_ || ended_) return;
  ended_ = true;
  const int64_t sent = meter_->sent();
  const uint64_t elapsed = meter_->elapsed_ms();
  if (stored) {
    meter_->Redraw();  // the line reaches 100% before the summary replaces it
    KeepStatusLine(FormatSummary(sent, elapsed));
  } else if (sent > 0) {
    KeepStatusLine(FormatProgress(sent, total_, elapsed));
  }
  meter_->Finish();
}

}  // namespace zud
