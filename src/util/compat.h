// Platform clock, sleep, local time and locale names. The only place above
// the socket binding that talks to the operating system's timing and locale
// calls.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/api.h"

namespace ZUD_API zud {

// Suspends the calling thread; 0 yields the processor once.
void SleepMilliseconds(uint32_t milliseconds);
// Raw monotonic clock in milliseconds (the tick counter keeps its low 32 bits).
uint64_t MonotonicMilliseconds();

// The broken-down local date and time.
struct TLocalTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};
TLocalTime LocalTimeNow();

// Names the system's LC_TIME locale (from LC_ALL / LC_TIME / LANG) uses,
// read without touching the process's global locale (Windows: the user's
// locale, in UTF-8). When that locale cannot be made, the English names of
// the C locale.
struct TLocaleTimeNames {
  std::array<std::string, 12> abbreviated_months;  // raw bytes, e.g. "Jan"
  std::string am_designator;                       // "AM" in the C locale
  std::string pm_designator;                       // "PM" in the C locale
};
TLocaleTimeNames ReadLocaleTimeNames();

// True when a debugger (any tracer) is attached to this process; on Linux the
// TracerPid line of /proc/self/status names it.
bool IsDebuggerAttached();
// The command line's parameters, parameter 0 (the program as started) first.
// Linux: argv as given, bytes whatever the locale. Windows: the UTF-16
// command line (GetCommandLineW, split by CommandLineToArgvW), each
// parameter in UTF-8; argv, which came through the ANSI code page, is not
// used. False with a reason for people when a parameter cannot be carried
// as UTF-8 (it holds an unpaired surrogate).
bool ReadProgramArguments(int argc, char** argv, std::vector<std::string>& arguments,
                          std::string& error);
// The path of the running executable, "" when the system cannot tell.
std::string ExecutablePath();
// The program's own path as the command line's parameter 0 shows it: on
// Linux argv[0] as given (the executable's path when it is empty); on Windows
// the module's file name, as the system reports it, so that the program is
// named with its ".exe".
std::string ProgramPathFromArgument(const std::string& argv0);
// The line end of text files and of what scripts read on this platform:
// LF on Linux, CR LF on Windows.
#if defined(_WIN32)
inline constexpr char kTextLineEnd[] = "\r\n";
#else
inline constexpr char kTextLineEnd[] = "\n";
#endif
// Puts standard output and standard error into binary mode, so that a CR LF
// written leaves the process as CR LF (Windows would make it CR CR LF).
// Nothing to do on Linux.
void PrepareStandardStreams();
// True when standard error is a terminal (progress displays go there only then).
bool IsStandardErrorTerminal();
// Write all of text to standard output or standard error, unbuffered, so
// that each call leaves the process at once. False when the stream is gone
// (a closed pipe, say); the caller decides whether that matters. Text is
// UTF-8: a pipe or a file gets its bytes; a Windows console gets it as
// UTF-16, so that every character shows (a byte outside a well-formed
// sequence as U+FFFD), whatever the console's code page.
bool WriteStandardOutput(std::string_view text);
bool WriteStandardError(std::string_view text);
// Reads one line from standard input (up to the line end or its end); from a
// Windows console in UTF-8.
std::string ReadStandardInputLine();

}  // namespace zud
