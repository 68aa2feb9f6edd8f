// Acceptance of folder mode (/recursive, /mkdir, /exclude, /atomic, /retry)
// with the built executable: whole trees against vsftpd and pyftpdlib, and
// the scripted server where the dialogue itself is checked or a fault has to
// come on cue.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "frontend/child_process.h"
#include "frontend/real_servers.h"
#include "frontend/tool_run.h"
#include "support/ftp_daemons.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

namespace zud {
namespace {

namespace fs = std::filesystem;
using test::FtpDaemonFixture;
using test::TempDir;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing_support::RunChild;
using testing_support::LoginSwitches;
using testing_support::Plus;
using testing_support::RealServer;
using testing_support::RealServers;
using testing_support::SharedServer;
using testing_support::RunTool;
using testing_support::TChildRun;
using testing_support::ToolRun;

const char kSummary[] =
    "ftpupload: [0-9]+ files? sent(, [0-9]+ (failed|not sent))*(; [0-9]+ folders? [a-z].*)?; "
    ".* in [0-9]+:[0-9]{2}\n";

FtpDaemonFixture& Pyftpdlib() { return SharedServer({"Pyftpdlib", test::MakePyftpdlib}); }

std::vector<std::string> Login(const FtpDaemonFixture& server) {
  return {std::string("/host:") + server.host(), "/port:" + std::to_string(server.port()),
          "/user:" + server.user(), "/pass:" + server.password(), "/pasv"};
}

std::vector<std::string> Login(const test::ScriptedFtpServer& server) {
  return {"/host:127.0.0.1", "/port:" + std::to_string(server.port()), "/user:u", "/pass:p",
          "/pasv"};
}

std::string Content(size_t size, char first = 'a') {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(first + i % 23);
  return data;
}

bool MakeSparse(const std::string& path, off_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const bool ok = ::ftruncate(fd, size) == 0;
  ::close(fd);
  return ok;
}

// The commands from the first one after the login on (the login sends TYPE,
// STRU, MODE and a REST probe before it).
std::vector<std::string> AfterLogin(const std::vector<std::string>& commands) {
  auto it = commands.begin();
  while (it != commands.end() && it->rfind("MKD", 0) != 0 && it->rfind("PASV", 0) != 0 &&
         it->rfind("EPSV", 0) != 0) {
    ++it;
  }
  return {it, commands.end()};
}

// ---- Whole trees against real servers ---------------------------------------------

// Files that arrive, relative to the tree's root, with their content.
const std::map<std::string, std::string>& TreeFiles() {
  static const std::map<std::string, std::string> files = {
      {"index.html", "<html>home</html>\n"},
      {".htaccess", "Deny from all\n"},
      {"with space.txt", "spaced\n"},
      {"\xc3\xbcnic\xc3\xb6" "de.txt", "utf-8 name\n"},
      {"empty.bin", ""},
      {"big.bin", Content(300 * 1024)},
      {"css/site.css", "body {}\n"},
      {"css/deep/er/note.txt", "deep\n"},
      {"link_to_file", "<html>home</html>\n"},
  };
  return files;
}

void MakeTree(const TempDir& local) {
  for (const auto& [name, content] : TreeFiles()) {
    if (name != "link_to_file") {
      ASSERT_TRUE(local.Write("site/" + name, content));
    }
  }
  fs::create_directories(local / "site/emptydir");
  fs::create_symlink("index.html", local / "site/link_to_file");
  fs::create_directory_symlink("css", local / "site/link_to_folder");
  fs::create_symlink("loop", local / "site/loop");
  ASSERT_EQ(::mkfifo((local / "site/fifo").c_str(), 0644), 0);
}

class RealTreeTest : public testing::TestWithParam<RealServer> {};

TEST_P(RealTreeTest, EveryFileArrivesAndOddEntriesAreWarnedAbout) {
  const RealServer& kind = GetParam();
  FtpDaemonFixture& server = SharedServer(kind);
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-tree");
  MakeTree(local);
  // "site/" fills /dir itself; "site" makes /dir/site.
  for (const bool slash : {true, false}) {
    const std::string dir = std::string("tree_") + (slash ? "slash" : "plain");
    const std::string prefix = dir + (slash ? "/" : "/site/");
    ASSERT_TRUE(server.MakeDir(dir));
    const std::string folder = (local / "site").string() + (slash ? "/" : "");
    const ToolRun run = RunTool(Plus(LoginSwitches(server, kind.tls),
                                     {"/recursive", "/dir:" + server.remote_root() + dir, folder}));
    EXPECT_EQ(run.status, 0) << dir << run.out << run.err;
    for (const auto& [name, content] : TreeFiles()) {
      EXPECT_EQ(server.ReadFile(prefix + name), content) << prefix + name;
    }
    EXPECT_TRUE(fs::is_directory(server.root() / (prefix + "emptydir"))) << prefix;
    for (const char* odd : {"link_to_folder", "loop", "fifo"}) {
      EXPECT_FALSE(server.Exists(prefix + odd)) << prefix + odd;
      EXPECT_THAT(run.err, HasSubstr(std::string("warning: ") + odd)) << run.err;
    }
    EXPECT_THAT(run.err, MatchesRegex(std::string("(.|\n)*ftpupload: 9 files sent; ") +
                                      (slash ? "4" : "5") + " folders made; " +
                                      "[0-9.]+ KiB in [0-9]+:[0-9]{2}\n"));
  }
}

INSTANTIATE_TEST_SUITE_P(RealServers, RealTreeTest, testing::ValuesIn(RealServers()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ExcludeTest, LeavesOutExactlyWhatThePatternsName) {
  FtpDaemonFixture& server = Pyftpdlib();
  ZUD_REQUIRE_DAEMON(server);
  const struct {
    const char* path;
    bool arrives;
  } files[] = {
      {"app.log", false},         {"sub/deep.log", false},     {"logs.txt", true},
      {"cache/x.txt", false},     {"sub/cache/y.txt", false},  {"other/cache", true},
      {"docs/draft.txt", false},  {"sub/docs/draft.txt", true}, {"docs/final.txt", true},
      {"keep.txt", true},
  };
  TempDir local("zud-exclude");
  for (const auto& f : files) ASSERT_TRUE(local.Write(std::string("tree/") + f.path, f.path));
  ASSERT_TRUE(server.MakeDir("excl"));
  const ToolRun run = RunTool(Plus(Login(server), {"/recursive", "/dir:/excl", "/exclude:*.log",
                                                   "/exclude:cache/", "/exclude:/docs/draft.txt",
                                                   (local / "tree").string() + "/"}));
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  for (const auto& f : files) {
    EXPECT_EQ(server.Exists(std::string("excl/") + f.path), f.arrives) << f.path;
  }
}

TEST(MakeDirsTest, MakesMissingParentsOrSaysToAskForThem) {
  FtpDaemonFixture& server = Pyftpdlib();
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-mkdir");
  ASSERT_TRUE(local.Write("f.txt", "made\n"));
  ASSERT_TRUE(server.MakeDir("a"));
  ToolRun run = RunTool(Plus(Login(server), {"/mkdir", "/dir:/a/b/c", (local / "f.txt").string()}));
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(server.ReadFile("a/b/c/f.txt"), "made\n");

  run = RunTool(Plus(Login(server), {"/dir:/x/y", (local / "f.txt").string()}));
  EXPECT_EQ(run.status, 7) << run.out << run.err;
  EXPECT_THAT(run.err, HasSubstr("remote directory /x/y does not exist; add /mkdir to make it"));
  EXPECT_FALSE(server.Exists("x"));
}

// ---- The dialogue, scripted ---------------------------------------------------------

TEST(RoundTripTest, OneDataConnectionAndOneStorePerFile) {
  TempDir local("zud-trips");
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
    ASSERT_TRUE(local.Write(std::string("site/") + name, name));
  }
  for (const bool slash : {true, false}) {
    test::ScriptedFtpServer server;
    ASSERT_TRUE(server.ok());
    const ToolRun run = RunTool(
        Plus(Login(server), {"/recursive", (local / "site").string() + (slash ? "/" : "")}));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const std::string at = slash ? "/" : "/site/";
    std::vector<std::string> expected;
    if (!slash) expected.push_back("MKD /site");
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
      expected.push_back("PASV");
      expected.push_back("STOR " + at + name);
    }
    expected.push_back("QUIT");
    EXPECT_THAT(AfterLogin(server.Commands()), ElementsAreArray(expected)) << run.out;
    EXPECT_EQ(server.File(at + "b.txt"), "b.txt");
  }
}

TEST(AtomicTest, StoresUnderATemporaryNameThenRenames) {
  TempDir local("zud-atomic");
  ASSERT_TRUE(local.Write("f.txt", "new content\n"));
  // The second server refuses the first rename over the existing file.
  for (const bool refuse_once : {false, true}) {
    int renames = 0;
    test::ScriptedFtpServer server;
    ASSERT_TRUE(server.ok());
    server.PutFile("/d/f.txt", "old\n");
    if (refuse_once) {
      server.On("RNTO", [&renames](test::FtpSession& s, const std::string& argument) {
        if (renames++ == 0) return s.Reply("553 File exists");
        (*test::DefaultFtpHandler("RNTO"))(s, argument);
      });
    }
    const ToolRun run =
        RunTool(Plus(Login(server), {"/atomic", "/dir:/d", (local / "f.txt").string()}));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    std::vector<std::string> expected = {"PASV", "STOR /d/.f.txt.ftpupload-part",
                                         "RNFR /d/.f.txt.ftpupload-part", "RNTO /d/f.txt"};
    if (refuse_once) {
      expected.insert(expected.end(),
                      {"DELE /d/f.txt", "RNFR /d/.f.txt.ftpupload-part", "RNTO /d/f.txt"});
    }
    expected.push_back("QUIT");
    EXPECT_THAT(AfterLogin(server.Commands()), ElementsAreArray(expected));
    EXPECT_EQ(server.File("/d/f.txt"), "new content\n");
    EXPECT_FALSE(server.File("/d/.f.txt.ftpupload-part").has_value());
  }
}

// A refused RNFR means the stored file is not there to rename: the live file
// must stay, not be deleted to make room.
TEST(AtomicTest, RefusedRenameSourceLeavesTheLiveFileAlone) {
  TempDir local("zud-atomic-rnfr");
  ASSERT_TRUE(local.Write("f.txt", "new content\n"));
  test::ScriptedFtpServer server;
  ASSERT_TRUE(server.ok());
  server.PutFile("/d/f.txt", "old\n");
  server.ReplyTo("RNFR", "550 No such file");
  const ToolRun run =
      RunTool(Plus(Login(server), {"/atomic", "/dir:/d", (local / "f.txt").string()}));
  EXPECT_EQ(run.status, 7) << run.err;
  const std::vector<std::string> commands = server.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "DELE /d/f.txt"), 0);
  EXPECT_EQ(server.File("/d/f.txt"), "old\n");
}

