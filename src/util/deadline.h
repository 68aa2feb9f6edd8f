// A time budget shared by the several waits of one operation (a reply of
// many lines, a proxy answer read in parts): each wait gets only what is left,
// so a peer that trickles its answer cannot stretch the operation past it.
#pragma once

#include <algorithm>
#include <cstdint>

#include "util/api.h"
#include "util/textutil.h"

namespace ZUD_API zud {

class TDeadline {
 public:
  // timeout in ms; negative means no limit, 0 only looks.
  explicit TDeadline(int32_t timeout) : timeout_(timeout), start_(ReadTickCounter()) {}

  // The ms left for the next wait: -1 without limit, 0 once spent (a wait of
  // 0 still takes what has already arrived).
  int32_t Left() const {
    if (timeout_ < 0) return -1;
    const uint32_t spent = ComputeTickSpan(start_, ReadTickCounter());
    return spent >= static_cast<uint32_t>(timeout_) ? 0 : timeout_ - static_cast<int32_t>(spent);
  }

 private:
  int32_t timeout_;
  uint32_t start_;
};

}  // namespace zud
