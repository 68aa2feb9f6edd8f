// Process start-up and shut-down of the socket layer.
//
// On Windows the start-up would also call WSAStartup(0x0202) and the
// shut-down WSACleanup; this platform has neither, so loading the binding is
// all there is to do.
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
  started = true;
}

void StopSocketLayer() {
  if (!started.exchange(false)) return;
  UnloadSocketInterface();
}

}  // namespace zud
