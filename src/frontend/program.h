// The program body of the upload tool: help decision, usage text, upload
// settings from the switches, and the debugger-only dump and waits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/settings.h"
#include "util/api.h"

namespace ZUD_API zud {

// Process-wide: the command line as the program body parsed it.
extern TUploadSettings UploadSettings;

// Runs start-up, the program body and shut-down; returns the exit status
// (TExitStatus): 0 after the usage text, the version or a successful upload;
// 1 also when an exception reached the top. On Windows the parameters are
// the process's own UTF-16 command line, whatever argv holds.
int RunProgram(int argc, char** argv);

// True without parameters, or for /?, -? or --help (any letter case), or -h.
bool IsHelpRequested();
// "--version": the version and the TLS library, as printed.
std::string VersionText(std::string_view exe);
// ReadSettings over the current parameters, every field from scratch.
void GatherUploadSettings(TUploadSettings& settings);
// CheckSettings over the current parameters.
std::string CheckUploadSettings(TUploadSettings& settings);
// The parameters 1..N.
std::vector<std::string> AllParameters();

// The file name part of a program path: after the last "/", "\" or ":".
std::string ProgramFileName(std::string_view path);
// The usage text for the program name exe, every line ending in CR LF.
std::string UsageText(std::string_view exe);
// "--help all": every switch with one line each, lines ending in CR LF.
std::string FullHelpText(std::string_view exe);
// Prints the usage text and, on standard error, where the other switches
// are described; under a debugger then waits for Enter.
void ShowUsage();
// The debugger-only configuration dump, one line ending in CR LF; the
// password shows as "**********".
std::string SettingsDump(const TUploadSettings& settings);

}  // namespace zud
