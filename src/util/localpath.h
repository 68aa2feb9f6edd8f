// What the local platform allows in paths and names: the facts that code
// above util asks for instead of testing the platform itself.
#pragma once

#include <string>
#include <string_view>

#include "util/api.h"

namespace ZUD_API zud {

// True for a character that separates names in a local path: "/" on every
// platform, and "\" on Windows.
bool IsLocalPathSeparator(char c);

// Why the local platform cannot hold a file or folder of this name, "" when
// it can. Linux holds every name a listing can show; Windows refuses what
// WindowsNameRefusal names.
std::string LocalNameRefusal(std::string_view name);

// Why Windows refuses a name (UTF-8), "" when it does not: "is a reserved
// device name" (CON, PRN, AUX, NUL, COM0..COM9, LPT0..LPT9 and COM/LPT with
// a superscript 1, 2 or 3, in any letter case, also with an extension or
// blanks before it: "nul.txt", "Com1 .log"), "ends in a dot", "ends in a
// blank", "holds the character \":\"" (any of < > : " / \ | ? *), "holds a
// control character" (bytes 1..31).
std::string WindowsNameRefusal(std::string_view name);

}  // namespace zud
