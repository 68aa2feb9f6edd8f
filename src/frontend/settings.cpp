#include "frontend/settings.h"

#include <string_view>

#include "frontend/switches.h"
#include "util/textutil.h"

namespace zud {
namespace {

// The switches as given, looked up by name: the first of each counts.
class TGiven {
 public:
  explicit TGiven(const std::vector<std::string>& params) : given_(GivenSwitches(params)) {}

  bool Has(std::string_view name) const { return Find(name) != nullptr; }
  // The value of the first such switch; false (value untouched) when absent.
  bool Value(std::string_view name, std::string& value) const {
    const TGivenSwitch* found = Find(name);
    if (found == nullptr) return false;
    value = found->value;
    return true;
  }
  std::optional<std::string> Optional(std::string_view name) const {
    const TGivenSwitch* found = Find(name);
    if (found == nullptr) return std::nullopt;
    return found->value;
  }
  std::vector<std::string> All(std::string_view name) const {
    std::vector<std::string> values;
    for (const TGivenSwitch& s : given_) {
      if (name == s.name) values.push_back(s.value);
    }
    return values;
  }

 private:
  const TGivenSwitch* Find(std::string_view name) const {
    for (const TGivenSwitch& s : given_) {
      if (name == s.name) return &s;
    }
    return nullptr;
  }

