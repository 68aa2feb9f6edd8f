// The one parse of the command line.
#include "frontend/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/switches.h"

namespace zud {
namespace {

TEST(ParseCommandLineTest, NewSwitchesAndSourcesLandInTheValue) {
  const TParsedCommandLine p = ParseCommandLine(
      {"/host:h", "/recursive", "-MKDIR", "/exclude:*.log", "/atomic", "/exclude:cache/",
       "/retry:3", "/ftps", "/cacert:ca.pem", "/passfile:pw", "/netrc", "site/"});
  EXPECT_EQ(p.error, "");
  const TUploadSettings& s = p.settings;
  EXPECT_TRUE(s.Recursive && s.MakeDirs && s.Atomic && s.FolderMode());
  EXPECT_EQ(s.Excludes, (std::vector<std::string>{"*.log", "cache/"}));
  EXPECT_EQ(s.Retries, 3);
  EXPECT_TRUE(s.Tls.implicit_tls);
  EXPECT_EQ(s.Tls.ca_file, "ca.pem");
  EXPECT_EQ(s.Port, 990);  // implicit TLS without /port
  EXPECT_EQ(s.PassFile.value_or("?"), "pw");
  EXPECT_EQ(s.Netrc.value_or("?"), "");
  EXPECT_FALSE(s.PassEnv.has_value());
  EXPECT_FALSE(s.PassGiven);
  EXPECT_EQ(s.Files, (std::vector<std::string>{"site/"}));
}

// /parallel's values: the sessions (with auto the ceiling) and whether auto.
TEST(ParseCommandLineTest, ParallelValues) {
  const struct {
    const char* value;
    int32_t sessions;
    bool automatic;
  } cases[] = {{"4", 4, false}, {"auto", 8, true}, {"AUTO:3", 3, true}, {"auto:16", 16, true}};
  for (const auto& c : cases) {
    const TParsedCommandLine p =
        ParseCommandLine({"/host:h", "/recursive", std::string("/parallel:") + c.value, "site/"});
    EXPECT_EQ(p.error, "") << c.value;
    EXPECT_EQ(p.settings.Parallel, c.sessions) << c.value;
    EXPECT_EQ(p.settings.ParallelAuto, c.automatic) << c.value;
    EXPECT_TRUE(p.settings.FolderMode());
  }
}

TEST(ParseCommandLineTest, ErrorsAndTheClassicOneParameterCase) {
  struct Case {
    std::vector<std::string> params;
    const char* error;  // a part of the message, "" for none
  } cases[] = {
      {{"/host:h", "f"}, ""},
      {{"/host:h", "/retry:1000", "f"}, ""},
      {{"/host:h", "/retry:1001", "f"}, "retry count"},
      {{"/host:h", "/retry:x", "f"}, "retry count"},
      {{"/host:h", "/retry", "f"}, "needs a value"},
      {{"/host:h", "/exclude:", "f"}, "needs a value"},
      {{"/host:h", "/recursive:yes", "f"}, "takes no value"},
      {{"/host:h", "/port:0", "f"}, "port must be"},
      {{"/host:h", "/chmod:644,2755", "f"}, ""},
      {{"/host:h", "/chmod:0644", "f"}, ""},
      {{"/host:h", "/chmod:64", "f"}, "octal modes"},
      {{"/host:h", "/chmod:648", "f"}, "octal modes"},
      {{"/host:h", "/chmod:644,", "f"}, "octal modes"},
      {{"/host:h", "/chmod:17777", "f"}, "octal modes"},
      {{"/host:h", "/recursive", "/sync", "/delete", "/maxdelete:0", "f"}, ""},
      {{"/host:h", "/recursive", "/sync", "/delete", "/maxdelete:1e3", "f"}, "delete limit"},
      {{"/host:h", "/recursive", "/sync", "/maxdelete:5", "f"}, "works with /delete"},
      {{"/host:h", "/recursive", "/statefile:/s", "f"}, "works with /sync"},
      {{"/host:h", "/recursive", "/force", "f"}, "works with /sync"},
      {{"/host:h", "/recursive", "/sync", "/statefile:/priv/", "f"}, "names a file"},
      {{"/host:h", "/recursive", "/sync", "/statefile:/s", "a", "b"}, "one /statefile"},
      {{"/host:h", "/report:-", "f"}, ""},
      {{"/host:h", "/parallel:auto:0", "f"}, "ceiling from 1 to 16"},
      {{"/host:h", "/parallel:auto4", "f"}, "ceiling from 1 to 16"},
      {{"/recursive", "f"}, "no host"},
      {{"/bogus"}, ""},  // one parameter: only the missing file is reported
  };
  for (const Case& c : cases) {
    const std::string error = ParseCommandLine(c.params).error;
    if (*c.error == '\0') {
      EXPECT_EQ(error, "") << testing::PrintToString(c.params);
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos)
          << testing::PrintToString(c.params) << ": " << error;
    }
  }
  // Without a switch of folder mode the classic job runs.
  EXPECT_FALSE(ParseCommandLine({"/host:h", "/resume", "/quiet", "f"}).settings.FolderMode());
  const TUploadSettings s = ParseCommandLine({"/host:h", "/chmod:640,2750", "/report:-", "f"}).settings;
  EXPECT_EQ(s.FileMode, 0640);
  EXPECT_EQ(s.DirMode, 02750);
  EXPECT_TRUE(s.FolderMode() && s.ReportToOutput());
}

TEST(FullHelpTest, EverySwitchHasOneLine) {
  const std::string help = FullSwitchHelp();
  size_t lines = 0;
  for (size_t at = help.find("\r\n"); at != std::string::npos; at = help.find("\r\n", at + 2)) {
    ++lines;
  }
  EXPECT_EQ(lines, KnownSwitches().size());
  for (const TSwitchInfo& info : KnownSwitches()) {
    EXPECT_NE(help.find(std::string(" /") + info.name), std::string::npos) << info.name;
  }
}

}  // namespace
}  // namespace zud
