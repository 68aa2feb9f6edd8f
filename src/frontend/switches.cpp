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
  static const std::vector<TSwitchInfo> kSwitches = {
      {"host", TSwitchValue::kAny},          {"port", TSwitchValue::kAny},
      {"user", TSwitchValue::kAny},          {"pass", TSwitchValue::kAny},
      {"pasv", TSwitchValue::kAny},          {"ascii", TSwitchValue::kAny},
      {"binary", TSwitchValue::kAny},        {"dir", TSwitchValue::kAny},
      {"timeout", TSwitchValue::kRequired},  {"netrc", TSwitchValue::kOptional},
      {"passfile", TSwitchValue::kRequired}, {"passenv", TSwitchValue::kRequired},
      {"resume", TSwitchValue::kNone},       {"quiet", TSwitchValue::kNone},
      {"tls", TSwitchValue::kNone},          {"ftps", TSwitchValue::kNone},
      {"cacert", TSwitchValue::kRequired},   {"insecure", TSwitchValue::kNone},
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

std::optional<int> ParseTimeoutValue(std::string_view text) {
  if (text.empty() || text.size() > 7) return std::nullopt;
  int64_t seconds = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    seconds = seconds * 10 + (c - '0');
  }
  if (seconds < 1 || seconds > 2147483) return std::nullopt;
  return static_cast<int>(seconds * 1000);
}

}  // namespace zud
