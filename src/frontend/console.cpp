#include "frontend/console.h"

#include <algorithm>
#include <string>
#include <utility>

#include "util/compat.h"

namespace zud {
namespace {

TOutputSink& OutputSink() {
  static TOutputSink sink;
  return sink;
}

std::string& MessagePrefix() {
  static std::string prefix = "ftpupload";
  return prefix;
}

// Columns covered by the status line now on the screen; 0 when none is shown.
size_t status_width = 0;

}  // namespace

void WriteOutput(std::string_view text) {
  ClearStatusLine();
  if (const TOutputSink& sink = OutputSink()) {
    sink(text);
    return;
  }
  WriteStandardOutput(text);
}

void WriteOutputLine(std::string_view line) {
  std::string text(line);
  text += "\r\n";
  WriteOutput(text);
}

TOutputSink ReplaceOutputSink(TOutputSink sink) {
  return std::exchange(OutputSink(), std::move(sink));
}

bool StatusLineAvailable() {
  static const bool available = IsStandardErrorTerminal();
  return available;
}

void ShowStatusLine(std::string_view text) {
  if (!StatusLineAvailable()) return;
  std::string line = "\r";
  line += text;
  // Blanks cover the rest of a longer previous line.
  if (text.size() < status_width) line.append(status_width - text.size(), ' ');
  status_width = std::max(status_width, text.size());
  WriteStandardError(line);
}

void ClearStatusLine() {
  if (status_width == 0) return;
  std::string blank = "\r" + std::string(status_width, ' ') + "\r";
  status_width = 0;
  WriteStandardError(blank);
}

void KeepStatusLine(std::string_view text) {
  if (!StatusLineAvailable()) return;
  ShowStatusLine(text);
  WriteStandardError("\n");
}

void WriteErrorLine(std::string_view text) {
  ClearStatusLine();
  std::string line = MessagePrefix();
  line += ": ";
  line += text;
  line += '\n';
  WriteStandardError(line);
}

void SetMessagePrefix(std::string_view name) { MessagePrefix() = name; }

}  // namespace zud
