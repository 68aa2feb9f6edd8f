// The progress meter shown while a file is sent: one line such as
//   "1.5 MiB of 10.0 MiB  15%  2.3 MiB/s  0:04 left"
// redrawn at most every kRedrawIntervalMs and erased at the end (the upload
// job replaces it with a FormatSummary line instead).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "deploy/figures.h"
#include "util/api.h"

namespace ZUD_API zud {

// The meter's line for sent of total bytes after elapsed_ms. The rate and
// the time left read "--" until some time has passed and bytes have moved.
std::string FormatProgress(int64_t sent, int64_t total, uint64_t elapsed_ms);
// The line left after a finished transfer:
//   "1.5 MiB sent in 0:04 (384.0 KiB/s)"
std::string FormatSummary(int64_t sent, uint64_t elapsed_ms);

class TProgressMeter {
 public:
  static constexpr uint64_t kRedrawIntervalMs = 250;

  // Shows a line; an empty line erases what was shown.
  using TDraw = std::function<void(const std::string& line)>;
  // Milliseconds from any fixed point.
  using TClock = std::function<uint64_t()>;

  TProgressMeter(int64_t total, TDraw draw, TClock clock);
  ~TProgressMeter() { Finish(); }
  TProgressMeter(const TProgressMeter&) = delete;
  TProgressMeter& operator=(const TProgressMeter&) = delete;

  // Starts the clock for the rate, unless it runs already.
  void Start();
  // Counts bytes sent (starting the clock if needed) and redraws when the
  // first bytes arrive or kRedrawIntervalMs have passed since the last draw.
  void Advance(int64_t bytes);
  // Erases the line if one was drawn.
  void Finish();
  // Draws the line now, whatever the interval, once the clock runs.
  void Redraw();

  int64_t sent() const { return sent_; }
  // Since the clock started; 0 before.
  uint64_t elapsed_ms() const { return started_ ? clock_() - start_ms_ : 0; }

 private:
  int64_t total_;
  TDraw draw_;
  TClock clock_;
  int64_t sent_ = 0;
  bool started_ = false;
  uint64_t start_ms_ = 0;
  bool drawn_ = false;
  uint64_t last_draw_ms_ = 0;
};

// A progress meter on the status line, on a terminal only (else every call
// does nothing). Ends with the summary of a finished transfer, or with the
// line as far as it got. prefix, when set, is put before each line (folder
// mode shows the files done there). Sessions in several threads may share one.
class TTransferMeter {
 public:
  explicit TTransferMeter(int64_t total, std::function<std::string()> prefix = nullptr);
  void Start();
  void Advance(int64_t bytes);
  void End(bool stored);

 private:
  std::mutex mutex_;
  std::unique_ptr<TProgressMeter> meter_;
  std::function<std::string()> prefix_;
  int64_t total_ = 0;
  bool ended_ = false;
};

}  // namespace zud
