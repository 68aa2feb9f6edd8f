// The program body of the upload tool: help decision, usage text, upload
// settings from the switches, and the debugger-only dump and waits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zud {

// What the upload job needs from the command line.
struct TUploadSettings {
  std::string Server;            // /host:
  int32_t Port = 21;             // /port:, 21 when absent or not a number
  std::string User;              // /user:
  std::string Pass;              // /pass:
  bool Passive = false;          // /pasv (any value)
  std::string Mode;              // "ascii", "binary" or "" (ascii wins)
  std::string RemoteDir = "/";   // /dir:, "/" when absent or empty
  std::string LocalPath;         // the last parameter when there are at least two
  // Every parameter that is not a switch, in order; LocalPath alone when
  // there is none (as before, the last parameter is then the path).
  std::vector<std::string> Files;
  int32_t TimeoutMs = 120000;    // /timeout:, in milliseconds
  bool Resume = false;           // /resume
  bool Quiet = false;            // /quiet
};

// Process-wide; filled by GatherUploadSettings.
extern TUploadSettings UploadSettings;

// Runs start-up, the program body and shut-down; returns the exit status
// (TExitStatus): 0 after the usage text, the version or a successful upload;
// 1 also when an exception reached the top.
int RunProgram(int argc, char** argv);

// True without parameters, or for /?, -? or --help (any letter case), or -h.
bool IsHelpRequested();
// "--version": the version and the TLS library, as printed.
std::string VersionText(std::string_view exe);
// Fills settings from the current parameters, every field from scratch.
// Values are taken as found; CheckUploadSettings judges them.
void GatherUploadSettings(TUploadSettings& settings);
// The first command-line error (unknown switch, bad value, no host, a line
// break where a command must carry the text) as a message, or "". Sets
// TimeoutMs and Port from their switches.
std::string CheckUploadSettings(TUploadSettings& settings);

// The file name part of a program path: after the last "/", "\" or ":".
std::string ProgramFileName(std::string_view path);
// The usage text for the program name exe, every line ending in CR LF.
std::string UsageText(std::string_view exe);
// Prints the usage text; under a debugger then waits for Enter.
void ShowUsage();
// The debugger-only configuration dump, one line ending in CR LF.
std::string SettingsDump(const TUploadSettings& settings);

}  // namespace zud
