#include "deploy/runtally.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

#include "util/process.h"
#include "util/textutil.h"

namespace zud {

TRunTally::TRunTally(const TDeployOptions& options) : options_(options) {}

void TRunTally::File(TFileEvent event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (event.outcome) {
      case TFileOutcome::kStored:
      case TFileOutcome::kAlreadyComplete:
        ++counts_.stored;
        counts_.bytes += event.bytes;
        break;
      case TFileOutcome::kFailed:
        ++counts_.failed;
        if (event.folder) ++counts_.folders_failed;
        KeepFirstFailure(first_, event.failure);
        break;
      case TFileOutcome::kDeleted:
        ++counts_.deleted;
        if (event.folder) ++counts_.folders_deleted;
        break;
      case TFileOutcome::kFolderMade:
        ++counts_.folders_made;
        break;
      default:
        break;
    }
    if (options_.KeepOutcomes) files_.push_back(event);
  }
  std::lock_guard<std::mutex> lock(hooks_);
  if (options_.OnFile) options_.OnFile(event);
}

void TRunTally::Record(TFileEvent event) {
  if (!options_.KeepOutcomes) return;
  std::lock_guard<std::mutex> lock(mutex_);
  files_.push_back(std::move(event));
}

void TRunTally::Notice(TDeployNotice notice) {
  std::lock_guard<std::mutex> lock(hooks_);
  if (options_.OnNotice) options_.OnNotice(notice);
}

void TRunTally::Dialogue(TDialogueLine line) {
  std::lock_guard<std::mutex> lock(hooks_);
  if (options_.OnDialogue) options_.OnDialogue(line);
}

void TRunTally::Progress(int session, int64_t bytes) {
  // Under the hooks' lock, so that bytes_done only grows from call to call.
  std::lock_guard<std::mutex> hooks(hooks_);
  TDeployProgress progress;
  progress.session = session;
  progress.bytes = bytes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_done_ += bytes;
    progress.bytes_done = bytes_done_;
    progress.bytes_total = bytes_total_;
    progress.files_done = files_tried_;
    progress.files_total = files_total_;
  }
  if (options_.OnProgress) options_.OnProgress(progress);
}

void TRunTally::Stage(TDeployStage stage) {
  std::lock_guard<std::mutex> lock(hooks_);
  if (options_.OnStage) options_.OnStage(stage);
}

void TRunTally::SessionStart(int session) {
  std::lock_guard<std::mutex> lock(hooks_);
  if (options_.OnSessionStart) options_.OnSessionStart(session);
}

void TRunTally::Plan(std::vector<TPlanStep> steps, bool complete) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    plan_ = std::move(steps);
    plan_complete_ = complete;
  }
  std::lock_guard<std::mutex> lock(hooks_);
  if (complete && options_.OnPlan) options_.OnPlan(plan_);
}

void TRunTally::KeepFailure(TDeployFailure kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  KeepFirstFailure(first_, kind);
}

void TRunTally::FolderMissing(const std::string& folder, int session) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!missing_folder_.empty()) return;
    missing_folder_ = folder;
    KeepFirstFailure(first_, TDeployFailure::kRefused);
  }
  Stop();
  Notice({.kind = TNoticeKind::kError,
          .text = "remote directory " + folder + " does not exist",
          .failure = TDeployFailure::kRefused,
          .hint = TDeployHint::kRemoteFolderMissing,
          .path = folder,
          .session = session});
}

void TRunTally::TriedNotSent(TFileEvent event) {
  event.outcome = TFileOutcome::kNotSent;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++tried_not_sent_;
  }
  Record(std::move(event));
}

void TRunTally::SetTransfers(size_t files, int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_total_ = files;
  bytes_total_ = bytes;
}

void TRunTally::FileTried() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++files_tried_;
}

void TRunTally::CountUnchanged(size_t files) {
  std::lock_guard<std::mutex> lock(mutex_);
  counts_.unchanged += files;
}

