// Process start-up and shut-down of the socket layer. The program runs
// StartSocketLayer once before any socket object is made (after ResolverLock
// exists) and StopSocketLayer once after the last one is gone.
#pragma once

#include <string_view>

#include "util/api.h"

namespace ZUD_API zud {

// Loads and starts the platform socket interface. Throws EZudiravError with
// the message and ErrorMessage "Error loading Socket interface
// (ws2_32.dll)!" and ErrorCode 0 when it cannot be loaded; the process
// cannot go on then.
void StartSocketLayer();
// The same with another loader (tests use a failing one).
void StartSocketLayerUsing(bool (*load)(std::string_view library_name));
// Stops and releases the interface; does nothing unless a start succeeded.
void StopSocketLayer();

}  // namespace zud
