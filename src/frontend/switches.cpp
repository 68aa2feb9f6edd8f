#include "frontend/switches.h"

#include <map>

#include "util/process.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {
namespace {

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '?';
}

// The value part of a matched switch parameter: after "/name", "" or ":value".
std::string_view ValuePart(std::string_view param, const TSwitchInfo& info) {
  return param.substr(1 + std::string_view(info.name).size());
}

bool CarriesValue(const TSwitchInfo& info) {
  return info.value == TSwitchValue::kClassic || info.value == TSwitchValue::kRequired ||
         info.value == TSwitchValue::kOptional;
}

// "/name:value" as it should have been written.
std::string Suggested(const TSwitchInfo& info, std::string_view value) {
  std::string text = std::string("/") + info.name;
  if (!value.empty()) {
    text.append(":").append(value);
  } else if (CarriesValue(info) && info.value != TSwitchValue::kOptional) {
    text += ":VALUE";
  }
  return text;
}

// A known switch written the way other tools take it: "--name", "--name:value",
// "--name=value", "/name=value", "-name=value". The table entry, with the
// value typed (possibly ""); nullopt for anything else.
std::optional<TSwitchInfo> OtherToolsForm(std::string_view param, std::string& value) {
  if (param.size() < 2 || (param[0] != '/' && param[0] != '-')) return std::nullopt;
  const bool double_dash = param.starts_with("--");
  std::string_view rest = param.substr(double_dash ? 2 : 1);
  const size_t cut = rest.find_first_of(":=");
  if (!double_dash && (cut == std::string_view::npos || rest[cut] != '=')) return std::nullopt;
  const std::string_view name = rest.substr(0, cut);
  for (const TSwitchInfo& info : KnownSwitches()) {
    if (!SameText8(name, info.name)) continue;
    value = cut == std::string_view::npos ? std::string() : std::string(rest.substr(cut + 1));
    return info;
  }
  return std::nullopt;
}

bool IsLocalPath(const std::string& param) { return FileExists(param) || DirectoryExists(param); }

// params[i + 1] when it may be the value meant for the switch at i: no
// known switch, and not the last parameter (the file). "" otherwise.
std::string NextAsValue(const std::vector<std::string>& params, size_t i) {
  if (i + 2 >= params.size() || MatchSwitch(params[i + 1])) return std::string();
  return params[i + 1];
}

// The switch at i carries a value and was given none.
bool LacksValue(const std::vector<std::string>& params, size_t i) {
  if (i >= params.size()) return false;
  const std::optional<TSwitchInfo> info = MatchSwitch(params[i]);
  if (!info || info->value != TSwitchValue::kClassic) return false;
  const std::string_view typed = ValuePart(params[i], *info);
  return typed.size() <= 1 && !(typed == ":" && std::string_view(info->name) == "pass");
}

}  // namespace

