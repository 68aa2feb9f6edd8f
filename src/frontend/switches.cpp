#include "frontend/switches.h"

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

}  // namespace

const std::vector<TSwitchInfo>& KnownSwitches() {
  using V = TSwitchValue;
  static const std::vector<TSwitchInfo> kSwitches = {
      {"host", V::kAny, "/host:NAME", "the FTP server's host name or address"},
      {"port", V::kAny, "/port:N", "the server's port (21; 990 with /ftps)"},
      {"user", V::kAny, "/user:NAME", "the login name (anonymous when absent)"},
      {"pass", V::kAny, "/pass:PASSWORD", "the password"},
      {"pasv", V::kAny, "/pasv", "passive mode: the tool opens the data connections"},
      {"ascii", V::kAny, "/ascii", "ASCII type (wins over /binary)"},
      {"binary", V::kAny, "/binary", "binary type (image)"},
      {"dir", V::kAny, "/dir:DIR", "the remote directory (/)"},
      {"timeout", V::kRequired, "/timeout:SECONDS", "the longest wait for the server (120)"},
      {"netrc", V::kOptional, "/netrc[:FILE]", "take the login from ~/.netrc or FILE"},
      {"passfile", V::kRequired, "/passfile:FILE", "take the password from FILE's first line"},
      {"passenv", V::kRequired, "/passenv:NAME", "take the password from environment variable NAME"},
      {"resume", V::kNone, "/resume", "continue a shorter remote copy, skip a complete one"},
      {"quiet", V::kNone, "/quiet", "no dialogue on standard output; failures and summary only"},
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
      {"parallel", V::kRequired, "/parallel:N",
       "up to N sessions at once for a tree (1-16, 1)"},
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
  for (const std::string& param : params) {
    const std::optional<TSwitchInfo> info = MatchSwitch(param);
    if (!info) {
      if (LooksLikeSwitch(param) && !FileExists(param) && !DirectoryExists(param)) {
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
