#include "deploy/folderrun.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "deploy/paths.h"
#include "deploy/sources.h"
#include "deploy/uploadsession.h"

namespace zud {
namespace {

// One step of the plan: a folder to make or a file to store.
struct TPlanItem {
  bool folder = false;
  TStoreItem file;  // remote: the whole path, without a trailing "/" for a folder
};

class TFolderRun {
 public:
  explicit TFolderRun(TRunTally& tally)
      : options_(tally.options()), tally_(tally), excludes_(ExcludesOf(options_)) {}

  void Run();

 private:
  void PlanSource(const std::string& source);
  // Makes the folders and stores the files in order; the index of the first
  // item not tried.
  size_t Upload(TUploadSession& session);

  const TDeployOptions& options_;
  TRunTally& tally_;
  TExcludeList excludes_;
  std::vector<TPlanItem> plan_;
};

void TFolderRun::PlanSource(const std::string& source) {
  const TLocalSource local = ReadSource(source, excludes_, tally_);
  if (!local.usable) return;
  // The named folder itself, unless its contents go straight into RemoteDir.
  if (!local.is_file && local.root != WithDirectoryEnd(options_.RemoteDir)) {
    plan_.push_back({true, {std::string(), WithoutTrailingSlash(local.root), 0}});
  }
  for (const TTreeEntry& entry : local.entries) {
    plan_.push_back(
        {entry.is_directory,
         {entry.is_directory ? std::string() : entry.LocalPath(), local.root + entry.relative,
          entry.is_directory ? 0 : std::max<int64_t>(0, entry.size)}});
  }
}

size_t TFolderRun::Upload(TUploadSession& session) {
  std::optional<TInterruptArming> armed;
  if (options_.HeedInterrupts) armed.emplace(session.ftp());
  const std::string base = WithoutTrailingSlash(WithDirectoryEnd(options_.RemoteDir));
  while (options_.MakeDirs && !tally_.Stopped() && !session.MakeFolderChain(base)) {
    if (!session.NoteLoss()) {
      tally_.Stop();  // refused: nothing can be stored below it
      break;
    }
    if (!session.EnsureSession()) break;
  }
  size_t next = 0;
  for (; next < plan_.size(); ++next) {
    const TPlanItem& item = plan_[next];
    if (tally_.Stopped() || tally_.SendsHalted() || !session.EnsureSession()) break;
    if (item.folder) {
      if (tally_.FolderFailed(RemoteParent(item.file.remote))) {
        tally_.AddFailedFolder(item.file.remote);
        continue;
      }
      while (!session.MakeFolder(item.file.remote, true) && session.NoteLoss()) {
        if (!session.EnsureSession()) break;
      }
      continue;
    }
    session.StoreFile(item.file);
    tally_.FileTried();
  }
  return next;
}

void TFolderRun::Run() {
  tally_.Stage(TDeployStage::kLocal);
  for (const std::string& source : options_.Sources) PlanSource(source);
  size_t files = 0;
  int64_t bytes = 0;
  for (const TPlanItem& item : plan_) {
    if (item.folder) continue;
    ++files;
    bytes += item.file.size;
  }
  tally_.SetTransfers(files, bytes);
  if (plan_.empty()) return;

  TUploadSession session(tally_, 0, options_.Password);
  const TDeployFailure login = session.Connect(true);
  size_t next = 0;
  if (login != TDeployFailure::kNone) {
    tally_.KeepFailure(login);
  } else {
    tally_.Stage(TDeployStage::kTransfer);
    next = Upload(session);
    tally_.ReportHalt();
    tally_.Stage(TDeployStage::kEnd);
    if (tally_.Interrupted()) {
      tally_.Notice({.kind = TNoticeKind::kInterrupted, .text = "interrupted"});
      tally_.KeepFailure(TDeployFailure::kInterrupted);
    }
    session.End();
  }
  for (; next < plan_.size(); ++next) {
    if (plan_[next].folder) continue;
    tally_.Record({.outcome = TFileOutcome::kNotSent, .path = plan_[next].file.remote});
  }
}

}  // namespace

void RunFolderUpload(TRunTally& tally) { TFolderRun(tally).Run(); }

}  // namespace zud