const std::vector<TSwitchInfo>& KnownSwitches() {
  using V = TSwitchValue;
  static const std::vector<TSwitchInfo> kSwitches = {
      {"host", V::kClassic, "/host:NAME", "the FTP server's host name or address"},
      {"port", V::kClassic, "/port:N", "the server's port (21; 990 with /ftps)"},
      {"user", V::kClassic, "/user:NAME", "the login name (anonymous when absent)"},
      {"pass", V::kClassic, "/pass:PASSWORD", "the password"},
      {"pasv", V::kAny, "/pasv",
       "passive mode: the tool opens the data connections (the default for folders)"},
      {"ascii", V::kAny, "/ascii", "ASCII type (wins over /binary)"},
      {"binary", V::kAny, "/binary", "binary type (image)"},
      {"dir", V::kClassic, "/dir:DIR", "the remote directory (/)"},
      {"timeout", V::kRequired, "/timeout:SECONDS", "the longest wait for the server (120)"},
      {"netrc", V::kOptional, "/netrc[:FILE]", "take the login from ~/.netrc or FILE"},
      {"passfile", V::kRequired, "/passfile:FILE", "take the password from FILE's first line"},
      {"passenv", V::kRequired, "/passenv:NAME", "take the password from environment variable NAME"},
      {"resume", V::kNone, "/resume", "continue a shorter remote copy, skip a complete one"},
      {"quiet", V::kNone, "/quiet", "no dialogue on standard output; failures and summary only"},
      {"verbose", V::kNone, "/verbose",
       "folder and sync modes: the FTP dialogue on standard output too"},
      {"active", V::kNone, "/active",
       "folder and sync modes: active mode (PORT/EPRT); passive is their default"},
      {"tls", V::kNone, "/tls", "explicit FTPS (AUTH TLS), required for login and data"},
      {"ftps", V::kNone, "/ftps", "implicit FTPS: TLS from the first byte"},
      {"cacert", V::kRequired, "/cacert:FILE", "trust the CA certificate(s) in FILE (PEM)"},
      {"insecure", V::kNone, "/insecure", "do not verify the server's certificate"},
      {"recursive", V::kNone, "/recursive",
       "upload a folder's tree (site/ its contents, site into a folder site)"},
      {"mkdir", V::kNone, "/mkdir", "create the remote directory and its missing parents"},
      {"exclude", V::kRequired, "/exclude:GLOB",
       "leave out matching files and folders (*, ?, [..], **, trailing / folders; repeatable)"},
      {"atomic", V::kNone, "/atomic",
       "store under a temporary name, rename when the server confirmed the whole file"},
      {"retry", V::kRequired, "/retry:N",
       "reconnect up to N times after a lost connection and continue the file"},
      {"sync", V::kNone, "/sync", "with /recursive: send only new and changed files"},
      {"delete", V::kNone, "/delete",
       "with /sync: remove remote files and folders that are gone locally"},
      {"dryrun", V::kNone, "/dryrun", "with /sync: print the plan, change nothing"},
      {"checksum", V::kNone, "/checksum",
       "with /sync: compare unchanged-looking files by SHA-256 too"},
      {"parallel", V::kRequired, "/parallel:N|auto[:N]",
       "up to N sessions at once for a tree (1-16, 1); auto: as many as the host allows (8)"},
      {"statefile", V::kRequired, "/statefile:REMOTEPATH",
       "with /sync: keep the state file there (outside the web root, say)"},
      {"force", V::kNone, "/force", "with /sync: take the deploy lock even from another run"},
      {"maxdelete", V::kRequired, "/maxdelete:N",
       "with /delete: delete nothing when more than N files and folders would go"},
      {"chmod", V::kRequired, "/chmod:FILEMODE[,FOLDERMODE]",
       "SITE CHMOD each file stored (and folder made) to these octal modes"},
      {"report", V::kRequired, "/report:FILE",
       "write a JSON report of the run to FILE (- for standard output)"},
  };
  return kSwitches;
}

bool LooksLikeSwitch(std::string_view param) {
  if (param.size() < 2 || (param[0] != '/' && param[0] != '-')) return false;
  std::string_view name = param.substr(1);
  if (name[0] == '-') name.remove_prefix(1);
  name = name.substr(0, name.find(':'));
  if (name.empty()) return false;
  for (char c : name) {
    if (!IsNameChar(c)) return false;
  }
  return true;
}

std::optional<TSwitchInfo> MatchSwitch(std::string_view param) {
  if (param.size() < 2 || (param[0] != '/' && param[0] != '-')) return std::nullopt;
  const std::string_view rest = param.substr(1);
  for (const TSwitchInfo& info : KnownSwitches()) {
    const std::string_view name = info.name;
    if (rest.size() < name.size() || !SameText8(rest.substr(0, name.size()), name)) continue;
    if (rest.size() == name.size() || rest[name.size()] == ':') return info;
  }
  return std::nullopt;
}

std::vector<TGivenSwitch> GivenSwitches(const std::vector<std::string>& params) {
  std::vector<TGivenSwitch> given;
  for (const std::string& param : params) {
    const std::optional<TSwitchInfo> info = MatchSwitch(param);
    if (!info) continue;
    std::string_view value = ValuePart(param, *info);
    if (!value.empty()) value.remove_prefix(1);  // the ":"
    given.push_back({info->name, std::string(value)});
  }
  return given;
}

