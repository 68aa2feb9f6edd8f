// The tool's switches as one table, and the command-line rules built on it:
// which parameters are switches, which are local files, and which are typos.
//
// A parameter looks like a switch when it starts with "/" or "-" and the text
// after that lead (and after one more "-") up to the first ":" is a non-empty
// run of letters, digits, "-", "_" or "?". "/tmp/a.txt" therefore looks like
// a path (its name part holds "/"), "/binay" like a switch. A parameter that
// looks like a switch but names none in the table, and is no existing local
// file or directory either, is a command-line error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/api.h"

namespace ZUD_API zud {

enum class TSwitchValue {
  kAny,       // the classic flags: a value is taken when given, never required
  kClassic,   // the classic switches that carry a value; the classic run takes
              // them without one (folder and sync modes call that a slip)
  kNone,      // a flag; a value after ":" is a command-line error
  kOptional,  // /netrc or /netrc:FILE
  kRequired,  // /timeout:SECONDS
};

struct TSwitchInfo {
  const char* name;
  TSwitchValue value;
  const char* synopsis;  // "/name:VALUE" as the full help shows it
  const char* help;      // one line for the full help
};

// Every switch the tool knows, in the order the manual lists them.
const std::vector<TSwitchInfo>& KnownSwitches();

// True when param looks like a switch (see above).
bool LooksLikeSwitch(std::string_view param);
// The table entry param names (/name or /name:value, "-" alike, any letter
// case), or nullopt.
std::optional<TSwitchInfo> MatchSwitch(std::string_view param);

// A known switch as given: its table name and the text after ":" (as
// typed; "" when there is none).
struct TGivenSwitch {
  const char* name;
  std::string value;
};
// Every known switch in params, in order.
std::vector<TGivenSwitch> GivenSwitches(const std::vector<std::string>& params);

// The full help: every switch with one line each, lines ending in CR LF.
std::string FullSwitchHelp();

// The local files among params (1..N without the program path): every
// parameter that is not a known switch, in order.
std::vector<std::string> LocalFileParameters(const std::vector<std::string>& params);

// The first command-line error in params, as a message for people, or "":
// an unknown switch that is no existing path ("--dir:/x" reads "did you mean
// /dir:/x?"), a flag given a value, a switch that needs a value given none.
std::string FindSwitchError(const std::vector<std::string>& params);

// The slips the classic tool lets pass, each one line for people: a switch
// that carries a value given none ("/dir" alone; "/dir /x" asks "did you
// mean /dir:/x?"; an explicit "/pass:" is an empty password), a switch given
// twice with different values (/exclude adds up), and a known name written
// "/name=value", "-name=value" or "--name=value" that is no existing local
// path ("did you mean /name:value?"). Folder and sync modes refuse them
// before connecting; the classic run warns and goes on as it always did.
std::vector<std::string> FindSwitchSlips(const std::vector<std::string>& params);

// /port: value: "" (absent or empty) gives 21; else a number 1-65535.
std::optional<int> ParsePortValue(std::string_view text);
// A value of nothing but decimal digits, at most max_digits of them.
std::optional<int64_t> ParseDigits(std::string_view text, size_t max_digits);
// /timeout: value: whole seconds 1-2147483, returned in milliseconds.
std::optional<int> ParseTimeoutValue(std::string_view text);

}  // namespace zud
