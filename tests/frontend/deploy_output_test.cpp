// What folder and sync runs print, with the built executable: the output
// levels, the plan's line ends, grouped failures and the summary's words,
// the missing parent, one message for a lost transfer, the missing reply in
// the dialogue, the advice after failures, passive mode by default and the
// progress line on a terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "frontend/child_process.h"
#include "frontend/terminal.h"
#include "frontend/tool_run.h"
#include "support/ftp_daemons.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

namespace zud {
namespace {

using test::FtpDaemonFixture;
using test::TempDir;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing_support::Plus;
using testing_support::RunChild;
using testing_support::RunTool;
using testing_support::ToolRun;

enum class Kind { kPyftpdlib, kVsftpdTls, kVsftpdImplicit };

FtpDaemonFixture& Server(Kind kind) {
  static std::map<Kind, std::unique_ptr<FtpDaemonFixture>> servers;
  auto& slot = servers[kind];
  if (!slot) {
    test::FtpServerOptions options{.read_only_dir = true};
    if (kind == Kind::kPyftpdlib) {
      slot = test::MakePyftpdlib(options);
    } else {
      options.tls = kind == Kind::kVsftpdTls ? test::FtpTls::kExplicit : test::FtpTls::kImplicit;
      options.certificate = test::SharedTestCertificates().Get(test::TestCertificates::kGood);
      slot = test::MakeVsftpd(options);
    }
  }
  return *slot;
}

std::vector<std::string> Login(const FtpDaemonFixture& server) {
  return {std::string("/host:") + server.host(), "/port:" + std::to_string(server.port()),
          "/user:" + server.user(), "/pass:" + server.password()};
}

std::vector<std::string> Login(const test::ScriptedFtpServer& server) {
  return {"/host:127.0.0.1", "/port:" + std::to_string(server.port()), "/user:u", "/pass:p"};
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// ---- Output levels ------------------------------------------------------------------

TEST(OutputLevelTest, LinesPerFileByDefaultFailuresOnlyWhenQuietTheDialogueWhenVerbose) {
  TempDir local("zud-levels");
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
    ASSERT_TRUE(local.Write(std::string("t/") + name, name));
  }
  const std::string tree = (local / "t").string() + "/";
  const std::string mapping = "ftpupload: " + tree + " -> / (what is inside; without the / the folder itself)\n";
  const std::string per_file = "ftpupload: stored /a.txt (5 B)\n";
  const std::string failure = "ftpupload: the server refused to store /b.txt: 553 Not allowed\n";
  const struct {
    const char* level;
    bool lines;     // the mapping and one line per file
    bool dialogue;  // on standard output, CR LF
  } cases[] = {{"", true, false}, {"/quiet", false, false}, {"/verbose", true, true}};
  for (const auto& c : cases) {
    test::ScriptedFtpServer server;
    ASSERT_TRUE(server.ok());
    server.On("STOR", [](test::FtpSession& s, const std::string& argument) {
      if (argument == "/b.txt") return s.Reply("553 Not allowed");
      s.RunUpload(argument, false);
    });
    std::vector<std::string> args = Plus(Login(server), {"/recursive", tree});
    if (*c.level != '\0') args.push_back(c.level);
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.status, 7) << c.level << run.err;
    EXPECT_EQ(run.err.rfind(c.lines ? mapping : failure, 0), 0u) << c.level << run.err;
    EXPECT_EQ(CountOf(run.err, per_file), c.lines ? 1u : 0u) << c.level << run.err;
    EXPECT_EQ(CountOf(run.err, failure), 1u) << c.level << run.err;
    EXPECT_THAT(run.err, MatchesRegex("(.|\n)*\nftpupload: 2 files sent, 1 failed; 10 B in 0:0[0-9]\n"))
        << c.level;
    EXPECT_EQ(CountOf(run.err, "\n"), c.lines ? 5u : 2u) << c.level << run.err;
    if (c.dialogue) {
      EXPECT_THAT(run.out, HasSubstr("\r\nSTOR /b.txt\r\n553 Not allowed\r\n")) << run.out;
    } else {
      EXPECT_EQ(run.out, "") << c.level;
    }
  }
}

// A dry run's standard output is the plan alone, LF-ended for `while read`,
// also with /verbose (whose dialogue goes to standard error then).
TEST(OutputLevelTest, DryRunPlanIsAloneOnStandardOutputWithThePlatformsLineEnds) {
  FtpDaemonFixture& server = Server(Kind::kPyftpdlib);
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-plan");
  ASSERT_TRUE(local.Write("t/a.txt", "a"));
  ASSERT_TRUE(local.Write("t/sub/b.txt", "b"));
  ASSERT_TRUE(server.MakeDir("plan"));
  for (const char* level : {"", "/verbose"}) {
    std::vector<std::string> args = Plus(
        Login(server), {"/recursive", "/sync", "/dryrun", "/dir:/plan", (local / "t").string() + "/"});
    if (*level != '\0') args.push_back(level);
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines;
    for (size_t at = 0, end; at < run.out.size(); at = end + 1) {
      end = run.out.find('\n', at);
      lines.push_back(run.out.substr(at, end - at));
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_THAT(lines, testing::ElementsAre("mkdir /plan/sub", "send new /plan/a.txt",
                                            "send new /plan/sub/b.txt"))
        << level << testing::PrintToString(run.out);
    EXPECT_EQ(CountOf(run.err, "USER "), *level != '\0' ? 1u : 0u) << run.err;
  }
}

// ---- Failures: grouped, counted apart, said once --------------------------------------

TEST(FailureLinesTest, IdenticalFailuresAreGroupedAndFoldersCountedApart) {
  FtpDaemonFixture& server = Server(Kind::kPyftpdlib);
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-grouped");
  for (const char* name : {"a.txt", "b.txt", "c.txt", "sub/d.txt", "sub/e.txt"}) {
    ASSERT_TRUE(local.Write(std::string("t/") + name, name));
  }
  for (const char* level : {"", "/quiet"}) {
    std::vector<std::string> args =
        Plus(Login(server), {"/recursive", "/dir:/readonly", (local / "t").string() + "/"});
    if (*level != '\0') args.push_back(level);
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.status, 7) << run.err;
    EXPECT_EQ(CountOf(run.err, "\n"), *level != '\0' ? 6u : 7u) << run.err;
    EXPECT_EQ(CountOf(run.err, "the server refused to store /readonly/"), 1u) << run.err;
    EXPECT_EQ(CountOf(run.err, ": its folder could not be made"), 1u) << run.err;
    EXPECT_THAT(run.err, HasSubstr("cannot make folder /readonly/sub: 550 "));
    EXPECT_THAT(run.err, MatchesRegex("(.|\n)*ftpupload: the same for 2 more files, the last /readonly/[a-c].txt\n(.|\n)*"));
    EXPECT_THAT(run.err, HasSubstr("ftpupload: the same for 1 more file, the last /readonly/sub/"));
    EXPECT_THAT(run.err, MatchesRegex("(.|\n)*\nftpupload: 0 files sent, 5 failed; 1 folder failed; 0 B in 0:0[0-9]\n"));
  }
}

// Without /mkdir a missing parent is one line, and nothing is tried.
TEST(FailureLinesTest, AMissingParentStopsTheRunInOneLine) {
  FtpDaemonFixture& server = Server(Kind::kPyftpdlib);
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-parent");
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(local.Write("site/d" + std::to_string(i % 3) + "/f" + std::to_string(i), "x"));
  const std::string site = (local / "site").string();
  const struct {
    std::vector<std::string> switches;
    std::string mapping;
  } cases[] = {
      {{"/recursive", site}, site + " -> /nope/deeper/site (add / to send what is inside)"},
      {{"/recursive", "/sync", site + "/"},
       site + "/ -> /nope/deeper (what is inside; without the / the folder itself)"},
  };
  for (const auto& c : cases) {
    const ToolRun run = RunTool(Plus(Login(server), Plus({"/dir:/nope/deeper"}, c.switches)));
    EXPECT_EQ(run.status, 7) << run.err;
    EXPECT_EQ(std::regex_replace(run.err, std::regex("in [0-9:]+\n$"), "in T\n"),
              "ftpupload: " + c.mapping + "\n" +
                  "ftpupload: remote directory /nope/deeper does not exist; add /mkdir to make "
                  "it\nftpupload: 0 files sent, 20 not sent; 0 B in T\n");
    EXPECT_FALSE(server.Exists("nope"));
  }
}

// A transfer cut short is told once, with the file; not again for the run.
TEST(FailureLinesTest, ALostTransferIsToldOnceAndTheMissingReplySaysWhy) {
  TempDir local("zud-once");
  ASSERT_TRUE(local.Write("t/a.bin", std::string(4 << 20, 'a')));
  ASSERT_TRUE(local.Write("t/b.txt", "b"));
  for (const char* mode : {"/recursive", "/sync"}) {
    test::ScriptedFtpServer server;
    ASSERT_TRUE(server.ok());
    server.On("STOR", [](test::FtpSession& s, const std::string& argument) {
      // The sync's lock record is stored as usual.
      if (!argument.ends_with("a.bin")) return (*test::DefaultFtpHandler("STOR"))(s, argument);
      s.server().SetDataFaults({.close_after = 1 << 20});
      s.Reply("150 Ok to send data.");
      std::string received;
      if (s.OpenData()) s.ReceiveData(&received);
      s.CloseData();
      s.CloseControl();
    });
    const ToolRun run = RunTool(
        Plus(Login(server), {"/recursive", mode, "/verbose", (local / "t").string() + "/"}));
    EXPECT_EQ(run.status, 8) << run.err;
    EXPECT_EQ(CountOf(run.err, "/a.bin"), 1u) << mode << run.err;
    EXPECT_THAT(run.err, testing::Not(HasSubstr("the run"))) << run.err;
    EXPECT_THAT(run.err, HasSubstr("1 not sent;")) << run.err;
    EXPECT_THAT(run.out, HasSubstr("\r\n(no reply: the server closed the connection)\r\n"))
        << run.out;
    EXPECT_THAT(run.out, testing::Not(HasSubstr("\r\n\r\n"))) << run.out;
  }
}

// ---- Advice ------------------------------------------------------------------------------

struct AdviceCase {
  const char* name;
  std::function<std::vector<std::string>(const std::vector<std::string>& login)> args;
  int status;
  const char* advice;
};

// Against vsftpd requiring explicit TLS (or, for the last, implicit TLS).
TEST(AdviceTest, TLSMistakesAreExplained) {
  const AdviceCase cases[] = {
      {"TLSRequired", [](auto login) { return login; }, 5,
       "hint: the server wants TLS before the login: add /tls"},
      {"Untrusted", [](auto login) { return Plus(login, {"/tls"}); }, 6,
       "hint: if you trust this server, name the certificate of its authority (or its own) with "
       "/cacert:FILE; /insecure skips the check"},
      {"ImplicitOnExplicitPort", [](auto login) { return Plus(login, {"/ftps", "/insecure"}); }, 6,
       "use /tls instead of /ftps"},
      {"ExplicitOnImplicitPort", [](auto login) { return Plus(login, {"/tls", "/timeout:2"}); }, 9,
       "sends no greeting: try /ftps"},
  };
  TempDir local("zud-advice-tls");
  ASSERT_TRUE(local.Write("site/a.txt", "a"));
  for (const AdviceCase& c : cases) {
    const bool implicit = std::string(c.name) == "ExplicitOnImplicitPort";
    FtpDaemonFixture& server = Server(implicit ? Kind::kVsftpdImplicit : Kind::kVsftpdTls);
    ZUD_REQUIRE_DAEMON(server);
    const ToolRun run =
        RunTool(Plus(c.args(Login(server)), {"/recursive", (local / "site").string()}));
    EXPECT_EQ(run.status, c.status) << c.name << run.err;
    EXPECT_EQ(CountOf(run.err, c.advice), 1u) << c.name << run.err;
  }
}

// Against scripted servers, in the classic run too (on standard error only).
TEST(AdviceTest, RefusalsThatASwitchMendsAreExplained) {
  const struct {
    const char* name;
    std::function<void(test::ScriptedFtpServer&)> setup;
    std::vector<std::string> switches;
    int status;
    const char* advice;
  } cases[] = {
      {"TLSOffered",
       [](auto& s) {
         s.ReplyTo("PASS", "530 Login incorrect.");
         s.ReplyTo("FEAT", "211-Features:\r\n AUTH TLS\r\n PASV\r\n211 End");
       },
       {"/recursive"}, 5, "hint: the server offers TLS, and some servers refuse passwords over plain FTP: try /tls"},
      {"ConnectionLimit", [](auto& s) { s.SetGreeting("421 Too many connections (8) from this IP"); },
       {"/recursive"}, 5, "hint: the server takes no more connections now: end other sessions or try later"},
      {"ConnectionLimitParallel", [](auto& s) { s.SetGreeting("421 Too many connections (8) from this IP"); },
       {"/recursive", "/sync", "/parallel:4"}, 5,
       "hint: the server limits connections: ask for fewer sessions than /parallel:4"},
      {"PortRefusedFolder", [](auto& s) { s.ReplyTo("PORT", "500 Illegal PORT command."); },
       {"/recursive", "/active"}, 8,
       "hint: active mode failed (the server connects back to you): leave out /active; passive "
       "mode is the default for folders"},
      {"PortRefusedClassic", [](auto& s) { s.ReplyTo("PORT", "500 Illegal PORT command."); },
       {}, 8, "hint: active mode failed (the server connects back to you): add /pasv"},
  };
  TempDir local("zud-advice");
  ASSERT_TRUE(local.Write("site/a.txt", "a"));
  ASSERT_TRUE(local.Write("site/b.txt", "b"));
  for (const auto& c : cases) {
    test::ScriptedFtpServer server;
    ASSERT_TRUE(server.ok());
    c.setup(server);
    const bool folder = !c.switches.empty();
    const std::string source = (local / (folder ? "site" : "site/a.txt")).string();
    const ToolRun run = RunTool(Plus(Login(server), Plus(c.switches, {source})));
    EXPECT_EQ(run.status, c.status) << c.name << run.err;
    EXPECT_EQ(CountOf(run.err, c.advice), 1u) << c.name << run.err;
    // The probe for TLS is no part of the classic transcript or the dialogue.
    EXPECT_EQ(run.out.find("FEAT"), std::string::npos) << c.name << run.out;
  }
}

// ---- Passive by default, and the progress line ---------------------------------------

TEST(DataModeTest, FoldersGoPassiveUnlessActiveIsAskedFor) {
  TempDir local("zud-modes");
  ASSERT_TRUE(local.Write("site/a.txt", "a"));
  for (const bool active : {false, true}) {
    test::ScriptedFtpServer server;
    ASSERT_TRUE(server.ok());
    std::vector<std::string> args = Plus(Login(server), {"/recursive", (local / "site").string()});
    if (active) args.push_back("/active");
    EXPECT_EQ(RunTool(args).status, 0);
    const std::vector<std::string> commands = server.Commands();
    const bool port = std::any_of(commands.begin(), commands.end(),
                                  [](const std::string& c) { return c.rfind("PORT ", 0) == 0; });
    const bool pasv = std::find(commands.begin(), commands.end(), "PASV") != commands.end();
    EXPECT_EQ(port, active) << testing::PrintToString(commands);
    EXPECT_EQ(pasv, !active) << testing::PrintToString(commands);
  }
}

TEST(ProgressLineTest, ShownOnATerminalBetweenTheLinesPerFile) {
  FtpDaemonFixture& server = Server(Kind::kPyftpdlib);
  ZUD_REQUIRE_DAEMON(server);
  const testing_support::TPseudoTerminal terminal;
  if (!terminal.ok()) GTEST_SKIP() << "no pseudo-terminal available";
  TempDir local("zud-progress");
  ASSERT_TRUE(local.Write("t/big.bin", std::string(3 << 20, 'b')));
  ASSERT_TRUE(local.Write("t/small.txt", "s"));
  ASSERT_TRUE(server.MakeDir("progress"));
  testing_support::TChildRun run;
  run.args = Plus(Login(server), {"/recursive", "/dir:/progress", (local / "t").string() + "/"});
  run.error_path = terminal.path();
  const testing_support::TChildResult result = RunChild(testing_support::kToolProgram, run);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, "");
  const std::string screen = terminal.Screen();
  EXPECT_TRUE(std::regex_search(screen, std::regex(R"(\r[01]/2 files  [0-9.]+ (B|KiB|MiB) of 3\.0 MiB)")))
      << testing::PrintToString(screen);
  EXPECT_NE(screen.find("ftpupload: stored /progress/big.bin (3.0 MiB)"), std::string::npos) << screen;
  EXPECT_NE(screen.find("ftpupload: 2 files sent; 3.0 MiB in "), std::string::npos) << screen;
}

}  // namespace
}  // namespace zud
