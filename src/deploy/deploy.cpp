#include "deploy/deploy.h"

#include "deploy/folderrun.h"
#include "deploy/runtally.h"
#include "deploy/syncrun.h"
#include "util/compat.h"

namespace zud {

const char* SendReasonWord(TSendReason reason) {
  switch (reason) {
    case TSendReason::kNew: return "new";
    case TSendReason::kSize: return "size";
    case TSendReason::kTime: return "time";
    case TSendReason::kContent: return "content";
    case TSendReason::kMissing: return "missing";
    case TSendReason::kOlder: return "older";
  }
  return "new";
}

TDeployResult RunDeploy(const TDeployOptions& options) {
  const uint64_t started = MonotonicMilliseconds();
  TRunTally tally(options);
  if (options.Sync || options.Parallel > 1) {
    RunSync(tally);
  } else {
    RunFolderUpload(tally);
  }
  TDeployResult result;
  result.failure = tally.Interrupted() ? TDeployFailure::kInterrupted : tally.first();
  result.counts = tally.counts();
  result.missing_folder = tally.missing_folder();
  result.plan = tally.TakePlan(result.plan_complete);
  result.files = tally.TakeFiles();
  result.elapsed_ms = MonotonicMilliseconds() - started;
  return result;
}

}  // namespace zud
