// The tool's exit statuses by cause. The deploy engine names a failure by
// its kind (deploy/failure.h); the numbers are the command line's.
#pragma once

#include "deploy/failure.h"
#include "util/api.h"

namespace ZUD_API zud {

enum class TExitStatus : int {
  kStored = 0,          // stored (or usage / version shown)
  kLocalFile = 1,       // a local file missing or unreadable
  kCommandLine = 2,     // bad command line
  kNotResolved = 3,     // host name not resolved
  kConnectFailed = 4,   // connection refused, unreachable, closed, proxy
  kLoginRefused = 5,    // greeting or login refused
  kTLS = 6,             // TLS failure
  kRefused = 7,         // the server refused the directory or the store
  kTransferFailed = 8,  // data connection failed, transfer incomplete
  kTimeout = 9,         // no answer within the timeout
  kLocked = 10,         // another deploy holds the lock
  kHeldBack = 11,       // held back: deletes past the guard, a state file of another tree
  kInterrupted = 130,   // Ctrl-C or SIGTERM
};

// The exit status for a failure of that kind (kStored for none).
TExitStatus ExitStatusOf(TDeployFailure kind);

}  // namespace zud
