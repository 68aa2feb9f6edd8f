// Acceptance of /sync (with /delete, /dryrun, /checksum, /atomic,
// /parallel) with the built executable against the real servers: vsftpd
// (LIST only), pyftpdlib (MLSD), ProFTPD (with MLSD and LIST only),
// Pure-FTPd and inetutils ftpd, plain and with TLS.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "frontend/real_servers.h"
#include "frontend/tool_run.h"
#include "support/ftp_daemons.h"
#include "support/temp_dir.h"

namespace zud {
namespace {

namespace fs = std::filesystem;
using test::FtpDaemonFixture;
using test::FtpTls;
using test::TempDir;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::UnorderedElementsAreArray;
using testing_support::LoginSwitches;
using testing_support::Plus;
using testing_support::RealServer;
using testing_support::RealServers;
using testing_support::SharedServer;
using testing_support::RunTool;
using testing_support::TChildRun;
using testing_support::ToolRun;

enum class Kind { kVsftpd, kPyftpdlib, kVsftpdTls, kPyftpdlibTls };

std::unique_ptr<FtpDaemonFixture> MakeServer(Kind kind, test::FtpServerOptions options = {}) {
  if (kind == Kind::kVsftpdTls || kind == Kind::kPyftpdlibTls) {
    options.tls = FtpTls::kExplicit;
    options.certificate = test::SharedTestCertificates().Get(test::TestCertificates::kGood);
  }
  const bool py = kind == Kind::kPyftpdlib || kind == Kind::kPyftpdlibTls;
  return py ? test::MakePyftpdlib(options) : test::MakeVsftpd(options);
}

FtpDaemonFixture& Server(Kind kind) {
  static std::map<Kind, std::unique_ptr<FtpDaemonFixture>> servers;
  auto& slot = servers[kind];
  if (!slot) slot = MakeServer(kind);
  return *slot;
}

std::vector<std::string> Login(const FtpDaemonFixture& server, Kind kind) {
  std::vector<std::string> args = {std::string("/host:") + server.host(),
                                   "/port:" + std::to_string(server.port()),
                                   "/user:" + server.user(), "/pass:" + server.password(),
                                   "/verbose"};
  if (kind == Kind::kVsftpdTls || kind == Kind::kPyftpdlibTls) {
    args.insert(args.end(), {"/tls", "/cacert:" + test::SharedTestCertificates().ca_file()});
  }
  return args;
}

// The lines of standard output, without line ends or session numbers.
std::vector<std::string> Lines(const std::string& out) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 4 && line[0] == '[' && line.find("] ") != std::string::npos) {
      line = line.substr(line.find("] ") + 2);
    }
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// The paths of the commands verb sent (the state file's own store aside).
std::vector<std::string> Sent(const std::string& out, const std::string& verb) {
  std::vector<std::string> paths;
  for (const std::string& line : Lines(out)) {
    if (line.rfind(verb + " ", 0) != 0 || line.find(".htftpupload-sync") != std::string::npos) continue;
    paths.push_back(line.substr(verb.size() + 1));
  }
  return paths;
}

// Every file below root with its content.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).string();
    files[relative] = entry.is_regular_file() ? test::ReadFileBytes(entry.path()).value_or("?") : "/";
  }
  return files;
}

// The server's tree holds the local one byte for byte, the excluded logs
// and the sync's own file aside.
void ExpectSameTree(const fs::path& local, const fs::path& remote) {
  std::map<std::string, std::string> expected = Snapshot(local), found = Snapshot(remote);
  std::erase_if(expected, [](const auto& e) { return e.first.ends_with(".log"); });
  std::erase_if(found, [](const auto& e) {
    return e.first.ends_with(".log") || e.first.find("ftpupload-sync") != std::string::npos;
  });
  EXPECT_EQ(found, expected);
}

void SetTime(const fs::path& path, std::chrono::seconds ago) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - ago);
}

class RealSyncTest : public testing::TestWithParam<RealServer> {};

