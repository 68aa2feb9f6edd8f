// Loading a shared library at run time, for optional parts of the program
// that a plain run should not pay for (the TLS library is mapped only when a
// TLS session is first asked for).
//
// A library, once loaded, stays loaded until the process ends: libraries such
// as OpenSSL register exit handlers and cannot be unloaded safely.
#pragma once

#include <string>

#include "util/api.h"

namespace ZUD_API zud {

// Loads the library by file name (searched the platform's usual way) and
// returns its handle, or nullptr with the platform's reason in error.
void* LoadSharedLibrary(const std::string& file_name, std::string& error);
// The address of a symbol of a loaded library (or of a library it depends
// on); nullptr when there is none.
void* FindSharedLibrarySymbol(void* library, const char* name);

}  // namespace zud
