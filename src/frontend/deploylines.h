// The lines of a folder or sync run: the deploy engine's events turned into
// what people and scripts read, by output level.
//
//                  default   /quiet   /verbose
//   the mapping       x                  x       "public -> /htdocs/public (...)"
//   one per file      x                  x       "stored /htdocs/index.html (2.1 KiB)"
//   failures          x         x        x       identical ones grouped, with advice
//   the summary       x         x        x       "40 files sent, 2 unchanged; ..."
//   progress line     x                  x       on a terminal only
//   the dialogue                         x       standard output, CR LF as the classic run
//
// All of them but the dialogue go to standard error. A dry run's standard
// output is its plan alone, one step a line with the platform's line end
// (its dialogue, with /verbose, goes to standard error); with /report:- the
// report alone (the plan is in it, the dialogue goes to standard error).
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "deploy/deploy.h"
#include "frontend/progressmeter.h"
#include "frontend/settings.h"
#include "util/api.h"

namespace ZUD_API zud {

// "40 files sent, 2 unchanged, 1 failed; 3 folders made; 61.2 MiB in 0:14":
// files and folders apart, only the counts that are not 0 (files sent
// always), the same words in folder and sync modes.
std::string SummaryLine(const TDeployCounts& counts, uint64_t elapsed_ms);

// /parallel:auto's line after the summary: the most sessions logged in at
// once, "the host allowed 6 sessions at once (it refused more)" when the
// host refused one more, else "4 sessions at once; the host refused none".
std::string SessionsLine(int sessions, bool refused);

// Where each folder of settings goes: "public -> /htdocs/public (add / to
// send what is inside)"; none for files.
std::vector<std::string> MappingLines(const TUploadSettings& settings);

class TDeployPrinter {
 public:
  explicit TDeployPrinter(const TUploadSettings& settings) : settings_(settings) {}

  // Sets the hooks of options; the mapping lines are written at once.
  void Attach(TDeployOptions& options);
  // After the run: what the grouped failures left unsaid, and the summary.
  void Finish(const TDeployResult& result);
  // The notices of the run, for the report (kept only with /report).
  std::vector<TDeployNotice> TakeNotices() { return std::move(notices_); }

 private:
  void File(const TFileEvent& event);
  void Notice(const TDeployNotice& notice);
  void Dialogue(const TDialogueLine& line) const;
  void Progress(const TDeployProgress& progress);
  void Plan(const std::vector<TPlanStep>& steps) const;
  // A failure's line, unless one just like it came before (then counted),
  // and the advice for its hint the first time it comes.
  void Failure(const std::string& line, const std::string& path, bool folder, TDeployHint hint);

  const TUploadSettings& settings_;
  // The status line while files are sent, "12/40 files  " before the bytes.
  std::unique_ptr<TTransferMeter> meter_;
  size_t files_done_ = 0;
  size_t files_total_ = 0;
  // Failures by their line with the path taken out: how many more came, and
  // the last of them.
  struct TGroup {
    bool folder = false;
    size_t more = 0;
    std::string last;
  };
  std::map<std::string, TGroup> groups_;
  std::vector<std::string> group_order_;
  std::set<TDeployHint> advised_;
  std::vector<TDeployNotice> notices_;
};

}  // namespace zud