// The whole life of a synced folder: first upload, nothing changed, a round
// of edits (dry run first, then with /atomic), a lost state file, a server
// clock hours off.
TEST_P(RealSyncTest, SendsExactlyWhatChanged) {
  const RealServer& kind = GetParam();
  FtpDaemonFixture& server = SharedServer(kind);
  ZUD_REQUIRE_DAEMON(server);
  const std::string dir = "sync";
  ASSERT_TRUE(server.MakeDir(dir));
  ASSERT_TRUE(server.WriteFile(dir + "_outside.txt", "not ours\n"));
  TempDir local("zud-sync");
  const auto name = [](int i) {
    const std::string file = "f" + std::to_string(100 + i).substr(1) + ".txt";
    return i % 3 == 0 ? "a/" + file : i % 3 == 1 ? "b/c/" + file : file;
  };
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(local.Write("site/" + name(i), "content " + std::to_string(100 + i) + "\n"));
    SetTime(local / "site" / name(i), std::chrono::seconds(1000));
  }
  // Some servers split LIST's argument at blanks: listed from inside.
  ASSERT_TRUE(local.Write("site/gone away/g.txt", "g\n"));
  // LIST takes "[1]" as a pattern: this folder is listed from inside.
  ASSERT_TRUE(local.Write("site/odd [1]/x.txt", "x\n"));
  ASSERT_TRUE(local.Write("site/app.log", "excluded\n"));
  ASSERT_TRUE(local.Write("site/.htaccess", "Deny from all\n"));
  // Files changed in the second a run reads them are read again by the next
  // run (and their records rewritten): none here.
  for (const char* file : {"gone away/g.txt", "odd [1]/x.txt", "app.log", ".htaccess"}) {
    SetTime(local / "site" / file, std::chrono::seconds(1000));
  }
  const std::string remote_dir = server.remote_root() + dir;
  const std::vector<std::string> args =
      Plus(LoginSwitches(server, kind.tls), {"/recursive", "/sync", "/verbose", "/dir:" + remote_dir,
                                             "/exclude:*.log", (local / "site").string() + "/"});
  const auto remote = [&](const std::string& path) { return remote_dir + "/" + path; };

  ToolRun run = RunTool(args);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(Sent(run.out, "STOR").size(), 23u);
  EXPECT_EQ(server.ReadFile(dir + "/odd [1]/x.txt"), "x\n");
  EXPECT_EQ(server.ReadFile(dir + "/.htaccess"), "Deny from all\n");
  EXPECT_TRUE(server.Exists(dir + "/.htftpupload-sync"));
  EXPECT_FALSE(server.Exists(dir + "/app.log"));

  run = RunTool(args);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, testing::Not(HasSubstr("STOR")));  // the state file neither
  EXPECT_THAT(run.err, HasSubstr("0 files sent, 23 unchanged"));

  // Touch 10 (new times, the same bytes: not sent), edit one keeping its
  // size and time and one keeping its size, delete 5 and a folder, add 3.
  std::set<std::string> expected_plan;
  for (int i = 0; i < 10; ++i) SetTime(local / "site" / name(i), std::chrono::seconds(0));
  ASSERT_TRUE(local.Write("site/" + name(11), "CONTENT 111\n"));
  expected_plan.insert("send content " + remote(name(11)));
  const auto edited = local / "site" / name(10);
  const auto kept_time = fs::last_write_time(edited);
  ASSERT_TRUE(local.Write("site/" + name(10), "CONTENT 110\n"));
  fs::last_write_time(edited, kept_time);
  expected_plan.insert("send content " + remote(name(10)));
  for (int i = 15; i < 20; ++i) {
    fs::remove(local / "site" / name(i));
    expected_plan.insert("delete " + remote(name(i)));
  }
  fs::remove_all(local / "site/gone away");
  expected_plan.insert("delete " + remote("gone away/g.txt"));
  expected_plan.insert("rmdir " + remote("gone away"));
  for (const std::string added : {"n1.txt", "new/n2.txt", "new/n3.txt"}) {
    ASSERT_TRUE(local.Write("site/" + added, added));
    expected_plan.insert("send new " + remote(added));
  }
  expected_plan.insert("mkdir " + remote("new"));
  ASSERT_TRUE(server.WriteFile(dir + "/server.log", "excluded on the server too\n"));
  ASSERT_TRUE(server.WriteFile(dir + "/stale.txt", "only on the server\n"));
  expected_plan.insert("delete " + remote("stale.txt"));

  const auto before = Snapshot(server.root());
  run = RunTool(Plus(args, {"/checksum", "/delete", "/dryrun"}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(Lines(run.out), UnorderedElementsAreArray(expected_plan)) << run.out;
  EXPECT_EQ(Snapshot(server.root()), before);

  run = RunTool(Plus(args, {"/checksum", "/delete", "/atomic"}));
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  std::set<std::string> stores, deletes;
  for (const std::string& line : expected_plan) {
    if (line.rfind("send ", 0) == 0) stores.insert(line.substr(line.find(' ', 5) + 1));
    if (line.rfind("delete ", 0) == 0) deletes.insert(line.substr(7));
  }
  // Stored under temporary names, renamed over the old files.
  EXPECT_THAT(Sent(run.out, "RNTO"), UnorderedElementsAreArray(stores));
  EXPECT_THAT(Snapshot(server.root()), testing::Not(testing::Contains(
                                           testing::Key(testing::HasSubstr("ftpupload-part")))));
  EXPECT_THAT(Sent(run.out, "DELE"), UnorderedElementsAreArray(deletes));
  EXPECT_EQ(server.ReadFile(dir + "/" + name(10)), "CONTENT 110\n");
  EXPECT_TRUE(server.Exists(dir + "/server.log"));
  EXPECT_TRUE(server.Exists(dir + "_outside.txt"));
  EXPECT_FALSE(server.Exists(dir + "/gone away"));
  ExpectSameTree(local / "site", server.root() / dir);

  // A lost state file: nothing unchanged is sent again (but the touched
  // files, which the server holds with their old times where it keeps
  // ours); the file comes back.
  fs::remove(server.root() / dir / ".htftpupload-sync");
  run = RunTool(args);
  EXPECT_EQ(run.status, 0) << run.err;
  std::set<std::string> touched;
  for (int i = 0; i < 10; ++i) touched.insert(remote(name(i)));
  for (const std::string& sent : Sent(run.out, "STOR")) EXPECT_EQ(touched.count(sent), 1u) << sent;
  EXPECT_TRUE(server.Exists(dir + "/.htftpupload-sync"));

  // A server clock hours behind: its times do not matter with a state file.
  for (const auto& entry : fs::recursive_directory_iterator(server.root() / dir)) {
    SetTime(entry.path(), std::chrono::hours(7));
  }
  run = RunTool(Plus(args, {"/delete"}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(Sent(run.out, "STOR"), IsEmpty()) << run.out;
  EXPECT_THAT(Sent(run.out, "DELE"), IsEmpty()) << run.out;
}

INSTANTIATE_TEST_SUITE_P(RealServers, RealSyncTest, testing::ValuesIn(RealServers()),
                         [](const auto& info) { return std::string(info.param.name); });

void MakeFiles(const TempDir& local, int count) {
  for (int i = 0; i < count; ++i) {
    ASSERT_TRUE(local.Write("t/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".bin",
                            std::string(1000 + 97 * i, static_cast<char>('a' + i % 26))));
  }
}

void ExpectFilesArrived(const TempDir& local, const FtpDaemonFixture& server, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string path = "d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".bin";
    EXPECT_EQ(server.ReadFile(path), local.Read("t/" + path)) << path;
  }
}

// A server that allows two sessions from one client: the run goes on with
// those it has, says so, and keeps every session's lines whole.
TEST(ParallelSyncTest, FewerSessionsThanAskedForStillFinish) {
  for (const Kind kind : {Kind::kVsftpd, Kind::kVsftpdTls}) {
    test::FtpServerOptions options;
    options.max_sessions_per_client = 2;
    // Throttled stores: the run lasts until the server's slowest refusal
    // came (a login still under way at the end is given up unheard).
    options.store_rate_kib = 64;
    const auto server = MakeServer(kind, options);
    ZUD_REQUIRE_DAEMON(*server);
    TempDir local("zud-parallel");
    MakeFiles(local, 40);
    const ToolRun run = RunTool(Plus(Login(*server, kind), {"/recursive", "/sync", "/parallel:4",
                                                           (local / "t").string() + "/"}));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    // The first session and one more are let in; the other two are refused.
    EXPECT_THAT(run.err, HasSubstr("note: the server refused session"));
    EXPECT_THAT(run.err, HasSubstr("going on with 2 sessions"));
    EXPECT_THAT(run.err, testing::Not(HasSubstr("going on with 1 session")));
    EXPECT_THAT(run.err, HasSubstr("40 files sent"));
    ExpectFilesArrived(local, *server, 40);
    EXPECT_THAT(run.out, testing::MatchesRegex("(\\[[1-4]\\] [^\r\n]*\r\n)*"));
  }
}

// /parallel:auto finds the host's limit: a server that allows fewer
// sessions than the ceiling (vsftpd's 421, ProFTPD's 530) and one that allows
// more. Stores are throttled so that files still wait while sessions open.
TEST(ParallelSyncTest, AutoFindsHowManySessionsTheHostAllows) {
  const struct {
    const char* name;
    test::FtpDaemonFactory make;
    int limit;
    const char* ceiling;
    const char* summary;
  } cases[] = {
      {"vsftpd limit 3", test::MakeVsftpd, 3, "/parallel:auto",
       "the host allowed 3 sessions at once (it refused more)"},
      {"ProFTPD limit 2", test::MakeProftpd, 2, "/parallel:auto:6",
       "the host allowed 2 sessions at once (it refused more)"},
      {"vsftpd no limit", test::MakeVsftpd, 0, "/parallel:auto:4",
       "4 sessions at once; the host refused none"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto server = c.make({.max_sessions_per_client = c.limit, .store_rate_kib = 32});
    ZUD_REQUIRE_DAEMON(*server);
    TempDir local("zud-parallel-auto");
    MakeFiles(local, 40);
    const ToolRun run = RunTool(Plus(LoginSwitches(*server, false),
                                     {"/recursive", c.ceiling, (local / "t").string() + "/"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("40 files sent; 4 folders made"));
    EXPECT_THAT(run.err, HasSubstr(c.summary + std::string("\n"))) << run.err;
    ExpectFilesArrived(local, *server, 40);
  }
}

// One session loses its connection in the middle: with /retry it logs in
// again and the run completes; without, the other sessions send the rest.
TEST(ParallelSyncTest, ALostSessionReconnectsOrLeavesTheRestToTheOthers) {
  for (const bool retry : {true, false}) {
    test::FtpServerOptions options;
    options.drop_at_store = 5;
    const auto server = MakeServer(Kind::kPyftpdlib, options);
    ZUD_REQUIRE_DAEMON(*server);
    TempDir local("zud-parallel-retry");
    MakeFiles(local, 12);
    std::vector<std::string> args = Plus(Login(*server, Kind::kPyftpdlib),
                                         {"/recursive", "/sync", "/parallel:3",
                                          (local / "t").string() + "/"});
    if (retry) args.push_back("/retry:2");
    const ToolRun run = RunTool(args);
    if (retry) {
      EXPECT_EQ(run.status, 0) << run.out << run.err;
      EXPECT_THAT(run.err, HasSubstr("reconnecting"));
      ExpectFilesArrived(local, *server, 12);
    } else {
      EXPECT_NE(run.status, 0) << run.err;
      EXPECT_THAT(run.err, HasSubstr("11 files sent, 1 failed; 4 folders made"));
    }
  }
}

TEST(ParallelSyncTest, CtrlCStopsEverySession) {
  FtpDaemonFixture& server = Server(Kind::kPyftpdlib);
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-parallel-stop");
  ASSERT_TRUE(local.Write("t/small.txt", "after the big ones\n"));
  for (const char* big : {"t/big1.bin", "t/big2.bin"}) {
    ASSERT_TRUE(local.Write(big, ""));
    fs::resize_file(local / big, uintmax_t{2} << 30);
  }
  ASSERT_TRUE(server.MakeDir("pstop"));
  TChildRun interrupt;
  interrupt.interrupt_after = "] STOR /pstop/big2.bin\r\n";
  interrupt.interrupt_delay_ms = 300;
  const auto started = std::chrono::steady_clock::now();
  const ToolRun run = RunTool(Plus(Login(server, Kind::kPyftpdlib),
                                   {"/recursive", "/sync", "/parallel:3", "/dir:/pstop",
                                    (local / "t").string() + "/"}),
                              interrupt);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
  EXPECT_EQ(run.status, 130) << run.out << run.err;
  EXPECT_THAT(run.err, HasSubstr("interrupted\n"));
  // Ctrl-C keeps what arrived: the state file records the files stored, the
  // cut ones are gone, and so is the lock.
  EXPECT_FALSE(server.Exists("pstop/big1.bin"));
  EXPECT_FALSE(server.Exists("pstop/big2.bin")) << run.out << run.err;
  EXPECT_FALSE(server.Exists("pstop/.htftpupload-sync.lock"));
  const std::string state = server.ReadFile("pstop/.htftpupload-sync").value_or("");
  EXPECT_THAT(state, testing::Not(HasSubstr("big")));
  EXPECT_EQ(state.find("\tsmall.txt\n") != std::string::npos, server.Exists("pstop/small.txt"));
  fs::remove_all(server.root() / "pstop");
}

// The state file is written every 500 files: a run stopped after that point
// leaves a state file, and the next run sends only what the first did not.
TEST(SyncStateFileTest, CheckpointSpareALongRunFromStartingOver) {
  FtpDaemonFixture& server = Server(Kind::kPyftpdlib);
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-checkpoint");
  for (int i = 0; i < 700; ++i) ASSERT_TRUE(local.Write("t/f" + std::to_string(i), "x"));
  ASSERT_TRUE(server.MakeDir("ckpt"));
  const std::vector<std::string> args = Plus(
      Login(server, Kind::kPyftpdlib), {"/recursive", "/sync", "/dir:/ckpt", (local / "t").string() + "/"});
  TChildRun interrupt;
  interrupt.interrupt_after = "RNTO /ckpt/.htftpupload-sync\r\n2";
  ToolRun run = RunTool(args, interrupt);
  EXPECT_EQ(run.status, 130) << run.err;
  const size_t first = Sent(run.out, "STOR").size();
  EXPECT_GE(first, 500u);
  EXPECT_LT(first, 700u);
  run = RunTool(args);
  EXPECT_EQ(run.status, 0) << run.err;
  // The file in flight at the interrupt may go again.
  EXPECT_LE(Sent(run.out, "STOR").size(), 700 - 500u);
  EXPECT_GE(Sent(run.out, "STOR").size() + first, 700u);
  fs::remove_all(server.root() / "ckpt");
}

// A damaged state file counts as none: the listing decides, nothing
// unchanged is sent again, and a good state file replaces it.
TEST(SyncStateFileTest, DamagedStateFileIsIgnored) {
  FtpDaemonFixture& server = Server(Kind::kVsftpd);
  ZUD_REQUIRE_DAEMON(server);
  TempDir local("zud-damaged");
  for (const char* name : {"a.txt", "sub/b.txt"}) ASSERT_TRUE(local.Write(std::string("t/") + name, name));
  ASSERT_TRUE(server.MakeDir("damaged"));
  const std::vector<std::string> args = Plus(Login(server, Kind::kVsftpd),
                                             {"/recursive", "/sync", "/dir:/damaged",
                                              (local / "t").string() + "/"});
  ASSERT_EQ(RunTool(args).status, 0);
  ASSERT_TRUE(server.WriteFile("damaged/.htftpupload-sync", "ftpupload-sync 1\nF\t1\t2\tzz\t../../etc\n"));
  const ToolRun run = RunTool(args);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("warning: ignoring the state file /damaged/.htftpupload-sync (line 2: bad SHA-256)"));
  EXPECT_THAT(Sent(run.out, "STOR"), IsEmpty()) << run.out;
  EXPECT_THAT(server.ReadFile("damaged/.htftpupload-sync").value_or(""), HasSubstr("\tsub/b.txt\n"));
}

TEST(SyncSwitchTest, NeedsWhatItWorksOn) {
  const struct {
    std::vector<std::string> switches;
    const char* message;
  } cases[] = {
      {{"/sync"}, "/sync works on folder trees: add /recursive"},
      {{"/recursive", "/delete"}, "/delete works with /sync"},
      {{"/recursive", "/dryrun"}, "/dryrun works with /sync"},
      {{"/recursive", "/checksum"}, "/checksum works with /sync"},
      {{"/recursive", "/parallel:17"}, "the number of sessions must be from 1 to 16: /parallel:17"},
      {{"/recursive", "/parallel:0"}, "the number of sessions must be from 1 to 16"},
      {{"/recursive", "/parallel:auto:17"}, "/parallel:auto takes a ceiling from 1 to 16 (auto:N): /parallel:auto:17"},
      {{"/recursive", "/parallel:Autox"}, "/parallel:auto takes a ceiling from 1 to 16 (auto:N)"},
  };
  for (const auto& c : cases) {
    const ToolRun run = RunTool(Plus({"/host:127.0.0.1"}, Plus(c.switches, {"somewhere/"})));
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_THAT(run.err, HasSubstr(c.message));
  }
}

}  // namespace
}  // namespace zud
