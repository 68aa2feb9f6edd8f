// A run's figures as people read them: byte counts and durations.
#pragma once

#include <cstdint>
#include <string>

#include "util/api.h"

namespace ZUD_API zud {

// A byte count for people: "512 B", then KiB, MiB, GiB or TiB with one
// decimal ("1.5 KiB").
std::string FormatByteSize(int64_t bytes);
// Whole seconds as "m:ss" below an hour, else "h:mm:ss".
std::string FormatDuration(int64_t seconds);

}  // namespace zud