TEST(AtomicTest, ReadersNeverSeeAPartialFileUnderTheFinalName) {
  FtpDaemonFixture& server = Pyftpdlib();
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-atomic");
  const off_t size = off_t{64} << 20;
  ASSERT_TRUE(MakeSparse((local / "whole.bin").string(), size));
  std::atomic<bool> done{false};
  std::atomic<int> partial_seen{0}, part_seen{0};
  std::thread reader([&] {
    while (!done) {
      std::error_code error;
      const auto at = fs::file_size(server.root() / "whole.bin", error);
      if (!error && at != static_cast<uintmax_t>(size)) ++partial_seen;
      if (fs::exists(server.root() / ".whole.bin.ftpupload-part", error)) ++part_seen;
    }
  });
  const ToolRun run = RunTool(Plus(Login(server), {"/atomic", (local / "whole.bin").string()}));
  done = true;
  reader.join();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(partial_seen, 0);
  EXPECT_GT(part_seen, 0);  // the reader did look while the upload ran
  EXPECT_EQ(fs::file_size(server.root() / "whole.bin"), static_cast<uintmax_t>(size));
  fs::remove(server.root() / "whole.bin");
}

// The first store loses both connections after 1 MiB; with /retry the tool
// logs in again and continues from what the server has.
TEST(RetryTest, ContinuesTheFileAfterALostConnection) {
  TempDir local("zud-retry");
  const std::string content = Content(8 << 20);
  ASSERT_TRUE(local.Write("tree/r.bin", content));
  for (const bool retry : {true, false}) {
    int stors = 0;  // the server copies its handlers: the count lives here
    test::ScriptedFtpServer server;
    ASSERT_TRUE(server.ok());
    server.On("STOR", [&stors](test::FtpSession& s, const std::string& argument) {
      if (stors++ > 0) return s.RunUpload(argument, false);
      s.server().SetDataFaults({.close_after = 1 << 20});
      s.Reply("150 Ok to send data.");
      std::string received;
      if (s.OpenData()) s.ReceiveData(&received);
      s.CloseData();
      s.server().SetDataFaults({});
      s.server().PutFile(argument, received);
      s.CloseControl();
    });
    std::vector<std::string> args =
        Plus(Login(server), {"/recursive", (local / "tree").string() + "/"});
    if (retry) args.push_back("/retry:2");
    const ToolRun run = RunTool(args);
    const std::vector<std::string> commands = server.Commands();
    const auto users = std::count_if(commands.begin(), commands.end(),
                                     [](const std::string& c) { return c.rfind("USER ", 0) == 0; });
    if (!retry) {
      EXPECT_NE(run.status, 0) << run.err;
      EXPECT_EQ(users, 1);
      continue;
    }
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(users, 2);
    EXPECT_THAT(run.err, HasSubstr("reconnecting"));
    auto size = std::find(commands.begin(), commands.end(), "SIZE /r.bin");
    ASSERT_NE(size, commands.end()) << testing::PrintToString(commands);
    ASSERT_LT(size + 3, commands.end());
    EXPECT_THAT(*(size + 1), MatchesRegex("PASV|EPSV"));
    EXPECT_EQ(*(size + 2), "REST " + std::to_string(1 << 20));
    EXPECT_EQ(*(size + 3), "STOR /r.bin");
    EXPECT_TRUE(server.File("/r.bin") == content);
  }
}

