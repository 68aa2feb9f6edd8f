#include "frontend/console.h"

#include <algorithm>
#include <mutex>
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

// Sessions of a parallel run write from their own threads: a line is never
// cut by another, and the status line's width stays right.
std::recursive_mutex& ConsoleLock() {
  static std::recursive_mutex lock;
  return lock;
}

}  // namespace

void WriteOutput(std::string_view text) {
  std::lock_guard<std::recursive_mutex> lock(ConsoleLock());
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
  std::lock_guard<std::recursive_mutex> lock(ConsoleLock());
  if (!StatusLineAvailable()) return;
  std::string line = "\r";
  line += text;
  // Blanks cover the rest of a longer previous line.
  if (text.size() < status_width) line.append(status_width - text.size(), ' ');
  status_width = std::max(status_width, text.size());
  WriteStandardError(line);
}

void ClearStatusLine() {
  std::lock_guard<std::recursive_mutex> lock(ConsoleLock());
  if (status_width == 0) return;
  std::string blank = "\r" + std::string(status_width, ' ') + "\r";
  status_width = 0;
  WriteStandardError(blank);
}

void KeepStatusLine(std::string_view text) {
  std::lock_guard<std::recursive_mutex> lock(ConsoleLock());
  if (!StatusLineAvailable()) return;
  ShowStatusLine(text);
  WriteStandardError("\n");
}

void WriteErrorLine(std::string_view text) {
  std::lock_guard<std::recursive_mutex> lock(ConsoleLock());
  ClearStatusLine();
  std::string line = MessagePrefix();
  line += ": ";
  line += text;
  line += '\n';
  WriteStandardError(line);
}

void SetMessagePrefix(std::string_view name) { MessagePrefix() = name; }

}  // namespace zud
