// The tool's two output channels.
//
// Standard output carries everything the tool reports: the echoed protocol
// dialogue and its own messages. Each write is flushed at once, so a user or
// a script watching the output sees every line as it happens.
//
// Standard error carries only a transient status line (the progress meter),
// and only when it is a terminal; when it is not, nothing is ever written
// there. Standard output clears the status line before it writes, so the two
// never share a screen line.
#pragma once

#include <functional>
#include <string_view>

namespace zud {

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

}  // namespace zud
