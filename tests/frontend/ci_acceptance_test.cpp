// Deploys from CI with the built executable against vsftpd, pyftpdlib,
// ProFTPD and Pure-FTPd: a fresh checkout sends nothing, a full disk stops
// the run early, a second run stops on the lock, deletes are guarded, the
// JSON report holds what happened, and bad input changes nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frontend/tool_run.h"
#include "support/ftp_daemons.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

namespace zud {
namespace {

namespace fs = std::filesystem;
using test::FtpDaemonFixture;
using test::TempDir;
using testing::HasSubstr;
using testing::Not;
using testing_support::Plus;
using testing_support::RunTool;
using testing_support::ToolRun;

struct ServerKind {
  const char* name;
  test::FtpDaemonFactory make;
};

void PrintTo(const ServerKind& kind, std::ostream* os) { *os << kind.name; }

const ServerKind kServers[] = {{"Vsftpd", test::MakeVsftpd},
                               {"Pyftpdlib", test::MakePyftpdlib},
                               {"Proftpd", test::MakeProftpd},
                               {"PureFtpd", test::MakePureFtpd}};

FtpDaemonFixture& Server(const ServerKind& kind) {
  static std::map<std::string, std::unique_ptr<FtpDaemonFixture>> servers;
  auto& slot = servers[kind.name];
  if (!slot) slot = kind.make({});
  return *slot;
}

std::vector<std::string> Sync(const FtpDaemonFixture& server, const std::string& dir) {
  return {std::string("/host:") + server.host(), "/port:" + std::to_string(server.port()),
          "/user:" + server.user(), "/pass:" + server.password(), "/pasv", "/quiet",
          "/recursive", "/sync", "/dir:" + server.remote_root() + dir};
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The site: count files in three folders, old times, none empty.
void MakeSite(const TempDir& local, const std::string& name, int count, size_t size = 100) {
  for (int i = 0; i < count; ++i) {
    const std::string path = name + "/d" + std::to_string(i % 3) + "/f" + std::to_string(i);
    ASSERT_TRUE(local.Write(path, std::string(size, static_cast<char>('a' + i % 26))));
    fs::last_write_time(local / path, fs::file_time_type::clock::now() - std::chrono::hours(30));
  }
}

// Every file below root, with its content, the sync's own files aside.
std::map<std::string, std::string> Files(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).string();
    if (!entry.is_regular_file() || relative.find(".htftpupload-sync") != std::string::npos) {
      continue;
    }
    files[relative] = test::ReadFileBytes(entry.path()).value_or("?");
  }
  return files;
}

class CiDeployTest : public testing::TestWithParam<ServerKind> {};

// A fresh checkout (new times, the same bytes) sends nothing; the one
// changed file among them (same size) is found by its content.
TEST_P(CiDeployTest, AFreshCheckoutSendsOnlyWhatChanged) {
  FtpDaemonFixture& server = Server(GetParam());
  ZUD_REQUIRE_DAEMON(server);
  ASSERT_TRUE(server.MakeDir("fresh"));
  TempDir local("zud-ci-fresh");
  MakeSite(local, "site", 30);
  const auto run = [&](const std::string& tree) {
    return RunTool(Plus(Sync(server, "fresh"),
                        {"/report:" + (local / "r.json").string(), (local / tree).string() + "/"}));
  };
  ToolRun first = run("site");
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(Count(local.Read("r.json").value_or(""), "\"outcome\": \"sent\""), 30u);

  fs::copy(local / "site", local / "checkout", fs::copy_options::recursive);
  const ToolRun fresh = run("checkout");
  EXPECT_EQ(fresh.status, 0) << fresh.err;
  EXPECT_THAT(local.Read("r.json").value_or(""), HasSubstr("\"sent\": 0, \"unchanged\": 30"));

  fs::copy(local / "site", local / "next", fs::copy_options::recursive);
  ASSERT_TRUE(local.Write("next/d1/f7", std::string(100, 'X')));
  const ToolRun next = run("next");
  EXPECT_EQ(next.status, 0) << next.err;
  const std::string report = local.Read("r.json").value_or("");
  EXPECT_EQ(Count(report, "\"outcome\": \"sent\""), 1u) << report;
  EXPECT_THAT(report, HasSubstr("\"reason\": \"content\""));
  EXPECT_EQ(server.ReadFile("fresh/d1/f7"), std::string(100, 'X'));
  EXPECT_FALSE(server.Exists("fresh/.htftpupload-sync.lock"));
}

// A small tmpfs as the server's folder: the run stops after a few refusals
// for want of space, says how many files it did not try, and leaves no
// empty or partial file behind.
TEST_P(CiDeployTest, AFullDiskStopsTheRunEarly) {
  FtpDaemonFixture& server = Server(GetParam());
  ZUD_REQUIRE_DAEMON(server);
  const fs::path full = server.root() / ("full" + std::string(GetParam().name));
  fs::create_directories(full);
  if (std::system(("mount -t tmpfs -o size=2m,mode=0777 tmpfs " + full.string()).c_str()) != 0) {
    if (test::DaemonsRequired()) FAIL() << "cannot mount a tmpfs (root is needed)";
    GTEST_SKIP() << "cannot mount a tmpfs (root is needed)";
  }
  struct Unmount {
    fs::path path;
    ~Unmount() { std::system(("umount " + path.string()).c_str()); }
  } unmount{full};
  TempDir local("zud-ci-full");
  MakeSite(local, "site", 60, 100 * 1024);  // 6 MB for 2
  const ToolRun run = RunTool(Plus(Sync(server, full.filename().string()),
                                   {"/report:" + (local / "r.json").string(),
                                    (local / "site").string() + "/"}));
  EXPECT_NE(run.status, 0);
  // Refusals of space stop the sends after three; a server that answers
  // with a broken data connection (pyftpdlib's 426) stops the run at once.
  const std::string report = local.Read("r.json").value_or("");
  if (Count(report, "426 ") == 0) {
    EXPECT_THAT(run.err, HasSubstr("stopped sending: the server could not write 3 files in a row ("));
    EXPECT_THAT(run.err, testing::ContainsRegex("; [1-9][0-9] files were not tried"));
  }
  EXPECT_LE(Count(report, "\"outcome\": \"failed\""), 3u + Count(report, "state file")) << report;
  EXPECT_THAT(report, testing::ContainsRegex("\"not_sent\": [3-5][0-9],"));
  for (const auto& [path, content] : Files(full)) {
    EXPECT_TRUE(content == local.Read("site/" + path))
        << path << " is left incomplete: " << content.size() << " bytes";
  }
  EXPECT_FALSE(fs::exists(full / ".htftpupload-sync.lock")) << run.err;
}

// Two runs at once: the second stops on the lock with its own status and
// names the holder; a dry run takes no lock; the first goes on undisturbed.
TEST(CiLockTest, ASecondRunStopsOnTheLock) {
  test::FtpServerOptions options;
  options.store_rate_kib = 256;  // the first run takes about two seconds
  const auto server = test::MakeProftpd(options);
  ZUD_REQUIRE_DAEMON(*server);
  TempDir local("zud-ci-lock");
  ASSERT_TRUE(local.Write("a/big.bin", std::string(512 * 1024, 'b')));
  ASSERT_TRUE(local.Write("b/other.txt", "the second run's"));
  ASSERT_TRUE(server->MakeDir("locked"));
  ToolRun first;
  std::thread holder([&] {
    first = RunTool(Plus(Sync(*server, "locked"), {(local / "a").string() + "/"}));
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server->Exists("locked/.htftpupload-sync.lock/.htowner") &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const ToolRun second = RunTool(Plus(Sync(*server, "locked"), {(local / "b").string() + "/"}));
  const ToolRun preview =
      RunTool(Plus(Sync(*server, "locked"), {"/dryrun", (local / "b").string() + "/"}));
  holder.join();
  EXPECT_EQ(second.status, 10) << second.err;
  EXPECT_THAT(second.err, HasSubstr("another deploy holds the lock " + server->remote_root() +
                                    "locked/.htftpupload-sync.lock: "));
  EXPECT_THAT(second.err, HasSubstr("(process "));
  EXPECT_THAT(second.err, HasSubstr("add /force"));
  EXPECT_EQ(preview.status, 0) << preview.err;
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_FALSE(server->Exists("locked/other.txt"));
  EXPECT_TRUE(server->Exists("locked/big.bin"));
  EXPECT_FALSE(server->Exists("locked/.htftpupload-sync.lock"));
}

// /delete never makes things worse: an empty local tree deletes nothing,
// /maxdelete stops a run that would delete more, a failed send holds every
// delete back.
TEST_P(CiDeployTest, DeletesAreGuarded) {
  FtpDaemonFixture& server = Server(GetParam());
  ZUD_REQUIRE_DAEMON(server);
  const std::string dir = std::string("guard") + GetParam().name;
  ASSERT_TRUE(server.MakeDir(dir));
  TempDir local("zud-ci-guard");
  MakeSite(local, "site", 12);
  ASSERT_TRUE(fs::create_directory(local / "empty"));
  const auto run = [&](const std::vector<std::string>& more) {
    return RunTool(Plus(Plus(Sync(server, dir), {"/delete"}), more));
  };
  ASSERT_EQ(run({(local / "site").string() + "/"}).status, 0);
  const auto before = Files(server.root() / dir);

  ToolRun empty = run({(local / "empty").string() + "/"});
  EXPECT_EQ(empty.status, 11) << empty.err;
  EXPECT_THAT(empty.err, HasSubstr("nothing was deleted: the local side of"));
  EXPECT_EQ(Files(server.root() / dir), before);

  for (int i = 0; i < 3; ++i) fs::remove(local / "site" / ("d" + std::to_string(i)) / ("f" + std::to_string(i)));
  ToolRun limited = run({"/maxdelete:2", (local / "site").string() + "/"});
  EXPECT_EQ(limited.status, 11) << limited.err;
  EXPECT_THAT(limited.err, HasSubstr("the run would delete 3 files and folders, more than 2"));
  EXPECT_EQ(Files(server.root() / dir), before);

  // A file the server refuses (a folder where it goes) fails its send.
  ASSERT_TRUE(server.MakeDir(dir + "/d0/blocked"));
  ASSERT_TRUE(local.Write("site/d0/blocked", "a file where the server has a folder"));
  ToolRun failed = run({"/maxdelete:3", (local / "site").string() + "/"});
  EXPECT_NE(failed.status, 0);
  EXPECT_THAT(failed.err, HasSubstr("3 deletes held back"));
  EXPECT_EQ(Files(server.root() / dir), before);

  fs::remove(local / "site/d0/blocked");
  fs::remove(server.root() / dir / "d0/blocked");
  ToolRun allowed = run({"/maxdelete:3", (local / "site").string() + "/"});
  EXPECT_EQ(allowed.status, 0) << allowed.err;
  EXPECT_EQ(Files(server.root() / dir).size(), before.size() - 3);
}

INSTANTIATE_TEST_SUITE_P(RealServers, CiDeployTest, testing::ValuesIn(kServers),
                         [](const auto& info) { return std::string(info.param.name); });

// The report, read with python3's json module: its fields and their types,
// a failure with its reply, deletes, and a dry run's plan on standard output.
TEST(CiReportTest, TheReportIsValidJson) {
  test::FtpServerOptions options;
  options.read_only_dir = true;
  const auto server = test::MakePyftpdlib(options);
  ZUD_REQUIRE_DAEMON(*server);
  TempDir local("zud-ci-report");
  MakeSite(local, "site", 4);
  ASSERT_TRUE(local.Write("site/readonly/refused.txt", "the server refuses this one"));
  ASSERT_TRUE(local.Write("site/na\xc3\xafve \"q\".txt", "a name JSON must escape"));
  ASSERT_TRUE(server->WriteFile("gone.txt", "deleted"));
  ASSERT_TRUE(server->WriteFile("kept.txt", "kept"));
  ASSERT_TRUE(local.Write("site/kept.txt", "kept"));
  const std::vector<std::string> args = Plus(Sync(*server, ""), {"/delete", (local / "site").string() + "/"});
  const ToolRun preview = RunTool(Plus(args, {"/dryrun", "/report:-"}));
  ASSERT_TRUE(local.Write("preview.json", preview.out));
  const ToolRun run = RunTool(Plus(args, {"/report:" + (local / "run.json").string()}));
  EXPECT_NE(run.status, 0);
  const std::string check = R"(
import json, sys
for path, dry in ((sys.argv[1], True), (sys.argv[2], False)):
    r = json.load(open(path, encoding="utf-8"))
    assert r["format"] == "ftpupload-report" and r["version"] == 1, r
    assert r["dry_run"] is dry and r["mode"] == "sync"
    assert isinstance(r["elapsed_ms"], int) and r["started"].endswith("Z")
    assert set(r["counts"]) == {"sent", "unchanged", "deleted", "failed", "not_sent",
                                "folders_made", "bytes", "deletes_held_back"}
    assert all(isinstance(v, int) for v in r["counts"].values())
    for f in r["files"]:
        assert f["outcome"] in ("sent", "already-complete", "skipped", "failed", "not-sent",
                                "deleted", "folder-made"), f
    if dry:
        assert r["exit_status"] == 0 and r["files"] == [], r
        steps = {(s["action"], s["path"]) for s in r["plan"]}
        assert ("delete", "/gone.txt") in steps and ("send", "/readonly/refused.txt") in steps
        assert ("send", '/na\u00efve "q".txt') in steps, steps
    else:
        assert r["exit_status"] == 7 and r["failure"] == "refused", r
        failed = [f for f in r["files"] if f["outcome"] == "failed"]
        assert [f["path"] for f in failed] == ["/readonly/refused.txt"], failed
        assert failed[0]["reply"].startswith("550"), failed
        assert r["counts"]["sent"] == 5 and r["counts"]["deletes_held_back"] == 1, r
        assert r["deletes_held_back"] == "send-failed"
        assert all(f["reason"] == "new" for f in r["files"] if f["outcome"] == "sent"), r
        assert any(n["kind"] == "warning" for n in r["notices"]), r["notices"]
)";
  ASSERT_TRUE(local.Write("check.py", check));
  const std::string command = "/usr/bin/python3 " + (local / "check.py").string() + " " +
                              (local / "preview.json").string() + " " +
                              (local / "run.json").string();
  EXPECT_EQ(std::system(command.c_str()), 0)
      << preview.out << local.Read("run.json").value_or("(no report)") << run.err;
}

// Bad input: a clear line, a status, nothing changed on the server.
TEST(CiBadInputTest, StopsWithALineAndChangesNothing) {
  const auto server = test::MakePyftpdlib({});
  ZUD_REQUIRE_DAEMON(*server);
  TempDir local("zud-ci-bad");
  MakeSite(local, "a", 2);
  MakeSite(local, "b", 2);
  ASSERT_TRUE(server->MakeDir("keep"));
  ASSERT_EQ(RunTool(Plus(Sync(*server, "one"), {"/mkdir", "/statefile:/keep/state",
                                                (local / "a").string() + "/"}))
                .status,
            0);
  ASSERT_TRUE(server->MakeDir("lockdir/.htftpupload-sync.lock"));
  ASSERT_TRUE(server->WriteFile("lockdir/.htftpupload-sync.lock/.htowner", "not a record\n"));
  const auto before = Files(server->root());
  const struct {
    std::vector<std::string> args;
    int status;
    const char* line;
  } cases[] = {
      {Plus(Sync(*server, "two"), {"/mkdir", "/statefile:/keep/state", (local / "b").string() + "/"}),
       11, "the state file /keep/state belongs to /one/, not to /two/"},
      {Plus(Sync(*server, "two"), {"/mkdir", "/statefile:/missing/state", (local / "b").string() + "/"}),
       7, "cannot take the deploy lock /missing/state.lock: 5"},
      {Plus(Sync(*server, "lockdir"), {(local / "b").string() + "/"}), 10,
       "its record /lockdir/.htftpupload-sync.lock/.htowner cannot be read (not a lock record)"},
      {Plus(Sync(*server, "two"), {"/chmod:64", (local / "b").string() + "/"}), 2,
       "/chmod takes octal modes"},
      {Plus(Sync(*server, "two"), {"/delete", "/maxdelete:-1", (local / "b").string() + "/"}), 2,
       "the delete limit must be a number"},
      {Plus(Sync(*server, "two"), {"/statefile:/x", (local / "a").string() + "/",
                                   (local / "b").string() + "/"}),
       2, "one /statefile keeps the state of one folder"},
  };
  for (const auto& c : cases) {
    const ToolRun run = RunTool(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_THAT(run.err, HasSubstr(c.line));
    EXPECT_EQ(Files(server->root()), before) << c.line;
  }
  EXPECT_FALSE(server->Exists("two"));
}

// /chmod sets the modes asked for; a server that refuses SITE CHMOD gets
// one warning and the run goes on; a dry run into a missing folder plans
// every folder it would make.
TEST(CiModesTest, ChmodAndAPreviewOfAFirstDeploy) {
  const auto server = test::MakeVsftpd({});
  ZUD_REQUIRE_DAEMON(*server);
  TempDir local("zud-ci-modes");
  MakeSite(local, "site", 3);
  const std::string site = (local / "site").string() + "/";
  const ToolRun preview = RunTool(Plus(Sync(*server, "new/deep"), {"/mkdir", "/dryrun", site}));
  EXPECT_EQ(preview.status, 0) << preview.err;
  std::string plan = preview.out;
  std::erase(plan, '\r');
  EXPECT_THAT(plan, testing::StartsWith("mkdir /new\nmkdir /new/deep\nmkdir /new/deep/d0\n"));
  EXPECT_EQ(Count(preview.out, "send new "), 3u);
  EXPECT_FALSE(server->Exists("new"));

  const ToolRun run = RunTool(Plus(Sync(*server, "new/deep"), {"/mkdir", "/chmod:604,705", site}));
  EXPECT_EQ(run.status, 0) << run.err;
  struct stat st {};
  ASSERT_EQ(stat((server->root() / "new/deep/d1/f1").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  ASSERT_EQ(stat((server->root() / "new/deep/d1").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0705u);

  test::ScriptedFtpServer scripted;  // answers SITE with 502
  ASSERT_TRUE(scripted.ok());
  const ToolRun refused = RunTool({"/host:127.0.0.1", "/port:" + std::to_string(scripted.port()),
                                   "/user:u", "/pass:p", "/pasv", "/quiet", "/recursive",
                                   "/chmod:644", site});
  EXPECT_EQ(refused.status, 0) << refused.err;
  EXPECT_EQ(Count(refused.err, "warning: the server refused SITE CHMOD (502"), 1u) << refused.err;
  EXPECT_EQ(Count(testing::PrintToString(scripted.Commands()), "SITE CHMOD"), 1u);
  EXPECT_EQ(scripted.File("/d2/f2"), std::string(100, 'c'));
}

// A state file under the name earlier versions gave it is read, and
// replaced by one under the new name.
TEST(CiStateFileTest, TheOldNameIsReadAndReplaced) {
  const auto server = test::MakePyftpdlib({});
  ZUD_REQUIRE_DAEMON(*server);
  TempDir local("zud-ci-old");
  MakeSite(local, "site", 5);
  ASSERT_TRUE(server->MakeDir("old"));
  const std::vector<std::string> args = Plus(Sync(*server, "old"), {(local / "site").string() + "/"});
  ASSERT_EQ(RunTool(args).status, 0);
  std::string state = server->ReadFile("old/.htftpupload-sync").value_or("");
  state.replace(0, state.find("\nD"), "ftpupload-sync 1");  // as version 1 wrote it
  ASSERT_TRUE(server->WriteFile("old/.ftpupload-sync", state));
  fs::remove(server->root() / "old/.htftpupload-sync");
  const ToolRun run = RunTool(Plus(args, {"/report:-"}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("\"sent\": 0, \"unchanged\": 5"));
  EXPECT_FALSE(server->Exists("old/.ftpupload-sync"));
  EXPECT_THAT(server->ReadFile("old/.htftpupload-sync").value_or(""),
              testing::StartsWith("ftpupload-sync 2\nR\t/old/\n"));
}

}  // namespace
}  // namespace zud
