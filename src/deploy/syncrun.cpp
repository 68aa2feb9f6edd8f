#include "deploy/syncrun.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "deploy/jobqueue.h"
#include "deploy/paths.h"
#include "deploy/session.h"
#include "deploy/sessionpool.h"
#include "deploy/syncclean.h"
#include "deploy/syncread.h"
#include "deploy/syncrecord.h"
#include "deploy/syncsend.h"
#include "deploy/synctree.h"

namespace zud {
namespace {

class TSyncRun {
 public:
  explicit TSyncRun(TRunTally& tally)
      : context_(tally),
        tally_(tally),
        options_(tally.options()),
        sessions_(tally),
        recorder_(context_),
        sender_(context_, sessions_, queue_, recorder_) {}

  void Run();

 private:
  // Stages 1 and 2: what the server has, and the plan. False when the run
  // stops.
  bool ReadAndPlan();
  // Stages 3 to 5 (Sync records the state as they go).
  void Transfer();
  // A dry run's plan: complete when every tree was planned.
  void ReportPlan();
  // The files found unchanged and those never sent, for the result.
  void RecordOutcomes();

  TSyncContext context_;
  TRunTally& tally_;
  const TDeployOptions& options_;
  TSessionPool sessions_;
  TJobQueue queue_;
  TStateRecorder recorder_;
  TSyncSender sender_;
  size_t total_sends_ = 0;
};

void TSyncRun::Run() {
  tally_.Stage(TDeployStage::kLocal);
  context_.trees = GatherTrees(tally_);
  if (context_.trees.empty()) return;

  const TDeployFailure login = sessions_.ConnectFirst();
  if (login != TDeployFailure::kNone) {
    tally_.KeepFailure(login);
    RecordOutcomes();
    return;
  }
  // The extra sessions log in while the first one reads and plans; they
  // wait for the files to send.
  if (options_.Parallel > 1 && !options_.DryRun) {
    sessions_.StartExtra(options_.Parallel,
                         [this](TUploadSession& session) { sender_.Work(session); });
  }
  {
    std::optional<TInterruptArming> armed;
    if (options_.HeedInterrupts) armed.emplace(sessions_.Primary().ftp());
    tally_.Stage(TDeployStage::kRemote);
    const bool planned = ReadAndPlan();
    if (options_.DryRun) {
      ReportPlan();
    } else if (planned) {
      Transfer();
    }
  }
  tally_.Stage(TDeployStage::kEnd);
  if (tally_.Interrupted()) {
    tally_.Notice({.kind = TNoticeKind::kInterrupted, .text = "interrupted"});
    tally_.KeepFailure(TDeployFailure::kInterrupted);
  }
  queue_.Close();
  sessions_.AbandonLogins();
  sessions_.Join();
  sessions_.EndAll();
  RecordOutcomes();
}

bool TSyncRun::ReadAndPlan() {
  TUploadSession& primary = sessions_.Primary();
  if (options_.MakeDirs && !options_.DryRun) {
    const std::string base = WithoutTrailingSlash(WithDirectoryEnd(options_.RemoteDir));
    primary.Persist([&] { return primary.MakeFolderChain(base) || !primary.NoteLoss(); });
  }
  TSyncReader reader(context_, primary);
  for (auto& tree : context_.trees) {
    if (tally_.Stopped()) break;
    if (reader.Read(*tree) && reader.Plan(*tree)) continue;
    if (!tally_.Stopped()) {
      const std::string reply = primary.ftp().ResultString();
      tally_.File({.outcome = TFileOutcome::kFailed,
                   .path = WithoutTrailingSlash(tree->root),
                   .folder = true,
                   .failure = TDeployFailure::kTransferFailed,
                   .reply = reply,
                   .message = "cannot read what the server has in " + tree->root + ": " + reply +
                              "; nothing was changed"});
      tally_.Stop();
    }
    break;
  }
  return !tally_.Stopped();
}

void TSyncRun::Transfer() {
  tally_.Stage(TDeployStage::kTransfer);
  total_sends_ = sender_.Run();
  tally_.Stage(TDeployStage::kCleanUp);
  if (tally_.files_tried() < total_sends_ && !tally_.Stopped()) {
    tally_.KeepFailure(TDeployFailure::kTransferFailed);
    tally_.Notice({.kind = TNoticeKind::kError,
                   .text = "no session is left to send the other files",
                   .failure = TDeployFailure::kTransferFailed});
  }
  TUploadSession* session = tally_.Stopped() ? nullptr : sessions_.Alive();
  for (auto& tree : context_.trees) {
    if (session == nullptr || tally_.Stopped()) break;
    if (options_.Delete) DeleteGone(context_, *tree, *session, recorder_);
    recorder_.Finish(*session, *tree);
  }
}

void TSyncRun::ReportPlan() {
  std::vector<TPlanStep> steps;
  for (const auto& tree : context_.trees) {
    const std::string& root = tree->root;
    const TSyncPlan& plan = tree->plan;
    if (plan.make_root) steps.push_back({TPlanAction::kMakeFolder, WithoutTrailingSlash(root)});
    for (const std::string& folder : plan.folders) {
      steps.push_back({TPlanAction::kMakeFolder, JoinRemote(root, folder)});
    }
    for (const TSyncSend& send : plan.sends) {
      steps.push_back({TPlanAction::kSend, JoinRemote(root, send.entry->relative), send.reason,
                       std::max<int64_t>(0, send.entry->size)});
    }
    for (const std::string& file : plan.deletes) {
      steps.push_back({TPlanAction::kDelete, JoinRemote(root, file)});
    }
    for (const std::string& folder : plan.removals) {
      steps.push_back({TPlanAction::kRemoveFolder, JoinRemote(root, folder)});
    }
  }
  tally_.Plan(std::move(steps), !tally_.Stopped());
}

void TSyncRun::RecordOutcomes() {
  for (const auto& tree : context_.trees) {
    for (const TTreeEntry* entry : tree->plan.unchanged_files) {
      tally_.Record(
          {.outcome = TFileOutcome::kUnchanged, .path = JoinRemote(tree->root, entry->relative)});
    }
  }
  for (const TSyncJob& job : queue_.Untaken()) {
    tally_.Record({.outcome = TFileOutcome::kNotSent,
                   .path = JoinRemote(job.tree->root, job.entry->relative)});
  }
}

}  // namespace

void RunSync(TRunTally& tally) { TSyncRun(tally).Run(); }

}  // namespace zud