// The server's session killed in the middle of a file: with /retry the tool
// logs in again and the file ends whole, continued where the server allows
// it and sent again from its first byte where it refuses (ProFTPD's
// default, AllowStoreRestart off). Under TLS the reset is a lost connection
// like any other. Stores are throttled where the server can, so that the kill
// finds the file half sent.
struct KillCase {
  const char* name;
  RealServer server;
  test::FtpServerOptions options;
  bool atomic;
  bool continued;  // the server takes REST before STOR
};

void PrintTo(const KillCase& c, std::ostream* os) { *os << c.name; }

class KilledSessionTest : public testing::TestWithParam<KillCase> {};

TEST_P(KilledSessionTest, RetryEndsWithTheWholeFile) {
  const KillCase& c = GetParam();
  const auto server = testing_support::StartServer(c.server, c.options);
  ZUD_REQUIRE_DAEMON(*server);
  // Unthrottled servers get a file large enough to be seen half written.
  const size_t size = c.options.store_rate_kib > 0 ? size_t{3} << 20 : size_t{64} << 20;
  TempDir local("zud-killed");
  const std::string content = Content(size);
  ASSERT_TRUE(local.Write("tree/big.bin", content));
  ASSERT_TRUE(local.Write("tree/a.txt", "a"));
  ASSERT_TRUE(server->MakeDir("k"));
  std::vector<std::string> args = Plus(LoginSwitches(*server, c.server.tls),
                                       {"/recursive", "/retry:2", "/verbose", "/dir:" + server->remote_root() + "k",
                                        (local / "tree").string() + "/"});
  if (c.atomic) args.push_back("/atomic");
  const fs::path written = server->root() / (c.atomic ? "k/.big.bin.ftpupload-part" : "k/big.bin");
  std::atomic<bool> done{false};
  std::atomic<uintmax_t> killed_at{0};
  std::thread killer([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done && std::chrono::steady_clock::now() < deadline) {
      std::error_code error;
      const uintmax_t at = fs::file_size(written, error);
      if (!error && at >= (size >> 4) && at < size && server->KillSessions() > 0) {
        killed_at = at;
        return;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  const ToolRun run = RunTool(args);
  done = true;
  killer.join();
  ASSERT_GT(killed_at.load(), 0u) << "the session was never caught in the middle of the file";
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_THAT(run.err, HasSubstr("reconnecting"));
  EXPECT_EQ(run.out.find("REST ") != std::string::npos, true) << run.out;
  EXPECT_EQ(run.err.find("sending it from the start") == std::string::npos, c.continued) << run.err;
  EXPECT_TRUE(server->ReadFile("k/big.bin") == content);
  EXPECT_FALSE(server->Exists("k/.big.bin.ftpupload-part"));
}

RealServer Named(const std::string& name) { return testing_support::RealServerNamed(name); }

const KillCase kKillCases[] = {
    {"ProftpdNoRestart", Named("Proftpd"), {.store_rate_kib = 4000}, false, false},
    {"ProftpdNoRestartAtomic", Named("Proftpd"), {.store_rate_kib = 4000}, true, false},
    {"ProftpdRestart", Named("Proftpd"), {.allow_store_restart = true, .store_rate_kib = 4000},
     false, true},
    {"ProftpdTls", Named("ProftpdTls"), {.store_rate_kib = 4000}, false, false},
    {"Vsftpd", Named("Vsftpd"), {.store_rate_kib = 4000}, false, true},
    {"PureFtpdAtomic", Named("PureFtpd"), {.store_rate_kib = 4000}, true, true},
    {"InetutilsFtpd", Named("InetutilsFtpd"), {}, false, true},
};

INSTANTIATE_TEST_SUITE_P(RealServers, KilledSessionTest, testing::ValuesIn(kKillCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A connection lost outside a file (here at MKD) is mended by /retry as well,
// and without reconnects left it fails the run: the files not sent are counted.
TEST(RetryTest, LostAtAFolderReconnectsOrFailsTheRun) {
  TempDir local("zud-lost");
  ASSERT_TRUE(local.Write("tree/sub/a.txt", "a"));
  ASSERT_TRUE(local.Write("tree/b.txt", "b"));
  for (const bool retry : {true, false}) {
    int mkds = 0;
    test::ScriptedFtpServer server;
    ASSERT_TRUE(server.ok());
    server.On("MKD", [&mkds](test::FtpSession& s, const std::string&) {
      if (mkds++ == 0) return s.CloseControl();
      s.Reply("257 Created.");
    });
    std::vector<std::string> args =
        Plus(Login(server), {"/recursive", (local / "tree").string() + "/"});
    if (retry) args.push_back("/retry:1");
    const ToolRun run = RunTool(args);
    if (retry) {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(server.File("/sub/a.txt"), "a");
      EXPECT_EQ(server.File("/b.txt"), "b");
    } else {
      EXPECT_EQ(run.status, 8) << run.err;
      EXPECT_THAT(run.err, HasSubstr("the run stops"));
      EXPECT_THAT(run.err, HasSubstr("0 files sent, 2 not sent;"));
    }
  }
}

TEST(RefusedStoreTest, OtherFilesStillArrive) {
  test::ScriptedFtpServer server;
  ASSERT_TRUE(server.ok());
  server.On("STOR", [](test::FtpSession& s, const std::string& argument) {
    if (argument == "/b.txt") return s.Reply("553 Not allowed");
    s.RunUpload(argument, false);
  });
  TempDir local("zud-refused");
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
    ASSERT_TRUE(local.Write(std::string("t/") + name, name));
  }
  const ToolRun run = RunTool(Plus(Login(server), {"/recursive", (local / "t").string() + "/"}));
  EXPECT_EQ(run.status, 7) << run.out << run.err;
  EXPECT_EQ(server.File("/a.txt"), "a.txt");
  EXPECT_EQ(server.File("/c.txt"), "c.txt");
  EXPECT_FALSE(server.File("/b.txt").has_value());
  EXPECT_THAT(run.err, MatchesRegex("(.|\n)*/b.txt.*553 Not allowed(.|\n)*"));
  EXPECT_THAT(run.err, MatchesRegex("(.|\n)*ftpupload: 2 files sent, 1 failed; (.|\n)*"));
}

// ---- Interrupts and refusals before any transfer -----------------------------------

TEST(InterruptTest, CtrlCMidTreeEndsBySignalWithASummary) {
  FtpDaemonFixture& server = Pyftpdlib();
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-interrupt");
  ASSERT_TRUE(local.Write("tree/z.txt", "after the big one\n"));
  ASSERT_TRUE(MakeSparse((local / "tree/a_big.bin").string(), off_t{4} << 30));
  ASSERT_TRUE(server.MakeDir("stopped"));
  TChildRun interrupt;
  // Once the server has said the data may flow: pyftpdlib answers 125 or
  // 150, depending on whether the passive connection came first.
  interrupt.interrupt_after = "STOR /stopped/a_big.bin\r\n1";
  const ToolRun run = RunTool(
      Plus(Login(server),
           {"/verbose", "/recursive", "/dir:/stopped", (local / "tree").string() + "/"}),
      interrupt);
  EXPECT_EQ(run.status, 130) << run.out << run.err;
  EXPECT_THAT(run.err, HasSubstr("interrupted\n"));
  EXPECT_THAT(run.err, MatchesRegex(std::string("(.|\n)*") + kSummary));
  EXPECT_FALSE(server.Exists("stopped/z.txt")) << run.out;
  fs::remove_all(server.root() / "stopped");
}

TEST(RefusalTest, FolderWithoutRecursive) {
  test::ScriptedFtpServer server;
  ASSERT_TRUE(server.ok());
  TempDir local("zud-folder");
  ASSERT_TRUE(local.Write("site/a.txt", "a"));
  const ToolRun run = RunTool(Plus(Login(server), {(local / "site").string()}));
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_THAT(run.err, HasSubstr((local / "site").string() +
                                 " is a folder; add /recursive to upload its tree"));
}

TEST(RefusalTest, SshServerIsNamedAtOnce) {
  test::ScriptedFtpServer server;
  ASSERT_TRUE(server.ok());
  server.SetGreeting("SSH-2.0-OpenSSH_9.2");
  TempDir local("zud-ssh");
  ASSERT_TRUE(local.Write("f.txt", "x"));
  const auto started = std::chrono::steady_clock::now();
  const ToolRun run = RunTool({"/host:127.0.0.1", "/port:" + std::to_string(server.port()),
                               (local / "f.txt").string()});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(run.status, 4) << run.out << run.err;
  EXPECT_THAT(run.err, HasSubstr("port " + std::to_string(server.port()) +
                                 " speaks SSH (SFTP), not FTP"));
}

}  // namespace
}  // namespace zud
