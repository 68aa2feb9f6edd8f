#include "frontend/folderupload.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "frontend/console.h"
#include "deploy/localtree.h"
#include "frontend/progressmeter.h"
#include "frontend/session.h"
#include "frontend/uploadsession.h"
#include "frontend/uploadjob.h"
#include "sockets/socketerrors.h"
#include "util/compat.h"
#include "util/process.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {
namespace {

// One step of the plan: a folder to make or a file to store.
struct TPlanItem {
  bool folder = false;
  TStoreItem file;  // remote: the whole path, without a trailing "/" for a folder
};

class TFolderRun {
 public:
  explicit TFolderRun(const TUploadSettings& settings) : settings_(settings) {
    for (const std::string& pattern : settings.Excludes) excludes_.Add(pattern);
  }

  TExitStatus Run();

 private:
  void PlanParameter(const std::string& param);

  const TUploadSettings& settings_;
  TExcludeList excludes_;
  std::vector<TPlanItem> plan_;
  int64_t total_bytes_ = 0;
  size_t total_files_ = 0;
  TRunTally tally_;
};

// ---- Planning ---------------------------------------------------------------------

void TFolderRun::PlanParameter(const std::string& param) {
  const TLocalParameter local = ReadLocalParameter(param, settings_, excludes_, tally_);
  if (!local.usable) return;
  // The named folder itself, unless its contents go straight into /dir.
  if (!local.is_file && local.root != WithDirectoryEnd(settings_.RemoteDir)) {
    plan_.push_back({true, {std::string(), WithoutTrailingSlash(local.root), 0}});
  }
  for (const TTreeEntry& entry : local.entries) {
    plan_.push_back({entry.is_directory,
                     {entry.is_directory ? std::string() : entry.local_path,
                      local.root + entry.relative,
                      entry.is_directory ? 0 : std::max<int64_t>(0, entry.size)}});
  }
}

TExitStatus TFolderRun::Run() {
  const uint64_t started = MonotonicMilliseconds();
  std::vector<std::string> params = settings_.Files;
  if (params.empty()) params.push_back(settings_.LocalPath);
  for (const std::string& param : params) PlanParameter(param);
  for (const TPlanItem& item : plan_) {
    if (item.folder) continue;
    ++total_files_;
    total_bytes_ += item.file.size;
  }
  size_t done = 0;  // files tried
  const auto summary = [&] {
    const auto count = [](size_t n, const char* one, const char* many) {
      return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    const size_t not_sent = total_files_ > done ? total_files_ - done : 0;
    WriteErrorLine(
        count(tally_.stored(), "file", "files") + " stored, " + std::to_string(tally_.failed()) +
        " failed, " + (not_sent > 0 ? std::to_string(not_sent) + " not sent, " : std::string()) +
        count(tally_.folders_made(), "folder", "folders") + " made, " +
        FormatByteSize(tally_.bytes_stored()) + " in " +
        FormatDuration(static_cast<int64_t>((MonotonicMilliseconds() - started) / 1000)));
  };
  if (plan_.empty()) {
    summary();
    return tally_.first();
  }

  TUploadSession session(settings_, tally_);
  const TExitStatus login = session.Connect(ShouldAskPassword(settings_));
  if (login != TExitStatus::kStored) {
    tally_.KeepStatus(login);
    summary();
    return tally_.first();
  }
  auto meter = std::make_unique<TTransferMeter>(total_bytes_, [this, &done] {
    return std::to_string(done) + "/" + std::to_string(total_files_) + " files  ";
  });
  session.SetMeter(meter.get());
  {
    TInterruptArming armed(session.ftp());
    const std::string base = WithoutTrailingSlash(WithDirectoryEnd(settings_.RemoteDir));
    while (settings_.MakeDirs && !tally_.Stopped() && !session.MakeFolderChain(base)) {
      if (!session.NoteLoss()) {
        tally_.Stop();  // refused: nothing can be stored below it
        break;
      }
      if (!session.EnsureSession()) break;
    }
    for (const TPlanItem& item : plan_) {
      if (tally_.Stopped() || !session.EnsureSession()) break;
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
      ++done;
    }
  }
  session.SetMeter(nullptr);
  meter.reset();
  if (InterruptRequested()) {
    WriteErrorLine("interrupted");
    tally_.KeepStatus(TExitStatus::kInterrupted);
  }
  session.End();
  summary();
  return InterruptRequested() ? TExitStatus::kInterrupted : tally_.first();
}

}  // namespace

TExitStatus RunFolderUpload(const TUploadSettings& settings) {
  TFolderRun run(settings);
  return run.Run();
}

int32_t ReconnectDelayMs(int n) {
  constexpr int32_t kMaxReconnectDelayMs = 30000;
  if (n < 1) n = 1;
  if (n > 6) return kMaxReconnectDelayMs;
  return std::min(kMaxReconnectDelayMs, 1000 << (n - 1));
}

}  // namespace zud
