// Run-time library loading on POSIX (dlopen / dlsym).
#include "util/dynlib.h"

#include <dlfcn.h>

namespace zud {

void* LoadSharedLibrary(const std::string& file_name, std::string& error) {
  // RTLD_LOCAL: the library's symbols must not satisfy later lookups of other
  // libraries by accident.
  void* library = ::dlopen(file_name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = ::dlerror();
    error = reason != nullptr ? reason : "cannot load " + file_name;
  } else {
    error.clear();
  }
  return library;
}

void* FindSharedLibrarySymbol(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return ::dlsym(library, name);
}

}  // namespace zud
