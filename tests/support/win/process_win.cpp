// The process helpers the Windows test build keeps: only those that need no
// child process.
#include "support/process.h"

#include "support/net.h"

namespace zud::test {

int FreePort(Family family) {
  UniqueFd fd = ListenTcp(LoopbackHost(family), 0);
  return fd.valid() ? LocalEndpoint(fd.get()).port : 0;
}

}  // namespace zud::test
