// Platform clock and sleep. The only place above the socket binding that
// talks to the operating system's timing calls.
#pragma once

#include <cstdint>

namespace zud {

// Suspends the calling thread; 0 yields the processor once.
void SleepMilliseconds(uint32_t milliseconds);
// Raw monotonic clock in milliseconds (the tick counter keeps its low 32 bits).
uint64_t MonotonicMilliseconds();

}  // namespace zud
