#include "frontend/report.h"

#include <cstdio>

#include "util/textutil.h"
#include "util/unicode.h"

namespace zud {
namespace {

const char* NoticeWord(TNoticeKind kind) {
  switch (kind) {
    case TNoticeKind::kWarning: return "warning";
    case TNoticeKind::kNote: return "note";
    case TNoticeKind::kReconnect: return "reconnect";
    case TNoticeKind::kSessionLost: return "session-lost";
    case TNoticeKind::kHint: return "hint";
    case TNoticeKind::kError: return "error";
    case TNoticeKind::kInterrupted: return "interrupted";
  }
  return "note";
}

std::string IsoTime(int64_t seconds) {
  TUtcTime t;
  if (!TryDecodeUnixTime(seconds, t)) return "";
  char text[32];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour,
           t.minute, t.second);
  return text;
}

// The length of the well-formed UTF-8 sequence at text's start, 0 for none.
size_t SequenceLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const size_t length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
  if (length == 0 || length > text.size()) return 0;
  return IsWellFormedUtf8(text.substr(0, length)) ? length : 0;
}

// "key": value pairs, comma-separated, in the order added.
class TObject {
 public:
  TObject& Raw(const char* key, const std::string& json) {
    text_ += (text_.empty() ? "" : ", ") + JsonString(key) + ": " + json;
    return *this;
  }
  TObject& Text(const char* key, std::string_view value) { return Raw(key, JsonString(value)); }
  TObject& Number(const char* key, int64_t value) { return Raw(key, std::to_string(value)); }
  TObject& Flag(const char* key, bool value) { return Raw(key, value ? "true" : "false"); }
  std::string str() const { return "{" + text_ + "}"; }

 private:
  std::string text_;
};

// An array with one element a line.
std::string Lines(const std::vector<std::string>& items) {
  if (items.empty()) return "[]";
  std::string text = "[\n";
  for (size_t i = 0; i < items.size(); ++i) {
    text += "    " + items[i] + (i + 1 < items.size() ? ",\n" : "\n");
  }
  return text + "  ]";
}

std::string FileEntry(const TFileEvent& e, bool sync) {
  TObject o;
  o.Text("path", e.path).Text("outcome", FileOutcomeWord(e.outcome));
  if (e.folder) o.Flag("folder", true);
  switch (e.outcome) {
    case TFileOutcome::kStored:
      o.Number("bytes", e.bytes);
      if (sync) o.Text("reason", SendReasonWord(e.reason));
      break;
    case TFileOutcome::kFailed:
      o.Text("failure", FailureWord(e.failure)).Text("reply", e.reply).Text("message", e.message);
      break;
    case TFileOutcome::kSkipped:
      o.Text("reason", e.message);
      break;
    default:
      break;
  }
  return o.str();
}

}  // namespace

std::string JsonString(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string json = "\"";
  while (!text.empty()) {
    const auto c = static_cast<unsigned char>(text[0]);
    size_t length = SequenceLength(text);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (c >= 0x20 && c != 0x7f && length > 0) {
      json.append(text.substr(0, length));
    } else {
      // A control character, or a byte of no UTF-8 sequence.
      json += "\\u00";
      json += kDigits[c >> 4];
      json += kDigits[c & 15];
      length = 1;
    }
    text.remove_prefix(length == 0 ? 1 : length);
  }
  return json + "\"";
}

std::string FormatReport(const TUploadSettings& settings, const TDeployResult& result,
                         const TReportFacts& facts) {
  const TDeployCounts& c = result.counts;
  std::vector<std::string> files;
  for (const TFileEvent& event : result.files) {
    if (event.outcome != TFileOutcome::kUnchanged) files.push_back(FileEntry(event, settings.Sync));
  }
  std::string plan = "null";
  if (settings.DryRun) {
    std::vector<std::string> steps;
    for (const TPlanStep& step : result.plan) {
      TObject o;
      o.Text("action", PlanActionWord(step.action)).Text("path", step.path);
      if (step.action == TPlanAction::kSend) {
        o.Text("reason", SendReasonWord(step.reason)).Number("bytes", step.bytes);
      }
      steps.push_back(o.str());
    }
    plan = Lines(steps);
  }
  std::vector<std::string> notices;
  for (const TDeployNotice& notice : facts.notices) {
    TObject o;
    o.Text("kind", NoticeWord(notice.kind)).Text("text", notice.text);
    if (notice.failure != TDeployFailure::kNone) o.Text("failure", FailureWord(notice.failure));
    notices.push_back(o.str());
  }
  TObject server;
  server.Text("host", settings.Server)
      .Number("port", settings.Port)
      .Text("remote_dir", settings.RemoteDir);
  TObject counts;
  counts.Number("sent", static_cast<int64_t>(c.stored))
      .Number("unchanged", static_cast<int64_t>(c.unchanged))
      .Number("deleted", static_cast<int64_t>(c.deleted))
      .Number("failed", static_cast<int64_t>(c.failed))
      .Number("not_sent", static_cast<int64_t>(c.not_sent))
      .Number("folders_made", static_cast<int64_t>(c.folders_made))
      .Number("bytes", c.bytes)
      .Number("deletes_held_back", static_cast<int64_t>(c.held_back));
  const std::string hold =
      result.hold == TDeleteHold::kNone ? "null" : JsonString(DeleteHoldWord(result.hold));
  const std::pair<const char*, std::string> fields[] = {
      {"format", JsonString("ftpupload-report")},
      {"version", std::to_string(kReportVersion)},
      {"tool", JsonString(facts.tool)},
      {"mode", JsonString(settings.Sync ? "sync" : "folder")},
      {"dry_run", settings.DryRun ? "true" : "false"},
      {"server", server.str()},
      {"started", JsonString(IsoTime(facts.started))},
      {"elapsed_ms", std::to_string(result.elapsed_ms)},
      {"exit_status", std::to_string(facts.exit_status)},
      {"failure", JsonString(FailureWord(result.failure))},
      {"counts", counts.str()},
      {"deletes_held_back", hold},
      {"files", Lines(files)},
      {"plan", plan},
      {"notices", Lines(notices)},
  };
  std::string text = "{\n";
  for (size_t i = 0; i < std::size(fields); ++i) {
    text += "  " + JsonString(fields[i].first) + ": " + fields[i].second +
            (i + 1 < std::size(fields) ? ",\n" : "\n");
  }
  return text + "}\n";
}

}  // namespace zud
