#include <string>

#include "util/version.h"

std::string SharedVersion() { return zud::VersionText(); }