  std::vector<TGivenSwitch> given_;
};

std::optional<int32_t> ParseRetryValue(std::string_view text) {
  const std::optional<int64_t> n = ParseDigits(text, 4);
  if (!n || *n > kMaxRetries) return std::nullopt;
  return static_cast<int32_t>(*n);
}

// /parallel: value: "N", "auto" or "auto:N" (N from 1 to kMaxParallel).
struct TParallelValue {
  int32_t sessions = 1;  // with auto the ceiling
  bool automatic = false;
};
std::optional<TParallelValue> ParseParallelValue(std::string_view text) {
  TParallelValue value;
  if (text.size() >= 4 && SameText8(text.substr(0, 4), "auto")) {
    value.automatic = true;
    value.sessions = kAutoParallelCeiling;
    if (text.size() == 4) return value;
    if (text[4] != ':') return std::nullopt;
    text.remove_prefix(5);
  }
  const std::optional<int64_t> n = ParseDigits(text, 2);
  if (!n || *n < 1 || *n > kMaxParallel) return std::nullopt;
  value.sessions = static_cast<int32_t>(*n);
  return value;
}

std::optional<int64_t> ParseMaxDelete(std::string_view text) {
  const std::optional<int64_t> n = ParseDigits(text, 9);
  if (!n || *n > kMaxDeleteLimit) return std::nullopt;
  return n;
}

std::optional<int32_t> ParseMode(std::string_view text) {
  if (text.size() < 3 || text.size() > 4) return std::nullopt;
  int32_t mode = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    mode = mode * 8 + (c - '0');
  }
  return mode;
}

TUploadSettings ReadGiven(const TGiven& given, const std::vector<std::string>& params) {
  TUploadSettings s;
  given.Value("host", s.Server);
  std::string value;
  if (given.Value("port", value)) s.Port = TextToIntDef(value, 21);
  given.Value("user", s.User);
  given.Value("pass", s.Pass);
  s.Passive = given.Has("pasv");
  if (given.Has("ascii")) {
    s.Mode = "ascii";
  } else if (given.Has("binary")) {
    s.Mode = "binary";
  }
  s.RemoteDir.clear();
  given.Value("dir", s.RemoteDir);
  if (s.RemoteDir.empty()) s.RemoteDir = "/";
  if (params.size() >= 2) {
    s.LocalPath = params.back();
    s.Files = LocalFileParameters(params);
  }
  if (given.Value("timeout", value)) s.TimeoutMs = ParseTimeoutValue(value).value_or(0);
  s.Resume = given.Has("resume");
  s.Quiet = given.Has("quiet");
  s.Verbose = given.Has("verbose");
  s.Active = given.Has("active");

  s.Tls.explicit_tls = given.Has("tls");
  s.Tls.implicit_tls = given.Has("ftps");
  s.Tls.port_given = given.Has("port");
  given.Value("cacert", s.Tls.ca_file);
  s.Tls.insecure = given.Has("insecure");

  s.PassGiven = given.Has("pass");
  s.PassFile = given.Optional("passfile");
  s.PassEnv = given.Optional("passenv");
  s.Netrc = given.Optional("netrc");

  s.Recursive = given.Has("recursive");
  s.MakeDirs = given.Has("mkdir");
  s.Atomic = given.Has("atomic");
  s.Excludes = given.All("exclude");
  if (given.Value("retry", value)) s.Retries = ParseRetryValue(value).value_or(0);
  s.Sync = given.Has("sync");
  s.Delete = given.Has("delete");
  s.DryRun = given.Has("dryrun");
  s.Checksum = given.Has("checksum");
  if (given.Value("parallel", value)) {
    const TParallelValue parallel = ParseParallelValue(value).value_or(TParallelValue{});
    s.Parallel = parallel.sessions;
    s.ParallelAuto = parallel.automatic;
  }
  given.Value("statefile", s.StateFile);
  s.Force = given.Has("force");
  if (given.Value("maxdelete", value)) s.MaxDelete = ParseMaxDelete(value).value_or(0);
  if (given.Value("chmod", value) && !ParseModes(value, s.FileMode, s.DirMode)) {
    s.FileMode = s.DirMode = -1;
  }
  s.Report = given.Optional("report");
  return s;
}

std::string CheckGiven(TUploadSettings& settings, const TGiven& given,
                       const std::vector<std::string>& params) {
  std::string error = FindSwitchError(params);
  if (!error.empty()) return error;
  if (settings.FolderMode()) {
    const std::vector<std::string> slips = FindSwitchSlips(params);
    if (!slips.empty()) return slips.front();
  }
  if (settings.Passive && settings.Active) return "/pasv and /active contradict each other";
  if (settings.Quiet && settings.Verbose) return "/quiet and /verbose contradict each other";
  std::string value;
  if (given.Value("port", value)) {
    const std::optional<int> port = ParsePortValue(value);
    if (!port) return "the port must be a number from 1 to 65535: /port:" + value;
    settings.Port = *port;
  }
  if (given.Value("timeout", value)) {
    const std::optional<int> timeout = ParseTimeoutValue(value);
    if (!timeout) return "the timeout must be whole seconds from 1 to 2147483: /timeout:" + value;
    settings.TimeoutMs = *timeout;
  }
  if (given.Value("retry", value)) {
    const std::optional<int32_t> retries = ParseRetryValue(value);
    if (!retries) {
      return "the retry count must be a number from 0 to " + std::to_string(kMaxRetries) +
             ": /retry:" + value;
    }
    settings.Retries = *retries;
  }
  if (given.Value("parallel", value)) {
    const std::optional<TParallelValue> parallel = ParseParallelValue(value);
    if (!parallel && SameText8(value.substr(0, 4), "auto")) {
      return "/parallel:auto takes a ceiling from 1 to " + std::to_string(kMaxParallel) +
             " (auto:N): /parallel:" + value;
    }
    if (!parallel) {
      return "the number of sessions must be from 1 to " + std::to_string(kMaxParallel) +
             ": /parallel:" + value;
    }
    settings.Parallel = parallel->sessions;
    settings.ParallelAuto = parallel->automatic;
  }
  if (given.Value("maxdelete", value)) {
    const std::optional<int64_t> limit = ParseMaxDelete(value);
    if (!limit) {
      return "the delete limit must be a number from 0 to " + std::to_string(kMaxDeleteLimit) +
             ": /maxdelete:" + value;
    }
    settings.MaxDelete = *limit;
  }
  if (given.Value("chmod", value) && !ParseModes(value, settings.FileMode, settings.DirMode)) {
    return "/chmod takes octal modes, FILEMODE or FILEMODE,FOLDERMODE (644,755, say): /chmod:" +
           value;
  }
  if (settings.Sync && !settings.Recursive) return "/sync works on folder trees: add /recursive";
  for (const char* needs_sync : {"delete", "dryrun", "checksum", "statefile", "force"}) {
    if (given.Has(needs_sync) && !settings.Sync) {
      return std::string("/") + needs_sync + " works with /sync";
    }
  }
  if (given.Has("maxdelete") && !settings.Delete) return "/maxdelete works with /delete";
  if (given.Has("statefile")) {
    const std::string& path = settings.StateFile;
    if (path.back() == '/' || path.back() == '\\') {
      return "/statefile names a file, not a folder: /statefile:" + path;
    }
    if (HoldsLineBreak(path)) return "the state file's path holds a line break";
    if (settings.Files.size() > 1) {
      return "one /statefile keeps the state of one folder: name one folder";
    }
  }
  if (settings.Server.empty()) return "no host given: /host:NAME";
  if (HoldsLineBreak(settings.RemoteDir)) {
    return "the remote directory holds a line break, which an FTP command cannot carry";
  }
  for (const std::string& file : settings.Files) {
    if (HoldsLineBreak(LocalFileNamePart(file))) {
      return "the file name " + file + " holds a line break, which an FTP command cannot carry";
    }
  }
  settings.Port = settings.Tls.PortOr(settings.Port);
  return std::string();
}

}  // namespace

TUploadSettings ReadSettings(const std::vector<std::string>& params) {
  return ReadGiven(TGiven(params), params);
}

std::string CheckSettings(TUploadSettings& settings, const std::vector<std::string>& params) {
  return CheckGiven(settings, TGiven(params), params);
}

bool ParseModes(std::string_view text, int32_t& file, int32_t& folder) {
  const size_t comma = text.find(',');
  const std::optional<int32_t> file_mode = ParseMode(text.substr(0, comma));
  std::optional<int32_t> folder_mode = -1;
  if (comma != std::string_view::npos) folder_mode = ParseMode(text.substr(comma + 1));
  if (!file_mode || !folder_mode) return false;
  file = *file_mode;
  folder = *folder_mode;
  return true;
}

TParsedCommandLine ParseCommandLine(const std::vector<std::string>& params) {
  const TGiven given(params);
  TParsedCommandLine parsed;
  parsed.settings = ReadGiven(given, params);
  if (params.size() < 2) return parsed;
  parsed.error = CheckGiven(parsed.settings, given, params);
  if (parsed.error.empty() && !parsed.settings.FolderMode()) {
    parsed.warnings = FindSwitchSlips(params);
  }
  return parsed;
}

}  // namespace zud
