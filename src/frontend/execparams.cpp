#include "frontend/execparams.h"

#include <utility>

#include "util/compat.h"
#include "util/textutil.h"

namespace zud {

namespace {

std::vector<std::string>& Params() {
  static std::vector<std::string> params{""};
  return params;
}

}  // namespace

TExecParams ExecParams;

std::string InitProgramParameters(int argc, char** argv) {
  std::vector<std::string> params;
  std::string error;
  if (!ReadProgramArguments(argc, argv, params, error)) params.clear();
  // Without argv[0] the program still knows its own path.
  if (params.empty()) params.emplace_back();
  params[0] = ProgramPathFromArgument(params[0]);
  SetProgramParameters(std::move(params));
  return error;
}

void SetProgramParameters(std::vector<std::string> params) {
  if (params.empty()) params.emplace_back();
  Params() = std::move(params);
}

int ParameterCount() { return static_cast<int>(Params().size()) - 1; }

const std::string& Parameter(int i) {
  static const std::string kEmpty;
  if (i < 0 || i > ParameterCount()) return kEmpty;
  return Params()[static_cast<size_t>(i)];
}

bool FindSwitchValue(const std::vector<std::string>& names,
                     const std::vector<std::string>& prefixes, bool ignore_case, char separator,
                     std::string& value) {
  for (int i = 1; i <= ParameterCount(); ++i) {
    const std::string& param = Parameter(i);
    const std::string text = ignore_case ? LowerCase8(param) : param;
    for (const std::string& name : names) {
      for (const std::string& prefix : prefixes) {
        const std::string typed = prefix + name;
        const std::string candidate = ignore_case ? LowerCase8(typed) : typed;
        const bool matches =
            text == candidate || (text.size() > candidate.size() &&
                                  text.compare(0, candidate.size(), candidate) == 0 &&
                                  text[candidate.size()] == separator);
        if (!matches) continue;
        // 8-bit case mapping keeps lengths, so the cut applies to the typed text.
        std::string rest = param.substr(candidate.size());
        if (!rest.empty() && rest[0] == separator) rest.erase(0, 1);
        value = std::move(rest);
        return true;
      }
    }
  }
  return false;
}

bool IsSwitchPresent(std::string_view name, std::string_view lead_chars, bool ignore_case) {
  for (int i = 1; i <= ParameterCount(); ++i) {
    const std::string& param = Parameter(i);
    if (param.empty()) continue;
    if (!lead_chars.empty() && lead_chars.find(param[0]) == std::string_view::npos) continue;
    const std::string_view rest = std::string_view(param).substr(1);
    if (ignore_case ? SameText8(rest, name) : rest == name) return true;
  }
  return false;
}

// ---- TExecParams ----------------------------------------------------------

TExecParams::TExecParams(const std::vector<std::string>& parameters) {
  for (const std::string& param : parameters) {
    const size_t equals = param.find('=');
    if (equals == std::string::npos || equals == 0) continue;
    SetValue(std::string_view(param).substr(0, equals), std::string_view(param).substr(equals + 1));
  }
}

int TExecParams::IndexOfName(std::string_view name) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::string_view line = lines_[i];
    if (SameText8(line.substr(0, line.find('=')), name)) return static_cast<int>(i);
  }
  return -1;
}

std::string TExecParams::Values(std::string_view name) const {
  const int index = IndexOfName(name);
  if (index < 0) return "";
  const std::string& line = lines_[static_cast<size_t>(index)];
  return line.substr(line.find('=') + 1);
}

void TExecParams::SetValue(std::string_view name, std::string_view value) {
  const int index = IndexOfName(name);
  if (value.empty()) {
    if (index >= 0) lines_.erase(lines_.begin() + index);
    return;
  }
  std::string line = std::string(name) + "=" + std::string(value);
  if (index >= 0) {
    lines_[static_cast<size_t>(index)] = std::move(line);
  } else {
    lines_.push_back(std::move(line));
  }
}

void BuildExecParams() {
  std::vector<std::string> parameters;
  for (int i = 1; i <= ParameterCount(); ++i) parameters.push_back(Parameter(i));
  ExecParams = TExecParams(parameters);
}

void FreeExecParams() { ExecParams = TExecParams(); }

}  // namespace zud
