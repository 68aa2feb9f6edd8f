#include "util/version.h"

namespace zud {

// Taken from the library's own build, so a program that compiled against
// another version's headers still reports the library it runs.
std::string VersionText() { return ZUD_VERSION_STRING; }

}  // namespace zud
