#include "frontend/deployjob.h"

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "deploy/figures.h"
#include "deploy/session.h"
#include "frontend/console.h"
#include "frontend/credentials.h"
#include "frontend/progressmeter.h"
#include "frontend/report.h"
#include "frontend/tlsswitches.h"
#include "util/stream.h"
#include "util/textutil.h"
#include "util/version.h"

namespace zud {
namespace {

std::string Count(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Turns the engine's events into the tool's lines, as they come.
class TDeployPrinter {
 public:
  explicit TDeployPrinter(const TUploadSettings& settings) : settings_(settings) {}

  void Attach(TDeployOptions& options);
  void Summary(const TDeployResult& result) const;
  // The notices of the run, for the report.
  std::vector<TDeployNotice> TakeNotices() { return std::move(notices_); }

 private:
  void File(const TFileEvent& event) const;
  void Notice(const TDeployNotice& notice) const;
  void Progress(const TDeployProgress& progress);
  void Plan(const std::vector<TPlanStep>& steps) const;

  const TUploadSettings& settings_;
  // The status line while files are sent, "12/40 files  " before the bytes.
  std::unique_ptr<TTransferMeter> meter_;
  size_t files_done_ = 0;
  size_t files_total_ = 0;
  std::vector<TDeployNotice> notices_;
};

void TDeployPrinter::Attach(TDeployOptions& options) {
  options.OnFile = [this](const TFileEvent& event) { File(event); };
  options.OnNotice = [this](const TDeployNotice& notice) {
    Notice(notice);
    if (settings_.Report) notices_.push_back(notice);
  };
  // A dry run's standard output is the plan alone; /report:- has it to itself.
  if (!settings_.Quiet && !settings_.DryRun && !settings_.ReportToOutput()) {
    options.OnDialogue = [](const TDialogueLine& line) {
      // With several sessions each line says whose it is: "[2] STOR ...".
      std::string shown;
      if (line.session > 0) shown.append("[").append(std::to_string(line.session)).append("] ");
      WriteOutputLine(shown.append(line.text));
    };
  }
  options.OnProgress = [this](const TDeployProgress& progress) { Progress(progress); };
  options.OnStage = [this](TDeployStage stage) {
    if (stage == TDeployStage::kCleanUp || stage == TDeployStage::kEnd) meter_.reset();
  };
  options.OnSessionStart = [this](int) { WarnAboutTLSSwitches(settings_.Tls); };
  if (!settings_.ReportToOutput()) {
    options.OnPlan = [this](const std::vector<TPlanStep>& steps) { Plan(steps); };
  }
  if (ShouldAskPassword(settings_)) options.OnPassword = PasswordPrompt(settings_);
}

void TDeployPrinter::File(const TFileEvent& event) const {
  switch (event.outcome) {
    case TFileOutcome::kStored:
      if (!settings_.Quiet) {
        WriteErrorLine("stored " + event.path + " (" + FormatByteSize(event.bytes) + ")");
      }
      break;
    case TFileOutcome::kAlreadyComplete:
      if (!settings_.Quiet) WriteErrorLine("already complete: " + event.path);
      break;
    case TFileOutcome::kDeleted:
      if (!settings_.Quiet) WriteErrorLine("deleted " + event.path);
      break;
    case TFileOutcome::kSkipped:
      WriteErrorLine("warning: " + event.message);
      break;
    case TFileOutcome::kFailed: {
      const std::string line = FailureLine({event.failure, event.message, event.hint}, event.path);
      if (!line.empty()) WriteErrorLine(line);
      break;
    }
    default:
      break;
  }
}

void TDeployPrinter::Notice(const TDeployNotice& notice) const {
  // The words of a hint name the switch that helps.
  const std::string text = FailureLine({notice.failure, notice.text, notice.hint}, notice.path);
  switch (notice.kind) {
    case TNoticeKind::kWarning:
      WriteErrorLine("warning: " + text);
      break;
    case TNoticeKind::kNote:
      WriteErrorLine("note: " + text);
      break;
    default:
      // A refusal the dialogue on the screen explains comes without a text.
      if (!text.empty()) WriteErrorLine(text);
      break;
  }
}

void TDeployPrinter::Progress(const TDeployProgress& progress) {
  files_done_ = progress.files_done;
  files_total_ = progress.files_total;
  if (!meter_) {
    meter_ = std::make_unique<TTransferMeter>(progress.bytes_total, [this] {
      return std::to_string(files_done_) + "/" + std::to_string(files_total_) + " files  ";
    });
  }
  if (progress.bytes == 0) {
    meter_->Start();
  } else {
    meter_->Advance(progress.bytes);
  }
}

void TDeployPrinter::Plan(const std::vector<TPlanStep>& steps) const {
  for (const TPlanStep& step : steps) {
    switch (step.action) {
      case TPlanAction::kMakeFolder:
        WriteOutputLine("mkdir " + step.path);
        break;
      case TPlanAction::kSend:
        WriteOutputLine(std::string("send ") + SendReasonWord(step.reason) + " " + step.path);
        break;
      case TPlanAction::kDelete:
        WriteOutputLine("delete " + step.path);
        break;
      case TPlanAction::kRemoveFolder:
        WriteOutputLine("rmdir " + step.path);
        break;
    }
  }
}

void TDeployPrinter::Summary(const TDeployResult& result) const {
  const TDeployCounts& c = result.counts;
  if (settings_.DryRun) {
    size_t sends = 0, deletes = 0, folders = 0;
    int64_t bytes = 0;
    for (const TPlanStep& step : result.plan) {
      if (step.action == TPlanAction::kSend) {
        ++sends;
        bytes += step.bytes;
      } else if (step.action == TPlanAction::kMakeFolder) {
        ++folders;
      } else {
        ++deletes;
      }
    }
    WriteErrorLine("dry run: " + Count(sends, "file", "files") + " to send (" +
                   FormatByteSize(bytes) + "), " + std::to_string(c.unchanged) + " unchanged, " +
                   std::to_string(deletes) + " to delete, " + Count(folders, "folder", "folders") +
                   " to make; nothing was changed");
    return;
  }
  const std::string not_sent =
      c.not_sent > 0 ? std::to_string(c.not_sent) + " not sent, " : std::string();
  const std::string made_and_bytes = Count(c.folders_made, "folder", "folders") + " made, " +
                                     FormatByteSize(c.bytes) + " in " +
                                     FormatDuration(static_cast<int64_t>(result.elapsed_ms / 1000));
  if (!settings_.Sync) {  // folder mode's own summary
    WriteErrorLine(Count(c.stored, "file", "files") + " stored, " + std::to_string(c.failed) +
                   " failed, " + not_sent + made_and_bytes);
    return;
  }
  const std::string held_back =
      c.held_back > 0 ? std::to_string(c.held_back) + " held back, " : std::string();
  WriteErrorLine(Count(c.stored, "file", "files") + " sent, " + std::to_string(c.unchanged) +
                 " unchanged, " + std::to_string(c.deleted) + " deleted, " + held_back +
                 std::to_string(c.failed) + " failed, " + not_sent + made_and_bytes);
}

// The report's file, made before the run so that a path that cannot be
// written stops it before anything changed.
std::unique_ptr<TFileStream> OpenReport(const std::string& path) {
  try {
    return std::make_unique<TFileStream>(path, TFileStream::Mode::kCreate);
  } catch (const EFileOpenError& e) {
    WriteErrorLine("cannot write the report " + path + ": " + OpenFailureReason(e.what()));
    return nullptr;
  }
}

}  // namespace

TDeployOptions DeployOptionsFrom(const TUploadSettings& settings) {
  TDeployOptions options;
  options.Host = settings.Server;
  options.Port = settings.Port;
  options.User = settings.User;
  options.Password = settings.Pass;
  options.RemoteDir = settings.RemoteDir;
  options.TLS = DeployTLSOf(settings.Tls, settings.Server);
  options.Passive = settings.Passive;
  // Tree uploads send binary unless /ascii asks otherwise: a guess per file
  // would change bytes behind the user's back.
  options.Ascii = LowerCase8(settings.Mode) == "ascii";
  options.TimeoutMs = settings.TimeoutMs;
  options.Sources = settings.Files;
  if (options.Sources.empty()) options.Sources.push_back(settings.LocalPath);
  options.Excludes = settings.Excludes;
  options.Recursive = settings.Recursive;
  options.MakeDirs = settings.MakeDirs;
  options.Atomic = settings.Atomic;
  options.Resume = settings.Resume;
  options.Retries = settings.Retries;
  options.Sync = settings.Sync;
  options.Delete = settings.Delete;
  options.DryRun = settings.DryRun;
  options.Checksum = settings.Checksum;
  options.Parallel = settings.Parallel;
  options.StateFile = settings.StateFile;
  options.Force = settings.Force;
  options.MaxDelete = settings.MaxDelete;
  options.FileMode = settings.FileMode;
  options.FolderMode = settings.DirMode;
  options.HeedInterrupts = true;
  options.DialogueShown = !settings.Quiet && !settings.DryRun && !settings.ReportToOutput();
  // The lines are written as the events come; the summary needs the counts
  // only, a report every file.
  options.KeepOutcomes = settings.Report.has_value();
  return options;
}

TExitStatus RunDeployJob(const TUploadSettings& settings) {
  TDeployOptions options = DeployOptionsFrom(settings);
  TDeployPrinter printer(settings);
  printer.Attach(options);
  std::unique_ptr<TFileStream> report;
  TReportFacts facts;
  if (settings.Report) {
    if (!settings.ReportToOutput() && !(report = OpenReport(*settings.Report))) {
      return TExitStatus::kLocalFile;
    }
    facts.tool = "ftpupload " + VersionText();
    facts.started = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
  }
  const TDeployResult result = RunDeploy(options);
  printer.Summary(result);
  TExitStatus status = ExitStatusOf(result.failure);
  if (!settings.Report) return status;
  facts.exit_status = static_cast<int>(status);
  facts.notices = printer.TakeNotices();
  const std::string text = FormatReport(settings, result, facts);
  if (!report) {
    WriteOutput(text);
  } else if (report->Write(text.data(), static_cast<int64_t>(text.size())) !=
                 static_cast<int64_t>(text.size()) ||
             report->Failed()) {
    WriteErrorLine("cannot write the report " + *settings.Report);
    if (status == TExitStatus::kStored) status = TExitStatus::kLocalFile;
  }
  return status;
}

std::string FailureLine(const TFailure& failure, const std::string& path) {
  switch (failure.hint) {
    case TDeployHint::kNoSource:
      return "no file given: name the file to upload last, after the switches";
    case TDeployHint::kFolderSource:
      return path + " is a folder; add /recursive to upload its tree";
    case TDeployHint::kRemoteFolderMissing:
      return "remote directory " + path + " does not exist (use /mkdir)";
    case TDeployHint::kLocked:
      return failure.message + "; if no other deploy is running, add /force to take the lock";
    case TDeployHint::kTooManyDeletes:
      return failure.message + "; add /maxdelete:N to allow up to N deletes";
    case TDeployHint::kOtherTreesState:
      return failure.message + "; give each tree its own /statefile";
    case TDeployHint::kNone:
      break;
  }
  return failure.message;
}

}  // namespace zud
