// What the command line asks for, read in one pass into a value that the
// upload jobs take. Nothing after the parse looks at the parameters again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "deploy/paths.h"
#include "frontend/tlsswitches.h"
#include "util/api.h"

namespace ZUD_API zud {

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
  bool Verbose = false;          // /verbose (folder and sync modes: the dialogue too)
  bool Active = false;           // /active (folder and sync modes: PORT/EPRT)

  // TLS: /tls, /ftps, /cacert:, /insecure (and whether /port was given).
  TTLSSwitches Tls;

  // Where else the login may come from (credentials.h resolves them).
  bool PassGiven = false;                // /pass was on the command line
  std::optional<std::string> PassFile;   // /passfile:FILE
  std::optional<std::string> PassEnv;    // /passenv:NAME
  std::optional<std::string> Netrc;      // /netrc ("") or /netrc:FILE

  // Folder mode.
  bool Recursive = false;                // /recursive
  bool MakeDirs = false;                 // /mkdir
  bool Atomic = false;                   // /atomic
  std::vector<std::string> Excludes;     // every /exclude:GLOB, in order
  int32_t Retries = 0;                   // /retry:N

  // Sync (with /recursive).
  bool Sync = false;                     // /sync
  bool Delete = false;                   // /delete
  bool DryRun = false;                   // /dryrun
  bool Checksum = false;                 // /checksum
  int32_t Parallel = 1;                  // /parallel:N, 1..kMaxParallel; with auto the ceiling
  bool ParallelAuto = false;             // /parallel:auto[:N] (N: the ceiling, 8 when absent)

  // Deploying from CI.
  std::string StateFile;                 // /statefile:REMOTEPATH (with /sync)
  bool Force = false;                    // /force (with /sync)
  int64_t MaxDelete = -1;                // /maxdelete:N (with /delete); -1 when absent
  int32_t FileMode = -1;                 // /chmod:FILEMODE[,FOLDERMODE]; -1 when absent
  int32_t DirMode = -1;                  // FOLDERMODE; -1 when absent
  std::optional<std::string> Report;     // /report:FILE, "-" for standard output

  // Whether a switch of folder mode was given: the run then takes the lean
  // dialogue of folder mode, also for plain files.
  bool FolderMode() const {
    return Recursive || MakeDirs || Atomic || Retries > 0 || !Excludes.empty() || Sync ||
           Delete || DryRun || Checksum || Parallel > 1 || ParallelAuto || !StateFile.empty() || Force ||
           MaxDelete >= 0 || FileMode >= 0 || Report.has_value();
  }
  // Whether the report goes to standard output, in place of the dialogue and the plan.
  bool ReportToOutput() const { return Report && *Report == "-"; }
  // Passive mode: /pasv, and in folder and sync modes unless /active.
  bool PassiveMode() const { return Passive || (FolderMode() && !Active); }
};

// The most deletes /maxdelete may allow.
inline constexpr int64_t kMaxDeleteLimit = 999999999;

// /chmod: value: "FILEMODE" or "FILEMODE,FOLDERMODE", each 3 or 4 octal
// digits (at most 7777); folder -1 when not given.
bool ParseModes(std::string_view text, int32_t& file, int32_t& folder);

// The most reconnects /retry may ask for.
inline constexpr int32_t kMaxRetries = 1000;
// The most sessions /parallel may ask for.
inline constexpr int32_t kMaxParallel = 16;
// The most sessions /parallel:auto opens when no N is given.
inline constexpr int32_t kAutoParallelCeiling = 8;

// Every field of the settings from params (1..N, without the program path),
// values taken as found: a port that is no number is 21, a bad timeout 0.
// Repeated switches: the first one counts, except /exclude, which adds up.
TUploadSettings ReadSettings(const std::vector<std::string>& params);

// The first command-line error in params as a message for people, or "":
// unknown switches and misused values, /port, /timeout and /retry values
// (which it stores in settings, strictly read), no host, a line break where
// a command must carry the text, sync switches without what they need,
// switches that contradict each other, and in folder and sync modes the
// slips of FindSwitchSlips. Also fits the port to implicit TLS.
std::string CheckSettings(TUploadSettings& settings, const std::vector<std::string>& params);

struct TParsedCommandLine {
  TUploadSettings settings;
  std::string error;  // "" when the command line holds no error
  // The classic run's slips (FindSwitchSlips), for warnings; it goes on.
  std::vector<std::string> warnings;
};

// ReadSettings, then CheckSettings when there are at least two parameters
// (with one, the classic tool reports only the missing file).
TParsedCommandLine ParseCommandLine(const std::vector<std::string>& params);

}  // namespace zud
