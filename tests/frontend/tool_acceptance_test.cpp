// Acceptance of the tool's additions around the classic upload, with the
// built executable against vsftpd and pyftpdlib (and a scripted server where
// a real one cannot misbehave on cue): exit statuses and messages by cause,
// login sources, resume, several files, interrupts and odd hosts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
#include "support/net.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

namespace zud {
namespace {

using test::Family;
using test::FtpDaemonFixture;
using test::TempDir;
using testing_support::RunChild;
using testing_support::Plus;
using testing_support::RunTool;
using testing_support::TChildRun;
using testing_support::ToolRun;

const std::string kProgram = ZUD_BINARY_DIR "/ftpupload";

enum class Kind { kVsftpd, kPyftpdlib };

FtpDaemonFixture& Server(Kind kind, Family family = Family::kIPv4) {
  static std::map<std::pair<Kind, Family>, std::unique_ptr<FtpDaemonFixture>> servers;
  auto& slot = servers[{kind, family}];
  if (!slot) {
    const test::FtpServerOptions options{.family = family, .read_only_dir = true};
    slot = kind == Kind::kVsftpd ? test::MakeVsftpd(options) : test::MakePyftpdlib(options);
  }
  return *slot;
}

std::vector<std::string> Login(const FtpDaemonFixture& server, bool with_password = true) {
  std::vector<std::string> args = {std::string("/host:") + server.host(),
                                   "/port:" + std::to_string(server.port()),
                                   "/user:" + server.user()};
  if (with_password) args.push_back("/pass:" + server.password());
  return args;
}

std::string Content(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + i % 23);
  return data;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// ---- One case per exit status ----------------------------------------------------

struct StatusCase {
  const char* name;
  // The parameters, given the server's address switches and a local file.
  std::function<std::vector<std::string>(const std::vector<std::string>& login,
                                         const std::string& file)>
      args;
  test::DataFaults faults;  // applied to the scripted server
  const char* pass_reply;   // the server's answer to PASS, "" for its default
  int status;
  const char* err;    // standard error, a regular expression
  bool nothing_sent;  // standard output stays empty
};

class ExitStatusTest : public testing::TestWithParam<StatusCase> {};

TEST_P(ExitStatusTest, StatusAndMessage) {
  const StatusCase& c = GetParam();
  test::ScriptedFtpServer server;
  ASSERT_TRUE(server.ok());
  server.SetDataFaults(c.faults);
  if (*c.pass_reply != '\0') server.ReplyTo("PASS", c.pass_reply);
  server.set_timeout_ms(3000);
  TempDir local("zud-status");
  // Larger than the socket buffers, so that a dropped data connection shows.
  ASSERT_TRUE(local.Write("data.bin", Content(32 << 20)));
  const std::vector<std::string> login = {
      "/host:127.0.0.1", "/port:" + std::to_string(server.port()), "/user:u", "/pass:p", "/pasv",
      "/binary"};
  const ToolRun run = RunTool(c.args(login, (local / "data.bin").string()));
  EXPECT_EQ(run.status, c.status) << run.out << run.err;
  const std::string err =
      std::regex_replace(run.err, std::regex(std::to_string(server.port())), "PORT");
  EXPECT_TRUE(std::regex_match(err, std::regex(c.err))) << err;
  if (c.nothing_sent) {
    EXPECT_EQ(run.out.find("USER"), std::string::npos) << run.out;
  }
}

const StatusCase kStatusCases[] = {
    {"Stored", [](auto login, auto file) { return Plus(login, {file}); }, {}, "", 0, "", false},
    {"FileMissing",
     [](auto login, auto file) { return Plus(login, {file + ".none"}); },
     {},
     "",
     1,
     "ftpupload: cannot read .*data.bin.none: No such file or directory\n",
     true},
    {"UnknownSwitch",
     [](auto login, auto file) {
       return Plus(login, {"/binay", file});
     },
     {},
     "",
     2,
     "ftpupload: unknown switch /binay \\(and no such file\\)\n",
     true},
    {"PortOutOfRange",
     [](auto login, auto file) { return Plus({"/port:65536"}, Plus(login, {file})); },
     {},
     "",
     2,
     "ftpupload: the port must be a number from 1 to 65535: /port:65536\n",
     true},
    {"BadTimeout",
     [](auto login, auto file) {
       return Plus(login, {"/timeout:0", file});
     },
     {},
     "",
     2,
     "ftpupload: the timeout must be whole seconds .*: /timeout:0\n",
     true},
    {"NoHost",
     [](auto, auto file) {
       return std::vector<std::string>{"/pasv", file};
     },
     {},
     "",
     2,
     "ftpupload: no host given: /host:NAME\n",
     true},
    {"LineBreakInDirectory",
     [](auto login, auto file) {
       return Plus(login, {"/dir:a\r\nDELE x", file});
     },
     {},
     "",
     2,
     "ftpupload: the remote directory holds a line break.*\n",
     true},
    {"NotResolved",
     [](auto, auto file) {
       return std::vector<std::string>{"/host:nonexistent.invalid", file};
     },
     {},
     "",
     3,
     "ftpupload: cannot resolve host nonexistent.invalid: [A-Z][a-z ]+\n",
     true},
    {"CutShort",
     [](auto login, auto file) { return Plus(login, {file}); },
     {.close_after = 100000},
     "",
     8,
     "ftpupload: transfer of /data.bin cut short after \\d+ of 33554432 bytes: .*\n",
     false},
    {"NoFinalReply",
     [](auto login, auto file) {
       return Plus(login, {"/timeout:1", file});
     },
     {.no_final_reply = true},
     "",
     9,
     "ftpupload: no reply from 127.0.0.1 port PORT within 1 s\n",
     false},
    {"QuietLoginRefused",
     [](auto login, auto file) { return Plus({"/quiet"}, Plus(login, {file})); },
     {},
     "530 Login incorrect.",
     5,
     "ftpupload: login refused: 530 Login incorrect.\n",
     true},
};

INSTANTIATE_TEST_SUITE_P(Scripted, ExitStatusTest, testing::ValuesIn(kStatusCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NoGreetingTest, TimesOutWithItsOwnStatus) {
  // The kernel completes the connection; nobody ever says a word.
  std::string error;
  test::UniqueFd listener = test::ListenTcp("127.0.0.1", 0, &error);
  ASSERT_TRUE(listener.valid()) << error;
  const int port = test::LocalEndpoint(listener.get()).port;
  TempDir local("zud-status");
  ASSERT_TRUE(local.Write("f.txt", "x"));
  const ToolRun run = RunTool({"/host:127.0.0.1", "/port:" + std::to_string(port), "/timeout:1",
                               (local / "f.txt").string()});
  EXPECT_EQ(run.status, 9);
  EXPECT_EQ(run.err,
            "ftpupload: no greeting from 127.0.0.1 port " + std::to_string(port) +
                " within 1 s\nftpupload: hint: a port that waits for TLS from the first byte "
                "(implicit FTPS, usually 990) sends no greeting: try /ftps\n");
  EXPECT_EQ(run.out, "\r\n");  // the reader's empty line, as always
}

// ---- Login sources: the password never on the command line -----------------------

struct SecretCase {
  const char* name;
  std::vector<std::string> switches;  // FILE, HOME and VAR stand for the test's own
  const char* file_text;              // of FILE, with USER and PASS filled in
  int status;
};

class LoginSourceTest : public testing::TestWithParam<SecretCase> {};

TEST_P(LoginSourceTest, PasswordFromFileOrEnvironment) {
  const SecretCase& c = GetParam();
  FtpDaemonFixture& server = Server(Kind::kVsftpd);
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-secret");
  const auto fill = [&](std::string text) {
    text = std::regex_replace(text, std::regex("USER"), server.user());
    text = std::regex_replace(text, std::regex("PASS"), server.password());
    text = std::regex_replace(text, std::regex("HOST"), server.host());
    text = std::regex_replace(text, std::regex("FILE"), (local / "secret").string());
    return text;
  };
  ASSERT_TRUE(local.Write("secret", fill(c.file_text)));
  ASSERT_TRUE(local.Write(".netrc", fill(c.file_text)));
  const std::string name = std::string(c.name) + ".txt";
  ASSERT_TRUE(local.Write(name, "secret upload\n"));
  setenv("ZUD_TEST_SECRET", server.password().c_str(), 1);
  setenv("HOME", local.path().c_str(), 1);

  std::vector<std::string> args = {std::string("/host:") + server.host(),
                                   "/port:" + std::to_string(server.port()), "/pasv"};
  for (const std::string& s : c.switches) args.push_back(fill(s));
  args.push_back((local / name).string());
  for (const std::string& arg : args) ASSERT_EQ(arg.find(server.password()), std::string::npos);
  const ToolRun run = RunTool(args);
  unsetenv("ZUD_TEST_SECRET");
  EXPECT_EQ(run.status, c.status) << run.out << run.err;
  EXPECT_EQ(run.out.find(server.password()), std::string::npos);
  EXPECT_EQ(run.err.find(server.password()), std::string::npos);
  EXPECT_EQ(server.Exists(name), c.status == 0) << run.out << run.err;
}

const SecretCase kSecretCases[] = {
    {"NetrcInHome", {"/netrc"}, "machine HOST\n  login USER\n  password PASS\n", 0},
    {"NetrcFileDefault",
     {"/netrc:FILE"},
     "machine other login x password y\ndefault login USER password PASS",
     0},
    {"NetrcWithUser",
     {"/user:USER", "/netrc:FILE"},
     "machine HOST login nobody password no\nmachine HOST login USER password PASS",
     0},
    {"PasswordFile", {"/user:USER", "/passfile:FILE"}, "PASS\nsecond line\n", 0},
    {"PasswordVariable", {"/user:USER", "/passenv:ZUD_TEST_SECRET"}, "", 0},
    {"PassWinsOverFile", {"/user:USER", "/pass:wrong", "/passfile:FILE"}, "PASS\n", 5},
    {"PasswordFileMissing", {"/user:USER", "/passfile:FILE.none"}, "", 1},
    {"VariableNotSet", {"/user:USER", "/passenv:ZUD_TEST_UNSET"}, "", 2},
    {"NetrcMissing", {"/netrc:FILE.none"}, "", 1},
};

INSTANTIATE_TEST_SUITE_P(Vsftpd, LoginSourceTest, testing::ValuesIn(kSecretCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Resume --------------------------------------------------------------------------

class ResumeTest : public testing::TestWithParam<Kind> {};

TEST_P(ResumeTest, ContinuesSkipsOrReplaces) {
  FtpDaemonFixture& server = Server(GetParam());
  ZUD_REQUIRE_DAEMON(server);
  const std::string content = Content(300000);
  const struct {
    const char* name;
    std::string remote;   // already on the server; "-" for nothing
    const char* command;  // expected in the dialogue, "" for no store at all
  } cases[] = {
      {"half", content.substr(0, 123456), "REST 123456"},
      {"complete", content, ""},
      {"longer", content + "tail", "STOR "},
      {"none", "-", "STOR "},
  };
  TempDir local("zud-resume");
  for (const auto& c : cases) {
    const std::string name = std::string("resume_") + c.name + ".bin";
    ASSERT_TRUE(local.Write(name, content));
    if (c.remote != "-") {
      ASSERT_TRUE(server.WriteFile(name, c.remote));
    }
    const ToolRun run =
        RunTool(Plus(Login(server), {"/pasv", "/binary", "/resume", (local / name).string()}));
    EXPECT_EQ(run.status, 0) << c.name << run.out << run.err;
    EXPECT_EQ(server.ReadFile(name), content) << c.name;
    if (*c.command == '\0') {
      EXPECT_EQ(run.out.find("STOR"), std::string::npos) << c.name;
      EXPECT_NE(run.err.find("already complete"), std::string::npos) << c.name;
    } else {
      EXPECT_NE(run.out.find(c.command), std::string::npos) << c.name << run.out;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RealServers, ResumeTest, testing::Values(Kind::kVsftpd, Kind::kPyftpdlib));

TEST(ResumeWithoutRestTest, AppendsWhereRestIsRefused) {
  test::ScriptedFtpServer server;
  ASSERT_TRUE(server.ok());
  server.ReplyTo("REST", "502 No restarts here.");
  server.PutFile("/r.bin", "0123");
  TempDir local("zud-resume");
  ASSERT_TRUE(local.Write("r.bin", "0123456789"));
  const ToolRun run = RunTool({"/host:127.0.0.1", "/port:" + std::to_string(server.port()), "/pasv",
                               "/binary", "/resume", (local / "r.bin").string()});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("APPE /r.bin"), std::string::npos) << run.out;
  EXPECT_EQ(server.File("/r.bin"), "0123456789");
}

// ---- Several files ------------------------------------------------------------------

TEST(SeveralFilesTest, OneSessionFirstFailureDecidesAndSummary) {
  FtpDaemonFixture& server = Server(Kind::kPyftpdlib);
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-several");
  ASSERT_TRUE(local.Write("one.txt", "first\n"));
  ASSERT_TRUE(local.Write("three.txt", "third\n"));
  const std::vector<std::string> files = {
      (local / "one.txt").string(), (local / "two.txt").string(), (local / "three.txt").string()};
  ToolRun run = RunTool(Plus(Plus(Login(server), {"/pasv"}), files));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Count(run.out, "USER "), 1u);
  EXPECT_NE(run.out.find("File not found( " + files[1] + " )\r\n"), std::string::npos);
  EXPECT_EQ(run.err, "ftpupload: cannot read " + files[1] +
                         ": No such file or directory\nftpupload: 2 of 3 files stored\n");
  EXPECT_EQ(server.ReadFile("one.txt"), "first\n");
  EXPECT_EQ(server.ReadFile("three.txt"), "third\n");

  // No file after a failed login.
  run = RunTool(Plus(Login(server, false), {"/pass:wrong", files[0], files[2]}));
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(run.out.find("STOR"), std::string::npos);
  EXPECT_EQ(run.err, "ftpupload: 0 of 2 files stored\n");
}

// ---- Interrupts and a closed output pipe -------------------------------------------

class InterruptTest : public testing::TestWithParam<Kind> {};

TEST_P(InterruptTest, StopsTheTransferCleanly) {
  FtpDaemonFixture& server = Server(GetParam());
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-interrupt");
  // Sparse: large enough to be cut, nothing on the disk.
  const std::string path = (local / "large.bin").string();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const off_t size = off_t{4} << 30;
  ASSERT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
  for (int signal : {SIGINT, SIGTERM}) {
    TChildRun interrupt;
    // Once the server has said the data may flow.
    interrupt.interrupt_after = GetParam() == Kind::kVsftpd ? "\r\n150 " : "\r\n125 ";
    interrupt.interrupt_signal = signal;
    const ToolRun run = RunTool(Plus(Login(server), {"/pasv", "/binary", path}), interrupt);
    // The tool ends by the signal itself, as a shell sees it: 128 + N.
    EXPECT_EQ(run.status, 128 + signal) << signal << run.out << run.err;
    EXPECT_EQ(run.err, "ftpupload: interrupted\n") << signal;
    EXPECT_NE(run.out.find("\r\nABOR\r\n"), std::string::npos) << signal << run.out;
    const auto stored = std::filesystem::file_size(server.root() / "large.bin");
    EXPECT_LT(stored, static_cast<uintmax_t>(size)) << signal;
    std::filesystem::remove(server.root() / "large.bin");
  }
}

// A server that never reads the data: the interrupt still ends the transfer
// (the tool would otherwise wait for ever here).
TEST(InterruptStalledTest, EndsATransferTheServerNeverReads) {
  test::ScriptedFtpServer server;
  ASSERT_TRUE(server.ok());
  server.SetDataFaults({.never_open = true});
  TempDir local("zud-interrupt");
  ASSERT_TRUE(local.Write("stalled.bin", Content(32 << 20)));
  TChildRun interrupt;
  interrupt.interrupt_after = "\r\n150 ";
  interrupt.interrupt_delay_ms = 500;  // the buffers are full by then
  const ToolRun run = RunTool({"/host:127.0.0.1", "/port:" + std::to_string(server.port()), "/pasv",
                               "/binary", (local / "stalled.bin").string()},
                              interrupt);
  EXPECT_EQ(run.status, 130);
  EXPECT_EQ(run.err, "ftpupload: interrupted\n");
}

INSTANTIATE_TEST_SUITE_P(RealServers, InterruptTest,
                         testing::Values(Kind::kVsftpd, Kind::kPyftpdlib));

// ---- Other additions: hosts, version, quiet, warnings, closed output ----------------

TEST(ToolAdditionsTest, HostsVersionQuietWarningAndClosedOutput) {
  FtpDaemonFixture& server6 = Server(Kind::kPyftpdlib, Family::kIPv6);
  ZUD_REQUIRE_DAEMON(server6);
  TempDir local("zud-misc");
  ASSERT_TRUE(local.Write("bracket.txt", "v6\n"));
  ASSERT_TRUE(local.Write("nul.bin", std::string("a\0b", 3)));
  ASSERT_TRUE(local.Write("quiet.txt", "quiet\n"));
  ASSERT_TRUE(local.Write("closed.txt", "closed\n"));
  const std::string port = "/port:" + std::to_string(server6.port());
  const std::vector<std::string> login = {port, "/user:" + server6.user(),
                                          "/pass:" + server6.password(), "/pasv"};

  ToolRun run = RunTool(Plus({"/host:[::1]"}, Plus(login, {(local / "bracket.txt").string()})));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::regex_search(run.out, std::regex("\r\nEPSV 2\r\n"))) << run.out;

  run = RunTool(Plus({"/host:::1", "/ascii"}, Plus(login, {(local / "nul.bin").string()})));
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("looks binary"), std::string::npos) << run.err;

  run = RunTool(Plus({"/host:::1", "/quiet"}, Plus(login, {(local / "quiet.txt").string()})));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(server6.ReadFile("quiet.txt"), "quiet\n");

  TChildRun closed;
  closed.output_closed = true;
  run = RunTool(Plus({"/host:::1"}, Plus(login, {(local / "closed.txt").string()})), closed);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(server6.ReadFile("closed.txt"), "closed\n");

  run = RunTool({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(
      std::regex_match(run.out, std::regex("ftpupload 1\\.0\\.0\r\nTLS: \\S+ \\(.+\\)\r\n")))
      << run.out;
  run = RunTool({"-h"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("ftpupload Version:1.0.0\r\n", 0), 0u);
}

TEST(ToolAdditionsTest, MeterReachesFullAndLeavesASummaryOnATerminal) {
  FtpDaemonFixture& server = Server(Kind::kPyftpdlib);
  ZUD_REQUIRE_DAEMON(server);
  const testing_support::TPseudoTerminal terminal;
  if (!terminal.ok()) GTEST_SKIP() << "no pseudo-terminal available";
  TempDir local("zud-meter");
  ASSERT_TRUE(local.Write("summary.bin", Content(3 << 20)));
  TChildRun run;
  run.args = Plus(Login(server), {"/pasv", "/binary", (local / "summary.bin").string()});
  run.error_path = terminal.path();
  ASSERT_EQ(RunChild(kProgram, run).exit_status, 0);
  const std::string screen = terminal.Screen();
  EXPECT_NE(screen.find("3.0 MiB of 3.0 MiB  100%"), std::string::npos) << screen;
  EXPECT_TRUE(
      std::regex_search(screen, std::regex(R"(\r3\.0 MiB sent in \d+:\d\d \(.+/s\) *\r?\n)")))
      << testing::PrintToString(screen);
}

// "localhost" naming 127.0.0.1 first and ::1 next, with the server on ::1
// only: the refused first address gives way to the next. Where the hosts
// file names only 127.0.0.1, the tool runs in a mount namespace of its own
// with one that names both.
TEST(ToolAdditionsTest, LocalhostFallsBackToItsNextAddress) {
  FtpDaemonFixture& server6 = Server(Kind::kPyftpdlib, Family::kIPv6);
  ZUD_REQUIRE_DAEMON(server6);
  TempDir local("zud-misc");
  ASSERT_TRUE(local.Write("hosts", "127.0.0.1 localhost\n::1 localhost\n"));
  ASSERT_TRUE(local.Write("fallback.txt", "v6 only\n"));
  TChildRun probe;
  probe.args = {"-m", "true"};
  if (RunChild("/usr/bin/unshare", probe).exit_status != 0) {
    GTEST_SKIP() << "no mount namespace for a hosts file that names ::1 as localhost";
  }
  TChildRun run;
  run.args = Plus({"-m", "sh", "-c", "mount --bind \"$0\" /etc/hosts && exec \"$@\"",
                   (local / "hosts").string(), kProgram, "/host:localhost", "/pasv"},
                  Plus(Login(server6), {(local / "fallback.txt").string()}));
  const testing_support::TChildResult result = RunChild("/usr/bin/unshare", run);
  EXPECT_EQ(result.exit_status, 0) << result.output;
  EXPECT_EQ(server6.ReadFile("fallback.txt"), "v6 only\n");
}

// ---- The password prompt ----------------------------------------------------------

// Reads what the terminal shows until it holds `until` (or, with "", until
// the child closes it) or the deadline passes.
std::string ReadTerminal(int master, const std::string& until, std::string shown = "") {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!until.empty() && shown.find(until) != std::string::npos) break;
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(master, buffer, sizeof(buffer));
    if (n <= 0) break;  // the child is gone and closed the terminal
    shown.append(buffer, static_cast<size_t>(n));
  }
  return shown;
}

TEST(PasswordPromptTest, AskedOnTheTerminalWithoutEchoWhenNoSourceGivesOne) {
  test::ScriptedFtpServer server;
  ASSERT_TRUE(server.ok());
  TempDir local("zud-prompt");
  ASSERT_TRUE(local.Write("f.txt", "x"));
  std::vector<std::string> args = {testing_support::kToolProgram, "/host:127.0.0.1",
                                   "/port:" + std::to_string(server.port()), "/user:me", "/pasv",
                                   (local / "f.txt").string()};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  std::string shown = ReadTerminal(master, "Password for me@127.0.0.1: ");
  EXPECT_NE(shown.find("Password for me@127.0.0.1: "), std::string::npos) << shown;
  const std::string typed = "s3cret\n";
  EXPECT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  shown = ReadTerminal(master, "", shown);
  ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  EXPECT_EQ(shown.find("s3cret"), std::string::npos) << shown;  // neither echoed nor shown
  const std::vector<std::string> commands = server.Commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "PASS s3cret"), commands.end());
}

}  // namespace
}  // namespace zud
