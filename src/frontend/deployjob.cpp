#include "frontend/deployjob.h"

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "deploy/session.h"
#include "frontend/advice.h"
#include "frontend/console.h"
#include "frontend/deploylines.h"
#include "frontend/report.h"
#include "frontend/tlsswitches.h"
#include "util/process.h"
#include "util/stream.h"
#include "util/textutil.h"
#include "util/version.h"

namespace zud {
namespace {

constexpr int kDeployMemoryArenas = 2;

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
  options.Passive = settings.PassiveMode();
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
  options.ParallelAuto = settings.ParallelAuto;
  options.StateFile = settings.StateFile;
  options.Force = settings.Force;
  options.MaxDelete = settings.MaxDelete;
  options.FileMode = settings.FileMode;
  options.FolderMode = settings.DirMode;
  options.HeedInterrupts = true;
  // The classic run echoes the dialogue unless /quiet; the folder run with /verbose.
  options.DialogueShown = settings.FolderMode() ? settings.Verbose : !settings.Quiet;
  // The lines are written as the events come; the summary needs the counts
  // only, a report every file.
  options.KeepOutcomes = settings.Report.has_value();
  return options;
}

TExitStatus RunDeployJob(const TUploadSettings& settings) {
  // Session threads would each get a heap of their own, which keeps what
  // they freed from the others: a large tree's run would grow far above
  // what it holds. Two serve a handful of sessions that mostly wait.
  LimitMemoryArenas(kDeployMemoryArenas);
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
  printer.Finish(result);
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

std::string CheckLocalSources(const TUploadSettings& settings) {
  size_t bad = 0;
  std::string first;
  for (const std::string& source : settings.Files) {
    const TLocalPathInfo info = QueryLocalPath(source);
    const bool usable = info.kind == TLocalKind::kFile ||
                        (info.kind == TLocalKind::kDirectory && settings.Recursive);
    if (usable) continue;
    if (bad++ > 0) continue;
    if (info.kind == TLocalKind::kOther) {
      first = source + " is " + info.error + ", not a file or folder";
    } else {
      first = FailureLine(ClassifySourceFailure(source, settings.Recursive), source);
    }
  }
  if (bad > 1) first += " (and " + std::to_string(bad - 1) + " more that cannot be sent)";
  return bad > 0 ? first + "; nothing was sent" : std::string();
}

}  // namespace zud
