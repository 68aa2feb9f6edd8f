// The tool's rules that need no server: which parameters are switches,
// files or typos; the /port: and /timeout: values; netrc look-ups; and the
// exit status of each kind of failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/credentials.h"
#include "frontend/deploylines.h"
#include "frontend/failure.h"
#include "frontend/switches.h"
#include "support/temp_dir.h"

namespace zud {
namespace {

TEST(SwitchRulesTest, SwitchesFilesAndTypos) {
  test::TempDir dir("zud-rules");
  ASSERT_TRUE(dir.Write("binay", "x"));
  const std::string existing = (dir / "binay").string();
  struct Case {
    std::string param;
    bool looks_like_switch;
    bool known;
    std::string error;  // a part of FindSwitchError's message, "" for none
  } cases[] = {
      {"/host:h", true, true, ""},
      {"-PASV:no", true, true, ""},
      {"/binary", true, true, ""},
      {"/binay", true, false, "unknown switch /binay"},
      {"/passive", true, false, "unknown switch /passive"},
      {"--host:h", true, false, "unknown switch --host:h"},
      {"/hostname:x", true, false, "unknown switch"},
      {"/resume", true, true, ""},
      {"/resume:yes", true, true, "takes no value"},
      {"/timeout", true, true, "needs a value"},
      {"/timeout:", true, true, "needs a value"},
      {"/netrc", true, true, ""},
      {"/tls", true, true, ""},
      {"/cacert:ca.pem", true, true, ""},
      {"/tmp/missing/file.txt", false, false, ""},  // a path: "/" in its name part
      {"report.txt", false, false, ""},
      {"-", false, false, ""},
      {"a=b", false, false, ""},
      {existing, false, false, ""},  // an absolute path of an existing file
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LooksLikeSwitch(c.param), c.looks_like_switch) << c.param;
    EXPECT_EQ(MatchSwitch(c.param).has_value(), c.known) << c.param;
    const std::string error = FindSwitchError({c.param});
    if (c.error.empty()) {
      EXPECT_EQ(error, "") << c.param;
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << c.param << ": " << error;
    }
  }
  EXPECT_EQ(LocalFileParameters({"/host:h", "a.txt", "/pasv", "b.txt", "/binay"}),
            (std::vector<std::string>{"a.txt", "b.txt", "/binay"}));
}

TEST(SwitchRulesTest, PortAndTimeoutValues) {
  const struct {
    const char* text;
    int port;  // -1: refused
  } ports[] = {{"", 21},     {"2121", 2121}, {"1", 1},           {"65535", 65535},
               {"0x10", 16}, {"0", -1},      {"65536", -1},      {"70000", -1},
               {"-5", -1},   {"abc", -1},    {"99999999999", -1}};
  for (const auto& c : ports) EXPECT_EQ(ParsePortValue(c.text).value_or(-1), c.port) << c.text;
  const struct {
    const char* text;
    int ms;  // -1: refused
  } timeouts[] = {{"5", 5000}, {"120", 120000}, {"2147483", 2147483000}, {"0", -1},   {"", -1},
                  {"-1", -1},  {"1.5", -1},     {"2147484", -1},         {"abc", -1}, {" 5", -1}};
  for (const auto& c : timeouts) {
    EXPECT_EQ(ParseTimeoutValue(c.text).value_or(-1), c.ms) << c.text;
  }
}

TEST(NetrcTest, MachineDefaultUserAndSyntax) {
  const std::string text =
      "# comment lines are ordinary tokens to skip\n"
      "machine ftp.example.org login alice password \"a b\\\"c\"\n"
      "machine FTP.other.org\n  login bob\n  password pw2\n  account acct\n"
      "macdef init\ncd /pub\nmachine evil login mallory password stolen\n\n"
      "machine shared login carol password c1\n"
      "machine shared login dave password d1\n"
      "default login anonymous password guest@\n";
  const struct {
    const char* host;
    const char* user;
    bool found;
    const char* login;
    const char* password;
  } cases[] = {
      {"ftp.example.org", "", true, "alice", "a b\"c"},
      {"ftp.OTHER.org", "", true, "bob", "pw2"},
      {"evil", "", true, "anonymous", "guest@"},  // inside a macro body: no entry
      {"shared", "", true, "carol", "c1"},        // the first entry wins
      {"shared", "dave", true, "dave", "d1"},     // unless a user is given
      {"ftp.example.org", "zed", false, "", ""},  // no entry for that user
      {"unknown.host", "", true, "anonymous", "guest@"},
  };
  for (const auto& c : cases) {
    TNetrcLogin login;
    EXPECT_EQ(FindNetrcLogin(text, c.host, c.user, login), c.found) << c.host << " " << c.user;
    EXPECT_EQ(login.login, c.login) << c.host << " " << c.user;
    EXPECT_EQ(login.password, c.password) << c.host << " " << c.user;
  }
  TNetrcLogin none;
  EXPECT_FALSE(FindNetrcLogin("machine a login b password c", "x", "", none));
  EXPECT_FALSE(FindNetrcLogin("", "x", "", none));
  EXPECT_EQ(FirstLine("secret\r\nsecond\n"), "secret");
  EXPECT_EQ(FirstLine(""), "");
}

TEST(ExitStatusTest, EachFailureKindHasItsNumber) {
  const struct {
    TDeployFailure kind;
    int status;
  } cases[] = {
      {TDeployFailure::kNone, 0},           {TDeployFailure::kLocalFile, 1},
      {TDeployFailure::kNotResolved, 3},    {TDeployFailure::kConnectFailed, 4},
      {TDeployFailure::kLoginRefused, 5},   {TDeployFailure::kTLS, 6},
      {TDeployFailure::kRefused, 7},        {TDeployFailure::kTransferFailed, 8},
      {TDeployFailure::kTimeout, 9},        {TDeployFailure::kInterrupted, 130},
      {TDeployFailure::kLocked, 10},        {TDeployFailure::kHeldBack, 11},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<int>(ExitStatusOf(c.kind)), c.status) << c.status;
  }
}

// Files and folders counted apart, only what is not 0, the same words for
// folder mode and sync.
TEST(SummaryLineTest, FilesAndFoldersApart) {
  const struct {
    TDeployCounts counts;
    const char* line;
  } cases[] = {
      {{}, "0 files sent; 0 B in 0:14"},
      {{.stored = 1, .bytes = 7}, "1 file sent; 7 B in 0:14"},
      {{.stored = 1843, .failed = 2, .folders_made = 41, .bytes = 1024},
       "1843 files sent, 2 failed; 41 folders made; 1.0 KiB in 0:14"},
      {{.stored = 0, .failed = 1501, .not_sent = 3, .folders_failed = 1},
       "0 files sent, 1500 failed, 3 not sent; 1 folder failed; 0 B in 0:14"},
      {{.stored = 12, .unchanged = 1831, .deleted = 3, .folders_made = 1, .folders_deleted = 1},
       "12 files sent, 1831 unchanged, 2 deleted; 1 folder made, 1 removed; 0 B in 0:14"},
  };
  for (const auto& c : cases) EXPECT_EQ(SummaryLine(c.counts, 14999), c.line);
}

}  // namespace
}  // namespace zud
