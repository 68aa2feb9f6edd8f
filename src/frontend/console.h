// The tool's two output channels.
//
// Standard output carries the echoed protocol dialogue and the classic
// messages. Each write is flushed at once, so a user or
// a script watching the output sees every line as it happens.
//
// Standard error carries the tool's own messages (failures, warnings,
// summaries) and, only when it is a terminal, a status line (the progress
// meter). Standard output clears the status line before it writes, so the two
// never share a screen line. Any thread may write: lines never interleave.
#pragma once

#include <functional>
#include <string_view>

#include "util/api.h"

namespace ZUD_API zud {

// Writes text to standard output as it stands and flushes it.
void WriteOutput(std::string_view text);
// Writes line followed by CR LF.
void WriteOutputLine(std::string_view line);

// Where standard output text goes instead (tests capture it this way); an
// empty sink restores standard output. Returns the sink replaced.
using TOutputSink = std::function<void(std::string_view text)>;
TOutputSink ReplaceOutputSink(TOutputSink sink);

// Whether a status line can be shown: standard error is a terminal.
bool StatusLineAvailable();
// Shows text as the status line, replacing (and fully covering) the previous
// one. Does nothing when no status line is available.
void ShowStatusLine(std::string_view text);
// Erases the status line, if one is shown.
void ClearStatusLine();
// Shows text as the status line and ends it, so that it stays on the screen.
// The fresh line below counts as the status line and is cleared before the
// next write.
void KeepStatusLine(std::string_view text);

// Writes one message line to standard error ("name: text" and a line end),
// after clearing the status line.
void WriteErrorLine(std::string_view text);
// The program name the messages start with.
void SetMessagePrefix(std::string_view name);

}  // namespace zud
