#include "deploy/syncrun.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "deploy/jobqueue.h"
#include "deploy/paths.h"
#include "deploy/session.h"
#include "deploy/sessionpool.h"
#include "deploy/syncclean.h"
#include "deploy/syncfolders.h"
#include "deploy/synclock.h"
#include "deploy/syncread.h"
#include "deploy/syncrecord.h"
#include "deploy/syncsend.h"
#include "deploy/synctree.h"
#include "util/process.h"

namespace zud {
namespace {

// Whether a sync of tree changes anything on the server.
bool WillChange(const TSyncTree& tree) {
  const TSyncPlan& plan = tree.plan;
  return plan.make_root || !plan.folders.empty() || !plan.sends.empty() ||
         !plan.deletes.empty() || !plan.removals.empty() || StateToWrite(tree);
}

size_t DeletesOf(const TSyncTree& tree) {
  return tree.plan.deletes.size() + tree.plan.removals.size();
}

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
  // Takes the lock of every tree the run changes (after its root, where
  // the lock lies in it), then reads its state file again: a run that
  // finished meanwhile has the tree read and planned afresh. False when the
  // run stops (reported).
  bool Lock();
  // The unchanged files counted and the conflicts reported, once the plans
  // stand.
  // The files to send, so that a run stopped before it sends counts them.
  void CountSends();
  void CountPlans();
  // Deletes held back, before any is made, when they would take more than
  // MaxDelete, or without it every remote file of a tree or a tree with no
  // local file.
  void GuardDeletes();
  // Stages 3 to 5 (Sync records the state as they go).
  void Transfer();
  // A dry run's plan: complete when every tree was planned.
  void ReportPlan();
  // The folders MKD would make for folder: itself, and with MakeDirs its
  // missing parents (asked with CWD), the topmost first.
  std::vector<std::string> MissingFolders(const std::string& folder);
  // The run's last steps, also after a stop: after an interrupt the state
  // files record what arrived; the locks go.
  void CleanUp();
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
  bool transfer_started_ = false;
};

void TSyncRun::Run() {
  tally_.Stage(TDeployStage::kLocal);
  context_.trees = GatherTrees(tally_);
  // What the walk freed (each folder's listing) goes back to the system.
  ReturnFreeMemory();
  if (context_.trees.empty()) return;
  if (options_.Sync && !options_.StateFile.empty() && context_.trees.size() > 1) {
    tally_.KeepFailure(TDeployFailure::kHeldBack);
    tally_.Notice({.kind = TNoticeKind::kError,
                   .text = "one state file keeps one tree, and the sources make " +
                           std::to_string(context_.trees.size()) + "; nothing was sent",
                   .failure = TDeployFailure::kHeldBack});
    return;
  }

  const TDeployFailure login = sessions_.ConnectFirst();
  if (login != TDeployFailure::kNone) {
    tally_.KeepFailure(login);
    RecordOutcomes();
    return;
  }
  // The extra sessions log in while the first one reads and plans; they
  // wait for the files to send.
  if (SessionCeiling(options_) > 1 && !options_.DryRun) {
    sessions_.StartExtra([this](TUploadSession& session) { sender_.Work(session); });
  }
  {
    std::optional<TInterruptArming> armed;
    if (options_.HeedInterrupts) armed.emplace(sessions_.Primary().ftp());
    tally_.Stage(TDeployStage::kRemote);
    const bool planned = ReadAndPlan();
    ReturnFreeMemory();  // the listings and the state file as read
    if (options_.DryRun) {
      CountPlans();
      GuardDeletes();
      ReportPlan();
    } else if (planned) {
      CountSends();
      if (Lock()) {
        CountPlans();
        GuardDeletes();
        Transfer();
      }
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
  CleanUp();
  sessions_.EndAll();
  RecordOutcomes();
}

bool TSyncRun::ReadAndPlan() {
  TUploadSession& primary = sessions_.Primary();
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

bool TSyncRun::Lock() {
  if (!options_.Sync) return true;
  TUploadSession& primary = sessions_.Primary();
  TSyncReader reader(context_, primary);
  for (auto& tree : context_.trees) {
    if (tally_.Stopped()) return false;
    if (!WillChange(*tree)) continue;
    if (tree->plan.make_root && tree->state_path.starts_with(tree->root)) {
      bool made = false;
      if (!MakeTreeRoot(context_, *tree, primary, made) || !made) {
        tally_.Stop();
        return false;
      }
    }
    tree->lock = std::make_unique<TDeployLock>(tally_, tree->state_path + std::string(kSyncLockSuffix));
    if (tree->lock->Take(primary) != TDeployFailure::kNone) {
      tally_.Stop();
      return false;
    }
    bool changed = false;
    if (!reader.StateChanged(*tree, changed)) return false;
    if (!changed) continue;
    tally_.Notice({.kind = TNoticeKind::kNote,
                   .text = "another deploy wrote " + tree->state_path +
                           " since it was read; reading the server again"});
    if (!reader.Read(*tree) || !reader.Plan(*tree)) return false;
  }
  return !tally_.Stopped();
}

void TSyncRun::CountSends() {
  size_t files = 0;
  int64_t bytes = 0;
  for (const auto& tree : context_.trees) {
    files += tree->plan.sends.size();
    for (const TSyncSend& send : tree->plan.sends) bytes += std::max<int64_t>(0, send.entry->size);
  }
  tally_.SetTransfers(files, bytes);
}

void TSyncRun::CountPlans() {
  for (const auto& tree : context_.trees) {
    tally_.CountUnchanged(tree->plan.unchanged);
    for (const TSyncConflict& conflict : tree->plan.conflicts) {
      tally_.File({.outcome = TFileOutcome::kFailed,
                   .path = tree->root + conflict.relative,
                   .failure = TDeployFailure::kRefused,
                   .message = "not sent " + tree->root + conflict.relative + ": " + conflict.reason});
    }
  }
}

void TSyncRun::GuardDeletes() {
  size_t deletes = 0;
  for (const auto& tree : context_.trees) deletes += DeletesOf(*tree);
  if (deletes == 0) return;
  TDeleteHold hold = TDeleteHold::kNone;
  std::string why;
  if (options_.MaxDelete >= 0) {
    if (deletes > static_cast<uint64_t>(options_.MaxDelete)) {
      hold = TDeleteHold::kOverLimit;
      why = "the run would delete " + std::to_string(deletes) + " files and folders, more than " +
            std::to_string(options_.MaxDelete);
    }
  } else {
    for (const auto& tree : context_.trees) {
      if (DeletesOf(*tree) == 0) continue;
      const TSyncInputs& in = tree->inputs;
      const bool local_files = std::any_of(in.local.begin(), in.local.end(),
                                           [](const TTreeEntry& e) { return !e.is_directory; });
      size_t remote_files = 0;
      for (const auto& [relative, remote] : in.remote) {
        if (!remote.is_directory && !remote.is_link && !remote.excluded) ++remote_files;
      }
      if (!local_files) {
        hold = TDeleteHold::kNoLocalFiles;
        why = "the local side of " + tree->root + " holds no file";
      } else if (tree->plan.deletes.size() == remote_files) {
        hold = TDeleteHold::kEverything;
        why = "the run would delete every file in " + tree->root;
      }
      if (hold != TDeleteHold::kNone) break;
    }
  }
  if (hold == TDeleteHold::kNone) return;
  for (auto& tree : context_.trees) {
    tree->plan.deletes.clear();
    tree->plan.removals.clear();
  }
  tally_.HoldDeletes(deletes, hold);
  tally_.KeepFailure(TDeployFailure::kHeldBack);
  tally_.Notice({.kind = TNoticeKind::kError,
                 .text = "nothing was deleted: " + why,
                 .failure = TDeployFailure::kHeldBack,
                 .hint = TDeployHint::kTooManyDeletes});
}

void TSyncRun::Transfer() {
  tally_.Stage(TDeployStage::kTransfer);
  transfer_started_ = true;
  total_sends_ = sender_.Run();
  tally_.ReportHalt();
  tally_.Stage(TDeployStage::kCleanUp);
  if (tally_.files_tried() < total_sends_ && !tally_.Stopped() && !tally_.SendsHalted()) {
    tally_.KeepFailure(TDeployFailure::kTransferFailed);
    tally_.Notice({.kind = TNoticeKind::kError,
                   .text = "no session is left to send the other files",
                   .failure = TDeployFailure::kTransferFailed});
  }
  TUploadSession* session = tally_.Stopped() ? nullptr : sessions_.Alive();
  // rclone's rule: after a failure, nothing is deleted.
  size_t deletes = 0;
  for (const auto& tree : context_.trees) deletes += DeletesOf(*tree);
  if (options_.Delete && deletes > 0 && tally_.counts().failed > 0) {
    tally_.HoldDeletes(deletes, TDeleteHold::kSendFailed);
    tally_.Notice({.kind = TNoticeKind::kWarning,
                   .text = std::to_string(deletes) + (deletes == 1 ? " delete" : " deletes") +
                           " held back: something in this run failed"});
  }
  for (auto& tree : context_.trees) {
    if (session == nullptr || tally_.Stopped()) break;
    if (options_.Delete && tally_.hold() == TDeleteHold::kNone) {
      DeleteGone(context_, *tree, *session, recorder_);
    }
    recorder_.Finish(*session, *tree);
  }
}

std::vector<std::string> TSyncRun::MissingFolders(const std::string& folder) {
  std::vector<std::string> missing = {folder};
  if (!options_.MakeDirs) return missing;
  TUploadSession& session = sessions_.Primary();
  for (std::string parent = RemoteParent(folder); !parent.empty() && parent != "/";
       parent = RemoteParent(parent)) {
    bool exists = false;
    session.Persist([&] {
      exists = RemoteFolderExists(session.ftp(), parent);
      return exists || !session.NoteLoss();
    });
    if (exists || tally_.Stopped()) break;
    missing.insert(missing.begin(), parent);
  }
  return missing;
}

void TSyncRun::ReportPlan() {
  std::vector<TPlanStep> steps;
  size_t count = 0;
  for (const auto& tree : context_.trees) {
    const TSyncPlan& plan = tree->plan;
    count += plan.folders.size() + plan.sends.size() + plan.deletes.size() + plan.removals.size();
  }
  steps.reserve(count + 16);  // a step for each; a few for missing parents
  std::set<std::string> made;
  for (const auto& tree : context_.trees) {
    const std::string& root = tree->root;
    const TSyncPlan& plan = tree->plan;
    if (!RootMayBeMade(context_, *tree, sessions_.Primary().number())) continue;  // as a run would stop
    if (plan.make_root) {
      for (const std::string& folder : MissingFolders(WithoutTrailingSlash(root))) {
        if (made.insert(folder).second) steps.push_back({TPlanAction::kMakeFolder, folder});
      }
    }
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

void TSyncRun::CleanUp() {
  const bool locked = std::any_of(context_.trees.begin(), context_.trees.end(),
                                  [](const auto& tree) { return tree->lock && tree->lock->held(); });
  // After a stop, the files that arrived are recorded all the same.
  const bool record = options_.Sync && transfer_started_ && tally_.Stopped();
  if (!locked && !record) return;
  TUploadSession* session = sessions_.ForCleanup();
  for (auto& tree : context_.trees) {
    if (session != nullptr && record) recorder_.Finish(*session, *tree);
    if (!tree->lock || !tree->lock->held()) continue;
    if (session != nullptr && !session->lost()) {
      tree->lock->Release(*session);
    } else {
      tally_.Notice({.kind = TNoticeKind::kWarning,
                     .text = "the lock " + tree->lock->path() +
                             " stays: no session is left to remove it; the next run takes it "
                             "over once it is stale (" +
                             std::to_string(kLockStaleSeconds / 60) + " minutes)"});
    }
  }
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
