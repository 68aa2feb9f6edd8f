// The command-line parameters and the switch finder over them.
//
// Parameters are numbered 1..N as the user typed them (parameter 0, the
// program's own path, is never searched). They are byte strings: on Linux
// as the system passed them, on Windows UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/api.h"

namespace ZUD_API zud {

// Start-up: takes the process's parameters from main's argc/argv (on
// Windows from the UTF-16 command line, in UTF-8). Returns "" or, when a
// parameter cannot be read as text, the reason; the parameters are then the
// program path alone.
std::string InitProgramParameters(int argc, char** argv);
// Replaces the parameter list; params[0] is the program path, then 1..N.
// Tests use it to drive the real parameter handling.
void SetProgramParameters(std::vector<std::string> params);
// N, the number of parameters after the program path.
int ParameterCount();
// Parameter i (0 is the program path); "" outside 0..N.
const std::string& Parameter(int i);

// Searches parameters 1..N (outer loop), names, then prefixes (inner loop) for
// prefix+name alone or followed by separator; the first hit wins. On a hit
// stores what follows the separator (as typed, possibly "") in value and
// returns true; otherwise returns false and leaves value untouched.
bool FindSwitchValue(const std::vector<std::string>& names,
                     const std::vector<std::string>& prefixes, bool ignore_case, char separator,
                     std::string& value);

// True when some parameter starts with one of lead_chars (any character when
// lead_chars is empty) and the rest equals name.
bool IsSwitchPresent(std::string_view name, std::string_view lead_chars, bool ignore_case);

// The name=value parameters as an ordered list of "name=value" lines. Names
// are compared case-insensitively; a later parameter overrides an earlier
// one, and "name=" removes it.
class TExecParams {
 public:
  TExecParams() = default;
  // Builds the list from parameters (1..N, without the program path).
  explicit TExecParams(const std::vector<std::string>& parameters);

  int Count() const { return static_cast<int>(lines_.size()); }
  const std::vector<std::string>& Lines() const { return lines_; }
  // Index of the first line whose name equals name, -1 when none.
  int IndexOfName(std::string_view name) const;
  // The value of the first line named name, "" when none.
  std::string Values(std::string_view name) const;
  // Replaces or appends name=value; an empty value deletes the line instead.
  void SetValue(std::string_view name, std::string_view value);

 private:
  std::vector<std::string> lines_;
};

// Process-wide; built from the parameters at start-up, cleared at shut-down.
extern TExecParams ExecParams;
// Start-up and shut-down of ExecParams.
void BuildExecParams();
void FreeExecParams();

}  // namespace zud
