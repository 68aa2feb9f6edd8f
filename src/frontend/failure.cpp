#include "frontend/failure.h"

namespace zud {

TExitStatus ExitStatusOf(TDeployFailure kind) {
  switch (kind) {
    case TDeployFailure::kNone: return TExitStatus::kStored;
    case TDeployFailure::kLocalFile: return TExitStatus::kLocalFile;
    case TDeployFailure::kNotResolved: return TExitStatus::kNotResolved;
    case TDeployFailure::kConnectFailed: return TExitStatus::kConnectFailed;
    case TDeployFailure::kLoginRefused: return TExitStatus::kLoginRefused;
    case TDeployFailure::kTLS: return TExitStatus::kTLS;
    case TDeployFailure::kRefused: return TExitStatus::kRefused;
    case TDeployFailure::kTransferFailed: return TExitStatus::kTransferFailed;
    case TDeployFailure::kTimeout: return TExitStatus::kTimeout;
    case TDeployFailure::kInterrupted: return TExitStatus::kInterrupted;
    case TDeployFailure::kLocked: return TExitStatus::kLocked;
    case TDeployFailure::kHeldBack: return TExitStatus::kHeldBack;
  }
  return TExitStatus::kTransferFailed;
}

}  // namespace zud
