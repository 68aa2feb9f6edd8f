// Feeds arbitrary parameters to the switch finder and to ExecParams.
//
// Input layout: the first byte holds the flags (bit 0 ignore case, bits 1-7
// pick the separator among ':' '=' and the byte itself); the rest is cut at
// NUL bytes into the parameters, of which the first two are also the names
// and prefixes searched for (each cut at '|').
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/execparams.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

std::vector<std::string> Split(std::string_view text, char at) {
  std::vector<std::string> parts;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find(at, start);
    if (end == std::string_view::npos) end = text.size();
    parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool ignore_case = data[0] & 1;
  const uint8_t pick = data[0] >> 1;
  const char separator = pick % 3 == 0 ? ':' : pick % 3 == 1 ? '=' : static_cast<char>(pick);
  std::vector<std::string> params = Split(
      std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), '\0');
  const std::vector<std::string> names = Split(params[0], '|');
  const std::vector<std::string> prefixes = Split(params.size() > 1 ? params[1] : "/|-", '|');

  params.insert(params.begin(), "ftpupload");
  zud::SetProgramParameters(params);
  Check(zud::ParameterCount() == static_cast<int>(params.size()) - 1, "every parameter kept");

  std::string value = "untouched";
  if (zud::FindSwitchValue(names, prefixes, ignore_case, separator, value)) {
    bool inside = false;
    for (int i = 1; i <= zud::ParameterCount() && !inside; ++i) {
      inside = zud::Parameter(i).find(value) != std::string::npos;
    }
    Check(inside, "a switch value comes from a parameter");
  } else {
    Check(value == "untouched", "a miss leaves the value alone");
  }
  (void)zud::IsSwitchPresent(names[0], params.size() > 2 ? params[2] : "/-", ignore_case);

  zud::TExecParams exec(std::vector<std::string>(params.begin() + 1, params.end()));
  for (const std::string& line : exec.Lines()) {
    const size_t eq = line.find('=');
    Check(eq != std::string::npos, "every line is name=value");
    const std::string name = line.substr(0, eq);
    Check(exec.IndexOfName(name) >= 0, "every name is found");
  }
  if (exec.Count() > 0) {
    const std::string name = exec.Lines()[0].substr(0, exec.Lines()[0].find('='));
    exec.SetValue(name, "");
    exec.SetValue(name, "x");
    Check(exec.Values(name) == "x", "a value set is read back");
  }
  return 0;
}
