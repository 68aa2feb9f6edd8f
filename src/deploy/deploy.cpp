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

const char* PlanActionWord(TPlanAction action) {
  switch (action) {
    case TPlanAction::kMakeFolder: return "mkdir";
    case TPlanAction::kSend: return "send";
    case TPlanAction::kDelete: return "delete";
    case TPlanAction::kRemoveFolder: return "rmdir";
  }
  return "";
}

const char* FileOutcomeWord(TFileOutcome outcome) {
  switch (outcome) {
    case TFileOutcome::kStored: return "sent";
    case TFileOutcome::kAlreadyComplete: return "already-complete";
    case TFileOutcome::kUnchanged: return "unchanged";
    case TFileOutcome::kSkipped: return "skipped";
    case TFileOutcome::kFailed: return "failed";
    case TFileOutcome::kNotSent: return "not-sent";
    case TFileOutcome::kDeleted: return "deleted";
    case TFileOutcome::kFolderMade: return "folder-made";
  }
  return "";
}

const char* DeleteHoldWord(TDeleteHold hold) {
  switch (hold) {
    case TDeleteHold::kNone: return "";
    case TDeleteHold::kSendFailed: return "send-failed";
    case TDeleteHold::kOverLimit: return "over-limit";
    case TDeleteHold::kEverything: return "everything";
    case TDeleteHold::kNoLocalFiles: return "no-local-files";
  }
  return "";
}

TDeployResult RunDeploy(const TDeployOptions& options) {
  const uint64_t started = MonotonicMilliseconds();
  TRunTally tally(options);
  if (options.Sync || options.Parallel > 1 || options.ParallelAuto) {
    RunSync(tally);
  } else {
    RunFolderUpload(tally);
  }
  TDeployResult result;
  result.failure = tally.Interrupted() ? TDeployFailure::kInterrupted : tally.first();
  result.counts = tally.counts();
  result.hold = tally.hold();
  result.missing_folder = tally.missing_folder();
  result.sessions = tally.sessions_most();
  result.sessions_refused = tally.sessions_refused();
  result.plan = tally.TakePlan(result.plan_complete);
  result.files = tally.TakeFiles();
  result.elapsed_ms = MonotonicMilliseconds() - started;
  return result;
}

}  // namespace zud