std::string FullSwitchHelp() {
  std::string text;
  for (const TSwitchInfo& info : KnownSwitches()) {
    std::string line = std::string(" ") + info.synopsis;
    if (line.size() < 20) line.resize(20, ' ');
    text += line + " : " + info.help + "\r\n";
  }
  return text;
}

std::vector<std::string> LocalFileParameters(const std::vector<std::string>& params) {
  std::vector<std::string> files;
  for (const std::string& param : params) {
    if (!MatchSwitch(param)) files.push_back(param);
  }
  return files;
}

std::string FindSwitchError(const std::vector<std::string>& params) {
  for (size_t i = 0; i < params.size(); ++i) {
    const std::string& param = params[i];
    const std::optional<TSwitchInfo> info = MatchSwitch(param);
    if (!info) {
      if (LooksLikeSwitch(param) && !IsLocalPath(param)) {
        std::string value;
        if (const std::optional<TSwitchInfo> meant = OtherToolsForm(param, value)) {
          if (value.empty()) value = NextAsValue(params, i);
          return "unknown switch " + param + "; did you mean " + Suggested(*meant, value) + "?";
        }
        // "/dir /x": the value meant for the switch before.
        if (i > 0 && LacksValue(params, i - 1)) {
          return "unknown switch " + param + " (and no such file); did you mean " +
                 Suggested(*MatchSwitch(params[i - 1]), param) + "?";
        }
        return "unknown switch " + param + " (and no such file)";
      }
      continue;
    }
    const std::string_view value = ValuePart(param, *info);
    if (info->value == TSwitchValue::kNone && !value.empty()) {
      return "the switch /" + std::string(info->name) + " takes no value: " + param;
    }
    if (info->value == TSwitchValue::kRequired && value.size() < 2) {
      return "the switch /" + std::string(info->name) + " needs a value: /" + info->name + ":VALUE";
    }
  }
  return std::string();
}

std::vector<std::string> FindSwitchSlips(const std::vector<std::string>& params) {
  std::vector<std::string> slips;
  std::map<std::string, std::string> first_of;  // by name: the first such switch, as typed
  for (size_t i = 0; i < params.size(); ++i) {
    const std::string& param = params[i];
    const std::optional<TSwitchInfo> info = MatchSwitch(param);
    if (!info) {
      std::string value;
      const std::optional<TSwitchInfo> meant = OtherToolsForm(param, value);
      // "--name" and "--name:value" look like switches: FindSwitchError has them.
      if (meant && !LooksLikeSwitch(param) && !IsLocalPath(param)) {
        slips.push_back("no such switch or file: " + param + "; did you mean " +
                        Suggested(*meant, value) + "?");
      }
      continue;
    }
    const std::string_view typed = ValuePart(param, *info);
    if (LacksValue(params, i)) {
      const std::string next = NextAsValue(params, i);
      slips.push_back("the switch /" + std::string(info->name) + " needs a value" +
                      (next.empty() ? ": " + Suggested(*info, "")
                                    : "; did you mean " + Suggested(*info, next) + "?"));
    }
    if (!CarriesValue(*info) || std::string_view(info->name) == "exclude") continue;
    const auto [first, new_name] = first_of.try_emplace(info->name, param);
    if (!new_name && ValuePart(first->second, *info) != typed) {
      slips.push_back("/" + std::string(info->name) + " is given twice, as " + first->second +
                      " and " + param + "; give it once");
    }
  }
  return slips;
}

std::optional<int> ParsePortValue(std::string_view text) {
  if (text.empty()) return 21;
  const int64_t port = TextToInt64Def(text, -1);
  if (port < 1 || port > 65535) return std::nullopt;
  return static_cast<int>(port);
}

std::optional<int64_t> ParseDigits(std::string_view text, size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::optional<int> ParseTimeoutValue(std::string_view text) {
  const std::optional<int64_t> seconds = ParseDigits(text, 7);
  if (!seconds || *seconds < 1 || *seconds > 2147483) return std::nullopt;
  return static_cast<int>(*seconds * 1000);
}

}  // namespace zud
