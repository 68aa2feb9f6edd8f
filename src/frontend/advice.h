// What the tool says after a failure: the line that replaces the engine's
// words where a switch is the answer, and the advice line that follows a
// reason ("hint: the server wants TLS before the login: add /tls").
#pragma once

#include <string>

#include "deploy/failure.h"
#include "frontend/settings.h"
#include "util/api.h"

namespace ZUD_API zud {

// The line for a failure of path, in the tool's words where a hint calls for
// a switch ("site is a folder; add /recursive to upload its tree").
std::string FailureLine(const TFailure& failure, const std::string& path);

// The advice line that follows a failure with this hint, naming the switches
// that help as settings stand; "" when the hint has none (or FailureLine has
// said it already).
std::string AdviceLine(TDeployHint hint, const TUploadSettings& settings);

}  // namespace zud
