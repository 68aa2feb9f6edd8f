// What the sessions of one run share: the counts and the first failure, the
// folders known to exist or known to be missing, the stop, and the caller's
// hooks. Every event goes through here: counted, kept for the result and
// handed to its hook, one at a time.
//
// Sessions in several threads share one tally: every member locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "deploy/deploy.h"
#include "deploy/failure.h"

namespace zud {

class TRunTally {
 public:
  explicit TRunTally(const TDeployOptions& options);
  TRunTally(const TRunTally&) = delete;
  TRunTally& operator=(const TRunTally&) = delete;

  const TDeployOptions& options() const { return options_; }

  // ---- Events ----
  // A file's or folder's outcome: counted (a failure keeps its kind as the
  // run's if it is the first), kept for the result, handed to OnFile.
  void File(TFileEvent event);
  // An outcome kept for the result only: neither counted nor handed on
  // (the files a run never sent, those a sync found unchanged). Outcomes
  // are kept only with KeepOutcomes.
  void Record(TFileEvent event);
  void Notice(TDeployNotice notice);
  void Dialogue(TDialogueLine line);
  // A file's data connection opened (bytes 0), or bytes went over it.
  void Progress(int session, int64_t bytes);
  void Stage(TDeployStage stage);
  void SessionStart(int session);
  // A dry run's plan: kept for the result, and handed to OnPlan when
  // complete (every tree planned).
  void Plan(std::vector<TPlanStep> steps, bool complete);

  // Keeps kind as the run's if it is the first failure (nothing counted).
  void KeepFailure(TDeployFailure kind);
  // The remote folder, the parent of what was to be made or stored there,
  // is missing (and MakeDirs is off): one notice, and the run stops.
  void FolderMissing(const std::string& folder, int session);
  const std::string& missing_folder() const { return missing_folder_; }
  // A file tried but not sent because the run stopped: counted as not sent.
  void TriedNotSent(TFileEvent event);

  // ---- Files to send, for progress and the files not sent ----
  void SetTransfers(size_t files, int64_t bytes);
  // One more file tried, whatever became of it.
  void FileTried();
  void CountUnchanged(size_t files);

  // ---- Folders made or found on the server, and those that could not be made ----
  bool FolderKnown(const std::string& remote);
  void AddKnownFolder(const std::string& remote);
  bool FolderFailed(const std::string& remote);
  void AddFailedFolder(const std::string& remote);
  // True the first time a folder is named: a hint about it is given once.
  bool FirstProbe(const std::string& remote);

  // ---- Replies no later file escapes ----
  // A store into folder succeeded.
  void StoreSucceeded(const std::string& folder);
  // A store into folder was refused with the reply code and line (after
  // its data went: transferred). After kHopelessRefusals stores in a row
  // the server could not write (452, 552, a 451 after the data or naming a
  // write, the space or a quota: a full disk, a quota), or refusals in one
  // folder where nothing was stored (550, 553: no permission), no more
  // files are sent: SendsHalted, and the files waiting are not tried.
  void StoreRefused(const std::string& folder, int code, const std::string& line,
                    bool transferred);
  bool SendsHalted() const { return halted_; }
  // After sending was halted: one notice naming the cause and how many
  // files were not tried.
  void ReportHalt();

  // ---- Permissions (SITE CHMOD) ----
  // True the first time: the server refused a mode, and no more are sent.
  bool RefuseModes() { return !modes_refused_.exchange(true); }
  bool ModesRefused() const { return modes_refused_; }

  // ---- Sessions ----
  // now sessions are logged in; refused: the server refused one more.
  void SessionsLoggedIn(int now, bool refused);
  int sessions_most() const { return sessions_most_; }
  bool sessions_refused() const { return sessions_refused_; }

  // ---- Deletes held back ----
  void HoldDeletes(size_t count, TDeleteHold why);
  TDeleteHold hold() const;

  // ---- Stopping ----
  // Ends the run: every session stops at its next step.
  void Stop() { stop_ = true; }
  bool Stopped() const { return stop_ || Interrupted(); }
  // A stop on request: Cancel, or an interrupt the run heeds.
  bool Interrupted() const;

  TDeployFailure first() const;
  TDeployCounts counts() const;
  size_t files_tried() const;
  // The outcomes kept so far, handed over.
  std::vector<TFileEvent> TakeFiles();
  std::vector<TPlanStep> TakePlan(bool& complete);

 private:
  const TDeployOptions& options_;
  mutable std::mutex mutex_;  // the state below
  std::mutex hooks_;          // one hook call at a time
  std::atomic<bool> stop_{false};
  TDeployFailure first_ = TDeployFailure::kNone;
  TDeployCounts counts_;
  size_t files_total_ = 0;
  size_t files_tried_ = 0;
  size_t tried_not_sent_ = 0;
  std::string missing_folder_;
  int64_t bytes_total_ = 0;
  int64_t bytes_done_ = 0;
  std::vector<TFileEvent> files_;
  std::vector<TPlanStep> plan_;
  bool plan_complete_ = false;
  std::set<std::string> known_folders_;
  std::set<std::string> failed_folders_;
  std::set<std::string> probed_;
  // Refusals no later file escapes, and what halted the sends.
  std::atomic<bool> halted_{false};
  std::atomic<bool> modes_refused_{false};
  std::atomic<int> sessions_most_{0};
  std::atomic<bool> sessions_refused_{false};
  int space_refusals_ = 0;  // in a row
  std::map<std::string, int> folder_refusals_;  // -1: something was stored there
  std::string halt_cause_;
  TDeleteHold hold_ = TDeleteHold::kNone;
};

inline constexpr int kHopelessRefusals = 3;

}  // namespace zud
