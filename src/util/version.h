// The library's version: the ZUD_VERSION_* macros for checks at compile
// time, VersionText for the version the library was built as.
#pragma once

#include <string>

#include "util/api.h"
#include "zud/version.h"

namespace ZUD_API zud {

// "MAJOR.MINOR.PATCH" of the built library, e.g. "1.0.0".
std::string VersionText();

}  // namespace zud
