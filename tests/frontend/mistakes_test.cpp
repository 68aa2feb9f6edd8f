// Mistakes caught before connecting, with the built executable: switch slips
// (errors in folder and sync modes, warnings in the classic run, which goes
// on as it always did), local parameters that are not there, and password
// sources that give nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "frontend/tool_run.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

namespace zud {
namespace {

using test::TempDir;
using testing::HasSubstr;
using testing_support::Plus;
using testing_support::RunTool;
using testing_support::ToolRun;

std::vector<std::string> Server(const test::ScriptedFtpServer& server) {
  return {"/host:127.0.0.1", "/port:" + std::to_string(server.port())};
}

// "{site}" in an argument stands for the local folder, "{file}" for a file in it.
std::vector<std::string> Filled(std::vector<std::string> args, const TempDir& local) {
  for (std::string& arg : args) {
    for (const auto& [mark, path] : {std::pair<std::string, std::string>{"{site}", "site"},
                                     {"{file}", "site/a.txt"}}) {
      const size_t at = arg.find(mark);
      if (at != std::string::npos) arg.replace(at, mark.size(), (local / path).string());
    }
  }
  return args;
}

TEST(SwitchSlipTest, RefusedBeforeConnectingInFolderModeWarnedAboutInTheClassicRun) {
  TempDir local("zud-slips");
  ASSERT_TRUE(local.Write("site/a.txt", "a"));
  const struct {
    std::vector<std::string> args;  // after the server's address and a login
    int status;                     // -1: the classic run goes on (and stores a.txt)
    const char* err;
  } cases[] = {
      {{"/recursive", "/dir=/x", "{site}"}, 2, "no such switch or file: /dir=/x; did you mean /dir:/x?"},
      {{"/recursive", "-dir=/x", "{site}"}, 2, "did you mean /dir:/x?"},
      {{"/recursive", "--dir=/x", "{site}"}, 2, "did you mean /dir:/x?"},
      {{"/recursive", "--dir:/x", "{site}"}, 2, "unknown switch --dir:/x; did you mean /dir:/x?"},
      {{"/recursive", "--recursive", "{site}"}, 2, "did you mean /recursive?"},
      {{"/recursive", "/dir", "/x", "{site}"}, 2, "unknown switch /x (and no such file); did you mean /dir:/x?"},
      {{"/recursive", "/dir", "/var/www", "{site}"}, 2, "the switch /dir needs a value; did you mean /dir:/var/www?"},
      {{"/recursive", "/dir", "{site}"}, 2, "the switch /dir needs a value: /dir:VALUE"},
      {{"/recursive", "/dir:", "{site}"}, 2, "the switch /dir needs a value"},
      {{"/recursive", "/dir:/staging", "-dir:/prod", "{site}"}, 2,
       "/dir is given twice, as /dir:/staging and -dir:/prod; give it once"},
      {{"/recursive", "/pasv", "/active", "{site}"}, 2, "/pasv and /active contradict each other"},
      {{"/recursive", "/quiet", "/verbose", "{site}"}, 2, "/quiet and /verbose contradict"},
      {{"/recursive", "{site}", "{site}/missing"}, 1, "/site/missing: No such file or directory; nothing was sent"},
      {{"/mkdir", "{site}"}, 1, "/site is a folder; add /recursive to upload its tree; nothing was sent"},
      {{"/dir=/x", "{file}"}, -1, "warning: no such switch or file: /dir=/x; did you mean /dir:/x?"},
      {{"/dir:/", "-dir:/x", "{file}"}, -1, "warning: /dir is given twice, as /dir:/ and -dir:/x"},
      {{"/dir", "{file}"}, -1, "warning: the switch /dir needs a value: /dir:VALUE"},
  };
  for (const auto& c : cases) {
    test::ScriptedFtpServer server;
    ASSERT_TRUE(server.ok());
    const std::vector<std::string> args =
        Plus(Server(server), Plus({"/user:u", "/pass:p"}, Filled(c.args, local)));
    const ToolRun run = RunTool(args);
    const std::string what = testing::PrintToString(c.args) + "\n" + run.err;
    EXPECT_THAT(run.err, HasSubstr(c.err)) << what;
    if (c.status >= 0) {
      EXPECT_EQ(run.status, c.status) << what;
      EXPECT_EQ(server.SessionCount(), 0) << what;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << what;  // one line
    } else {
      EXPECT_EQ(server.File("/a.txt"), "a") << what;  // the classic run as ever
    }
  }
}

TEST(PasswordSourceTest, NothingToSendIsCaughtAndSecretsOthersCanReadAreWarnedAbout) {
  TempDir local("zud-logins");
  ASSERT_TRUE(local.Write("site/a.txt", "a"));
  ASSERT_TRUE(local.Write("open.txt", "p\n"));
  ASSERT_EQ(::chmod((local / "open.txt").c_str(), 0644), 0);
  ASSERT_TRUE(local.Write("netrc", "machine 127.0.0.1 login u password p\n"));
  ASSERT_EQ(::chmod((local / "netrc").c_str(), 0604), 0);
  ASSERT_EQ(::setenv("ZUD_TEST_EMPTY_SECRET", "", 1), 0);
  const std::string open = (local / "open.txt").string();
  const struct {
    std::vector<std::string> args;  // before the source
    int status;                     // 0: it connected and stored
    std::string err;                // "" for nothing about passwords
  } cases[] = {
      {{"/user:u", "/recursive"}, 2,
       "no password for u and no terminal to ask on: give it with /passenv:NAME, "
       "/passfile:FILE or /netrc\n"},
      {{"/user:u", "/passenv:ZUD_TEST_EMPTY_SECRET", "/recursive"}, 2,
       "the environment variable ZUD_TEST_EMPTY_SECRET is empty\n"},
      {{"/user:u"}, 0,
       "warning: no password for u and no terminal to ask on; an empty one is sent"},
      {{"/user:u", "/passfile:" + open, "/recursive"}, 0,
       "warning: other users can read the password file " + open + " (chmod 600 " + open + ")"},
      {{"/netrc:" + (local / "netrc").string(), "/recursive"}, 0,
       "warning: other users can read the netrc file"},
      {{"/user:anonymous", "/recursive"}, 0, ""},
      {{"/recursive"}, 0, ""},
  };
  for (const auto& c : cases) {
    test::ScriptedFtpServer server;
    ASSERT_TRUE(server.ok());
    const bool folder = c.args.back() == "/recursive";
    const ToolRun run = RunTool(Plus(Server(server), Plus(c.args, {(local / (folder ? "site" : "site/a.txt")).string()})));
    const std::string what = testing::PrintToString(c.args) + "\n" + run.err;
    EXPECT_EQ(run.status, c.status) << what;
    if (c.err.empty()) {
      EXPECT_THAT(run.err, testing::Not(HasSubstr("password"))) << what;
    } else {
      EXPECT_THAT(run.err, HasSubstr(c.err)) << what;
    }
    EXPECT_EQ(server.SessionCount(), c.status == 0 ? 1 : 0) << what;
  }
  ::unsetenv("ZUD_TEST_EMPTY_SECRET");
}

}  // namespace
}  // namespace zud
