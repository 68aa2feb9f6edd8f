// Process-level services of the command-line tool: interrupt and broken-pipe
// signals, environment variables, the home directory and small local files.
// The one place above the socket binding that touches signals and the
// environment; a Windows build gives these functions a twin file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/api.h"

namespace ZUD_API zud {

// A write to a closed pipe or socket fails with an error instead of ending
// the process.
void IgnoreBrokenPipe();

// The C library's allocator: at most arenas heaps for all threads (glibc
// gives each thread its own, which holds freed memory apart from the
// others), and freed memory handed back to the system after a large phase.
// Both do nothing where the allocator has no such controls.
void LimitMemoryArenas(int arenas);
void ReturnFreeMemory();

// Ctrl-C (SIGINT) and termination requests (SIGTERM).
//
// Installs the handlers. Until stop flags are armed, an interrupt writes
// exit_message to standard error and ends the process at once by that same
// signal (status 130 where signals cannot end it), so that a shell loop
// around the tool stops too: nothing is under way that needs a clean end. A
// terminal left without echo by ReadHiddenLine is put back first. The
// message is copied.
void InstallInterruptHandler(std::string_view exit_message);
// Arms (or, with nullptrs, disarms) the flags the next interrupt raises
// instead of ending the process; a second interrupt ends it as above, and so
// does a clean stop still running 10 s after the interrupt. The flags must
// outlive the arming.
void ArmInterruptFlags(std::atomic<bool>* first, std::atomic<bool>* second);
// True once an interrupt raised the armed flags.
bool InterruptRequested();
// The signal number that raised the interrupt (SIGINT or SIGTERM), 0 when
// none came.
int InterruptSignal();
// After a clean stop: when an interrupt came, flushes the C streams, restores
// the signal's default action and raises it, so that the process ends by
// that signal (a shell reports 128+N, 130 for Ctrl-C). Returns only when no
// interrupt came or the platform cannot end that way (Windows): the caller
// then exits with its own status (130 after an interrupt).
void EndByInterruptSignal();

// True when standard input is a terminal.
bool IsStandardInputTerminal();
// Longest line ReadHiddenLine takes, line end excluded.
inline constexpr size_t kHiddenLineMax = 1024;
// Writes prompt to the terminal and reads one line from it with echo off
// (restored on every path, an interrupt included), without its line end; a
// line feed is written after it. Linux uses /dev/tty, not standard input and
// output; Windows the console (CONIN$/CONOUT$). False when there is no
// terminal, the read fails or meets end of input, the line is longer than
// kHiddenLineMax, or an interrupt raised armed flags meanwhile.
bool ReadHiddenLine(std::string_view prompt, std::string& line);

// The value of environment variable name; false when it is not set.
bool ReadEnvironmentVariable(const std::string& name, std::string& value);
// The user's home directory ($HOME, else the password database); "" when
// neither knows.
std::string HomeDirectory();
// Who runs this process, for a record others read (a deploy lock): the
// account's name, or its number when the system knows no name.
std::string LocalUserName();
// This process's id.
int64_t CurrentProcessId();
// The files a netrc login is looked up in when none is named, in order:
// Linux $HOME/.netrc; Windows %USERPROFILE%\_netrc, then %USERPROFILE%\.netrc
// (in the home directory when no profile is set). Empty when neither is known.
std::vector<std::string> DefaultNetrcFiles();
// Reads the whole file at path when it is at most max_bytes long. On failure
// returns false with a reason for people in error ("No such file or
// directory", "larger than 65536 bytes").
bool ReadSmallFile(const std::string& path, size_t max_bytes, std::string& content,
                   std::string& error);
// True when path names an existing directory.
bool DirectoryExists(const std::string& path);
// True when path names a regular file: one that can be read twice (unlike a
// pipe, a FIFO or a terminal, where a look ahead would take the data away).
bool IsRegularFile(const std::string& path);

}  // namespace zud
