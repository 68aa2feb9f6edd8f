// Loading the OpenSSL calls at run time (see tls_openssl_api.h).
#include "sockets/tls_openssl_api.h"

#include <cstdio>

#include "util/dynlib.h"

namespace zud::openssl {

namespace {

// The library's file names across platforms, tried in order; OpenSSL 3 keeps
// its major version in them.
constexpr const char* kLibraryNames[] = {"libssl.so.3", "libssl.3.dylib", "libssl-3-x64.dll",
                                         "libssl-3.dll"};
constexpr unsigned long kLowestVersion = 0x30000000UL;

struct TLoaded {
  TApi api;
  bool ok = false;
  std::string error;
};

#ifdef ZUD_OPENSSL_LINKED
TLoaded Load() {
  TLoaded loaded;
#define ZUD_OPENSSL_TAKE(name) loaded.api.name = &::name;
  ZUD_OPENSSL_CALLS(ZUD_OPENSSL_TAKE)
#undef ZUD_OPENSSL_TAKE
  loaded.ok = true;
  return loaded;
}
#else
TLoaded Load() {
  TLoaded loaded;
  void* library = nullptr;
  std::string reason;
  for (const char* name : kLibraryNames) {
    library = LoadSharedLibrary(name, reason);
    if (library != nullptr) break;
  }
  if (library == nullptr) {
    loaded.error = "the OpenSSL 3 library cannot be loaded (" + reason + ")";
    return loaded;
  }
  const char* missing = nullptr;
#define ZUD_OPENSSL_LOAD(name)                                                       \
  loaded.api.name = reinterpret_cast<decltype(&::name)>(                             \
      FindSharedLibrarySymbol(library, #name));                                      \
  if (loaded.api.name == nullptr && missing == nullptr) missing = #name;
  ZUD_OPENSSL_CALLS(ZUD_OPENSSL_LOAD)
#undef ZUD_OPENSSL_LOAD
  if (missing != nullptr) {
    loaded.error = std::string("the OpenSSL library lacks ") + missing;
    return loaded;
  }
  const unsigned long version = loaded.api.OpenSSL_version_num();
  if (version < kLowestVersion) {
    char text[16];
    std::snprintf(text, sizeof text, "%lx", version);
    loaded.error = std::string("OpenSSL 3 or later is needed, found version ") + text;
    return loaded;
  }
  loaded.ok = true;
  return loaded;
}
#endif

}  // namespace

const TApi* LoadApi(std::string& error) {
  static const TLoaded loaded = Load();
  error = loaded.error;
  return loaded.ok ? &loaded.api : nullptr;
}

}  // namespace zud::openssl
