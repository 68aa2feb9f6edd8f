// Process start-up and shut-down of the socket layer: load the binding and
// start the interface (WSAStartup 2.2 on Windows), then stop it (WSACleanup)
// and release the binding.
#include "sockets/socketlayer.h"

#include <atomic>

#include "sockets/blocksocket.h"
#include "util/sockapi.h"

namespace zud {

namespace {

constexpr const char* kLoadFailure = "Error loading Socket interface (ws2_32.dll)!";

std::atomic<bool> started{false};

bool LoadDefault(std::string_view library_name) { return LoadSocketInterface(library_name); }

}  // namespace

void StartSocketLayer() { StartSocketLayerUsing(&LoadDefault); }

void StartSocketLayerUsing(bool (*load)(std::string_view library_name)) {
  if (load == nullptr || !load("ws2_32.dll")) {
    throw EZudiravError(kLoadFailure, 0, kLoadFailure);
  }
  StartSocketInterface();
  started = true;
}

void StopSocketLayer() {
  if (!started.exchange(false)) return;
  StopSocketInterface();
  UnloadSocketInterface();
}

}  // namespace zud
