// Process-level services of the command-line tool: interrupt and broken-pipe
// signals, environment variables, the home directory and small local files.
// The one place above the socket binding that touches signals and the
// environment; a Windows build gives these functions a twin file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace zud {

// A write to a closed pipe or socket fails with an error instead of ending
// the process.
void IgnoreBrokenPipe();

// Ctrl-C (SIGINT) and termination requests (SIGTERM).
//
// Installs the handlers. Until stop flags are armed, an interrupt writes
// exit_message to standard error and ends the process at once with status
// 130: nothing is under way that needs a clean end. The message is copied.
void InstallInterruptHandler(std::string_view exit_message);
// Arms (or, with nullptrs, disarms) the flags the next interrupt raises
// instead of ending the process; a second interrupt ends it as above, and so
// does a clean stop still running 10 s after the interrupt. The flags must
// outlive the arming.
void ArmInterruptFlags(std::atomic<bool>* first, std::atomic<bool>* second);
// True once an interrupt raised the armed flags.
bool InterruptRequested();

// The value of environment variable name; false when it is not set.
bool ReadEnvironmentVariable(const std::string& name, std::string& value);
// The user's home directory ($HOME, else the password database); "" when
// neither knows.
std::string HomeDirectory();
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
