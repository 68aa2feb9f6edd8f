#include "frontend/execparams.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zud {
namespace {

void SetParams(std::vector<std::string> params) {
  params.insert(params.begin(), "/usr/bin/ftpupload");
  SetProgramParameters(std::move(params));
}

// The lookup the front end makes: one name, "/" then "-", any case, ":".
bool Lookup(const std::string& name, std::string& value) {
  return FindSwitchValue({name}, {"/", "-"}, true, ':', value);
}

TEST(FindSwitchValueTest, FrontEndLookups) {
  struct Case {
    std::vector<std::string> params;
    const char* name;
    bool found;
    const char* value;  // "untouched" when the value must keep its old content
  } cases[] = {
      {{}, "host", false, "untouched"},
      {{"/HOST:Server1"}, "host", true, "Server1"},   // value as typed
      {{"-host:a:b"}, "host", true, "a:b"},           // only the first separator goes
      {{"/host:"}, "host", true, ""},
      {{"/host"}, "host", true, ""},
      {{"/hostname:x"}, "host", false, "untouched"},
      {{"/host:one", "-host:two"}, "host", true, "one"},  // the earlier parameter wins
      {{"-host:two", "/host:one"}, "host", true, "two"},  // order of parameters, not prefixes
      {{"/dir:/pub"}, "dir", true, "/pub"},
      {{"host:x"}, "host", false, "untouched"},
      {{"//host:x"}, "host", false, "untouched"},
      {{"/host=x"}, "host", false, "untouched"},
      {{"file.txt", "/port:2121"}, "port", true, "2121"},
      {{"/host:", "/host:x"}, "host", true, ""},
      {{"/HOST:\xC9T\xC9"}, "host", true, "\xC9T\xC9"},
      {{"/h\xC9:x"}, "h\xE9", true, "x"},  // accented letters fold too
      {{""}, "host", false, "untouched"},
  };
  for (const Case& c : cases) {
    SetParams(c.params);
    std::string value = "untouched";
    EXPECT_EQ(Lookup(c.name, value), c.found) << testing::PrintToString(c.params);
    EXPECT_EQ(value, c.value) << testing::PrintToString(c.params);
  }
}

TEST(FindSwitchValueTest, CaseSensitiveAndOtherSeparators) {
  SetParams({"/Host=a", "-host=b"});
  std::string value;
  EXPECT_TRUE(FindSwitchValue({"host"}, {"/", "-"}, false, '=', value));
  EXPECT_EQ(value, "b");
  EXPECT_FALSE(FindSwitchValue({"HOST"}, {"/", "-"}, false, '=', value));
  // Several names: within one parameter the names are tried in order.
  SetParams({"/server:s", "/host:h"});
  EXPECT_TRUE(FindSwitchValue({"host", "server"}, {"/"}, true, ':', value));
  EXPECT_EQ(value, "s");
}

TEST(IsSwitchPresentTest, HelpSwitches) {
  struct Case {
    std::vector<std::string> params;
    const char* name;
    const char* leads;
    bool present;
  } cases[] = {
      {{}, "?", "-/", false},
      {{"/?"}, "?", "-/", true},
      {{"-?"}, "?", "-/", true},
      {{"+?"}, "?", "-/", false},
      {{"?"}, "?", "-/", false},
      {{"/??"}, "?", "-/", false},
      {{"--help"}, "-help", "-", true},
      {{"--HELP"}, "-help", "-", true},
      {{"-help"}, "-help", "-", false},
      {{"/help"}, "-help", "-", false},
      {{"/-help"}, "-help", "-", false},
      {{"x", "", "--Help"}, "-help", "-", true},
      {{"x?"}, "?", "", true},  // no lead characters: any first character
      {{""}, "", "", false},    // an empty parameter never qualifies
  };
  for (const Case& c : cases) {
    SetParams(c.params);
    EXPECT_EQ(IsSwitchPresent(c.name, c.leads, true), c.present) << testing::PrintToString(c.params);
  }
  SetParams({"--HELP"});
  EXPECT_FALSE(IsSwitchPresent("-help", "-", false));
}

TEST(ExecParamsTest, BuiltFromNameValueParameters) {
  using Lines = std::vector<std::string>;
  struct Case {
    std::vector<std::string> params;
    Lines lines;
  } cases[] = {
      {{}, {}},
      {{"a=1", "A=2"}, {"A=2"}},             // later overrides, case-insensitively
      {{"a=1", "a="}, {}},                   // an empty value removes
      {{"=x", "plain", "/host:x"}, {}},      // no name, or no "="
      {{"a=b=c"}, {"a=b=c"}},                // the first "=" separates
      {{"a=1", "b=2", "A=3"}, {"A=3", "b=2"}},  // replaced in place
      {{"b=", "c=3"}, {"c=3"}},              // removing an absent name adds nothing
  };
  for (const Case& c : cases) {
    SetParams(c.params);
    BuildExecParams();
    EXPECT_EQ(ExecParams.Lines(), c.lines) << testing::PrintToString(c.params);
  }
  SetParams({"Key=v=w", "other=1"});
  BuildExecParams();
  EXPECT_EQ(ExecParams.Values("KEY"), "v=w");
  EXPECT_EQ(ExecParams.IndexOfName("OTHER"), 1);
  EXPECT_EQ(ExecParams.Values("missing"), "");
  FreeExecParams();
  EXPECT_EQ(ExecParams.Count(), 0);
}

TEST(ParametersTest, ProgramPathIsNotAParameter) {
  SetProgramParameters({"/x/ftpupload"});
  EXPECT_EQ(ParameterCount(), 0);
  EXPECT_EQ(Parameter(0), "/x/ftpupload");
  EXPECT_EQ(Parameter(1), "");
  SetProgramParameters({});
  EXPECT_EQ(ParameterCount(), 0);
  std::string value = "kept";
  EXPECT_FALSE(FindSwitchValue({"ftpupload"}, {"/x/"}, true, ':', value));
}

}  // namespace
}  // namespace zud
