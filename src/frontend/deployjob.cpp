#include "frontend/deployjob.h"

#include <string>
#include <vector>

#include "frontend/advice.h"
#include "frontend/console.h"
#include "frontend/deploylines.h"
#include "frontend/tlsswitches.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {

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
  options.HeedInterrupts = true;
  // The classic run echoes the dialogue unless /quiet; the folder run with /verbose.
  options.DialogueShown = settings.FolderMode() ? settings.Verbose : !settings.Quiet;
  // The lines are written as the events come; the summary needs the counts only.
  options.KeepOutcomes = false;
  return options;
}

TExitStatus RunDeployJob(const TUploadSettings& settings) {
  TDeployOptions options = DeployOptionsFrom(settings);
  TDeployPrinter printer(settings);
  printer.Attach(options);
  const TDeployResult result = RunDeploy(options);
  printer.Finish(result);
  return ExitStatusOf(result.failure);
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