bool TRunTally::FolderKnown(const std::string& remote) {
  std::lock_guard<std::mutex> lock(mutex_);
  return known_folders_.count(remote) != 0;
}

void TRunTally::AddKnownFolder(const std::string& remote) {
  std::lock_guard<std::mutex> lock(mutex_);
  known_folders_.insert(remote);
}

bool TRunTally::FolderFailed(const std::string& remote) {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_folders_.count(remote) != 0;
}

void TRunTally::AddFailedFolder(const std::string& remote) {
  std::lock_guard<std::mutex> lock(mutex_);
  failed_folders_.insert(remote);
}

bool TRunTally::FirstProbe(const std::string& remote) {
  std::lock_guard<std::mutex> lock(mutex_);
  return probed_.insert(remote).second;
}

void TRunTally::StoreSucceeded(const std::string& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  space_refusals_ = 0;
  folder_refusals_[folder] = -1;
}

void TRunTally::StoreRefused(const std::string& folder, int code, const std::string& line,
                             bool transferred) {
  const std::string lower = LowerCase8(line);
  const auto names = [&lower](std::initializer_list<const char*> words) {
    for (const char* word : words) {
      if (lower.find(word) != std::string::npos) return true;
    }
    return false;
  };
  // 451 is any local trouble ("Append/Restart not permitted" too): one
  // after the data, or naming the disk, counts.
  const bool space = code == 452 || code == 552 ||
                     (code == 451 && (transferred || names({"writ", "space", "quota", "full"})));
  const bool permission = code == 550 || code == 553;
  std::lock_guard<std::mutex> lock(mutex_);
  if (halted_ || (!space && !permission)) return;
  if (space) {
    if (++space_refusals_ < kHopelessRefusals) return;
    halt_cause_ = "the server could not write " + std::to_string(kHopelessRefusals) +
                  " files in a row (" + line + "), as when its disk is full or a quota is reached";
  } else {
    int& refusals = folder_refusals_[folder];
    if (refusals < 0 || ++refusals < kHopelessRefusals) return;
    halt_cause_ = (folder.empty() ? std::string("/") : folder) + " refused " +
                  std::to_string(kHopelessRefusals) + " stores and took none (" + line + ")";
  }
  halted_ = true;
}

void TRunTally::ReportHalt() {
  std::string cause;
  size_t untried = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!halted_) return;
    cause = halt_cause_;
    untried = files_total_ > files_tried_ ? files_total_ - files_tried_ : 0;
  }
  // With nothing left untried, the failures have told it all.
  if (untried == 0) return;
  Notice({.kind = TNoticeKind::kError,
          .text = "stopped sending: " + cause + "; " + std::to_string(untried) +
                  (untried == 1 ? " file was" : " files were") + " not tried"});
}

void TRunTally::HoldDeletes(size_t count, TDeleteHold why) {
  std::lock_guard<std::mutex> lock(mutex_);
  counts_.held_back = count;
  hold_ = why;
}

TDeleteHold TRunTally::hold() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hold_;
}

bool TRunTally::Interrupted() const {
  return (options_.HeedInterrupts && InterruptRequested()) ||
         (options_.Cancel != nullptr && options_.Cancel->load());
}

TDeployFailure TRunTally::first() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return first_;
}

TDeployCounts TRunTally::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  TDeployCounts counts = counts_;
  counts.not_sent = files_total_ > files_tried_ ? files_total_ - files_tried_ : 0;
  counts.not_sent += tried_not_sent_;
  return counts;
}

size_t TRunTally::files_tried() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return files_tried_;
}

std::vector<TPlanStep> TRunTally::TakePlan(bool& complete) {
  std::lock_guard<std::mutex> lock(mutex_);
  complete = plan_complete_;
  return std::exchange(plan_, {});
}

std::vector<TFileEvent> TRunTally::TakeFiles() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(files_, {});
}

void TRunTally::SessionsLoggedIn(int now, bool refused) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_most_ = std::max(sessions_most_.load(), now);
  if (refused) sessions_refused_ = true;
}

}  // namespace zud
