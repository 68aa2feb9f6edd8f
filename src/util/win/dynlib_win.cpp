// Run-time library loading on Windows (LoadLibrary / GetProcAddress).
#include "util/dynlib.h"

#include <windows.h>

namespace zud {

void* LoadSharedLibrary(const std::string& file_name, std::string& error) {
  HMODULE library = LoadLibraryA(file_name.c_str());
  if (library == nullptr) {
    error = "cannot load " + file_name + " (Windows error " + std::to_string(GetLastError()) + ")";
  } else {
    error.clear();
  }
  return reinterpret_cast<void*>(library);
}

void* FindSharedLibrarySymbol(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace zud
