#include "frontend/deploylines.h"

#include <string>
#include <string_view>
#include <vector>

#include "deploy/figures.h"
#include "deploy/paths.h"
#include "frontend/advice.h"
#include "frontend/console.h"
#include "frontend/credentials.h"
#include "frontend/tlsswitches.h"
#include "util/compat.h"
#include "util/localpath.h"
#include "util/stream.h"

namespace zud {
namespace {

std::string Count(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// ", 3 failed" for n > 0.
std::string Also(size_t n, const char* word) {
  return n > 0 ? ", " + std::to_string(n) + " " + word : std::string();
}

// text with path taken out where it stands as a word ("cannot read a.txt:
// ..."), so that failures of many files read alike.
std::string WithoutPath(std::string text, const std::string& path) {
  if (path.empty()) return text;
  for (size_t at = text.find(path); at != std::string::npos; at = text.find(path, at + 1)) {
    const size_t end = at + path.size();
    const bool starts_word = at == 0 || text[at - 1] == ' ';
    const bool ends_word = end == text.size() || std::string_view(" :;,").find(text[end]) !=
                                                     std::string_view::npos;
    if (starts_word && ends_word) text.replace(at, path.size(), "\x01");
  }
  return text;
}

std::string NoReplyLine(TNoReply why, int32_t timeout_ms) {
  switch (why) {
    case TNoReply::kTimedOut:
      return "(no reply within " + std::to_string((timeout_ms + 999) / 1000) + " s)";
    case TNoReply::kStopped: return "(no reply: the run was stopped)";
    case TNoReply::kClosed: return "(no reply: the server closed the connection)";
    default: return "(no reply: the connection failed)";
  }
}

}  // namespace

std::string SummaryLine(const TDeployCounts& c, uint64_t elapsed_ms) {
  std::string line = Count(c.stored, "file", "files") + " sent" + Also(c.unchanged, "unchanged") +
                     Also(c.deleted - c.folders_deleted, "deleted") +
                     Also(c.held_back, "deletes held back") +
                     Also(c.failed - c.folders_failed, "failed") + Also(c.not_sent, "not sent");
  const struct {
    size_t n;
    const char* word;
  } folders[] = {{c.folders_made, "made"}, {c.folders_deleted, "removed"},
                 {c.folders_failed, "failed"}};
  bool named = false;  // "; 3 folders made, 1 failed"
  for (const auto& f : folders) {
    if (f.n == 0) continue;
    line += named ? ", " + std::to_string(f.n) : "; " + Count(f.n, "folder", "folders");
    line.append(" ").append(f.word);
    named = true;
  }
  return line + "; " + FormatByteSize(c.bytes) + " in " +
         FormatDuration(static_cast<int64_t>(elapsed_ms / 1000));
}

std::string SessionsLine(int sessions, bool refused) {
  const std::string count = Count(static_cast<size_t>(sessions), "session", "sessions");
  if (refused) return "the host allowed " + count + " at once (it refused more)";
  return count + " at once; the host refused none";
}

std::vector<std::string> MappingLines(const TUploadSettings& settings) {
  std::vector<std::string> lines;
  if (!settings.Recursive) return lines;
  const std::string base = WithDirectoryEnd(settings.RemoteDir);
  for (const std::string& source : settings.Files) {
    if (QueryLocalPath(source).kind != TLocalKind::kDirectory) continue;
    const std::string root = RemoteTreeRoot(base, source);
    std::string line = source + " -> " + WithoutTrailingSlash(root);
    if (root != base) {
      line += " (add / to send what is inside)";
    } else if (!source.empty() && IsLocalPathSeparator(source.back())) {
      line += " (what is inside; without the / the folder itself)";
    }
    lines.push_back(line);
  }
  return lines;
}

void TDeployPrinter::Attach(TDeployOptions& options) {
  options.OnFile = [this](const TFileEvent& event) { File(event); };
  options.OnNotice = [this](const TDeployNotice& notice) {
    Notice(notice);
    if (settings_.Report) notices_.push_back(notice);
  };
  if (settings_.Verbose) {
    options.OnDialogue = [this](const TDialogueLine& line) { Dialogue(line); };
  }
  if (!settings_.Quiet) {
    options.OnProgress = [this](const TDeployProgress& progress) { Progress(progress); };
  }
  options.OnStage = [this](TDeployStage stage) {
    if (stage == TDeployStage::kCleanUp || stage == TDeployStage::kEnd) meter_.reset();
  };
  options.OnSessionStart = [this](int) { WarnAboutTLSSwitches(settings_.Tls); };
  if (!settings_.ReportToOutput()) {
    options.OnPlan = [this](const std::vector<TPlanStep>& steps) { Plan(steps); };
  }
  if (ShouldAskPassword(settings_)) options.OnPassword = PasswordPrompt(settings_);
  if (settings_.Quiet) return;
  for (const std::string& line : MappingLines(settings_)) WriteErrorLine(line);
}

void TDeployPrinter::File(const TFileEvent& event) {
  const bool quiet = settings_.Quiet;
  switch (event.outcome) {
    case TFileOutcome::kStored:
      if (!quiet) WriteErrorLine("stored " + event.path + " (" + FormatByteSize(event.bytes) + ")");
      break;
    case TFileOutcome::kAlreadyComplete:
      if (!quiet) WriteErrorLine("already complete: " + event.path);
      break;
    case TFileOutcome::kDeleted:
      if (!quiet) WriteErrorLine("deleted " + event.path);
      break;
    case TFileOutcome::kSkipped:
      Failure("warning: " + event.message, event.path, event.folder, TDeployHint::kNone);
      break;
    case TFileOutcome::kFailed:
      Failure(FailureLine({event.failure, event.message, event.hint}, event.path), event.path,
              event.folder, event.hint);
      break;
    default:
      break;
  }
}

void TDeployPrinter::Notice(const TDeployNotice& notice) {
  switch (notice.kind) {
    case TNoticeKind::kWarning:
      WriteErrorLine("warning: " + notice.text);
      break;
    case TNoticeKind::kNote:
    case TNoticeKind::kReconnect:
      if (!settings_.Quiet) {
        WriteErrorLine(notice.kind == TNoticeKind::kNote ? "note: " + notice.text : notice.text);
      }
      break;
    default:
      Failure(FailureLine({notice.failure, notice.text, notice.hint}, notice.path), std::string(),
              false, notice.hint);
      break;
  }
}

void TDeployPrinter::Failure(const std::string& line, const std::string& path, bool folder,
                             TDeployHint hint) {
  // A refusal the dialogue on the screen explains comes without a line.
  if (!line.empty()) {
    const std::string key = WithoutPath(line, path);
    auto [group, first] = groups_.try_emplace(key);
    if (first) {
      group->second.folder = folder;
      group_order_.push_back(key);
      WriteErrorLine(line);
    } else {
      ++group->second.more;
      group->second.last = path;
    }
  }
  if (advised_.insert(hint).second) {
    const std::string advice = AdviceLine(hint, settings_);
    if (!advice.empty()) WriteErrorLine(advice);
  }
}

void TDeployPrinter::Dialogue(const TDialogueLine& line) const {
  // With several sessions each line says whose it is: "[2] STOR ...".
  std::string shown;
  if (line.session > 0) shown.append("[").append(std::to_string(line.session)).append("] ");
  shown += line.no_reply == TNoReply::kNone ? line.text
                                             : NoReplyLine(line.no_reply, settings_.TimeoutMs);
  if (settings_.DryRun || settings_.ReportToOutput()) {
    WriteErrorLine(shown);  // standard output is the plan's, or the report's
  } else {
    WriteOutputLine(shown);
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

namespace {
constexpr size_t kPlanPieceBytes = 64u << 10;
}  // namespace

void TDeployPrinter::Plan(const std::vector<TPlanStep>& steps) const {
  std::string text;
  for (const TPlanStep& step : steps) {
    text.append(PlanActionWord(step.action)).append(" ");
    if (step.action == TPlanAction::kSend) text.append(SendReasonWord(step.reason)).append(" ");
    text += step.path;
    text += kTextLineEnd;
    // In pieces: a million steps are not held as one text.
    if (text.size() >= kPlanPieceBytes) {
      WriteOutput(text);
      text.clear();
    }
  }
  WriteOutput(text);
}

void TDeployPrinter::Finish(const TDeployResult& result) {
  meter_.reset();
  for (const std::string& key : group_order_) {
    const TGroup& group = groups_[key];
    if (group.more == 0) continue;
    WriteErrorLine("the same for " + Count(group.more, group.folder ? "more folder" : "more file",
                                           group.folder ? "more folders" : "more files") +
                   (group.last.empty() ? std::string() : ", the last " + group.last));
  }
  const TDeployCounts& c = result.counts;
  if (!settings_.DryRun) {
    WriteErrorLine(SummaryLine(c, result.elapsed_ms));
    if (settings_.ParallelAuto && result.sessions > 0) {
      WriteErrorLine(SessionsLine(result.sessions, result.sessions_refused));
    }
    return;
  }
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
}

}  // namespace zud
