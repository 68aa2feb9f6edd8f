// RunDeploy as a C++ program uses it, against pyftpdlib: what the hooks see
// and what the result says of a sync, a re-sync and a dry run; failures by
// kind with their hints; a cancel. Then what hosts' servers do (ProFTPD,
// Pure-FTPd): quota files, hidden dotfiles, idle and refused sessions, slow
// logins.
#include "deploy/deploy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/ftp_daemons.h"
#include "support/temp_dir.h"

namespace zud {
namespace {

// What the hooks were handed.
struct TSeen {
  std::vector<TFileEvent> files;
  std::vector<TDeployNotice> notices;
  std::vector<TDialogueLine> dialogue;
  std::vector<TDeployStage> stages;
  std::vector<std::vector<TPlanStep>> plans;
  TDeployProgress last_progress;
  bool progress_went_back = false;
};

TDeployOptions Options(const test::FtpDaemonFixture& server, const std::string& source,
                       TSeen& seen) {
  TDeployOptions options;
  options.Host = server.host();
  options.Port = server.port();
  options.User = server.user();
  options.Password = server.password();
  options.Passive = true;
  options.TimeoutMs = 15000;
  options.RemoteDir = "/site";
  options.MakeDirs = options.Recursive = options.Sync = true;
  options.Sources = {source};
  options.OnFile = [&seen](const TFileEvent& event) { seen.files.push_back(event); };
  options.OnNotice = [&seen](const TDeployNotice& notice) { seen.notices.push_back(notice); };
  options.OnDialogue = [&seen](const TDialogueLine& line) { seen.dialogue.push_back(line); };
  options.OnStage = [&seen](TDeployStage stage) { seen.stages.push_back(stage); };
  options.OnPlan = [&seen](const std::vector<TPlanStep>& steps) { seen.plans.push_back(steps); };
  options.OnProgress = [&seen](const TDeployProgress& progress) {
    if (progress.bytes_done < seen.last_progress.bytes_done) seen.progress_went_back = true;
    seen.last_progress = progress;
  };
  return options;
}

std::vector<std::string> Paths(const std::vector<TFileEvent>& events, TFileOutcome outcome) {
  std::vector<std::string> paths;
  for (const TFileEvent& event : events) {
    if (event.outcome == outcome) paths.push_back(event.path);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(RunDeployTest, ASyncReportsEveryFileAndAReSyncFindsThemUnchanged) {
  test::PyftpdlibServer server;
  ZUD_REQUIRE_DAEMON(server);
  test::TempDir local;
  ASSERT_TRUE(local.Write("www/index.html", "hello") && local.Write("www/css/a.css", "body{}"));
  const std::string source = (local / "www").string() + "/";
  const std::vector<std::string> both = {"/site/css/a.css", "/site/index.html"};

  TSeen seen;
  const TDeployResult first = RunDeploy(Options(server, source, seen));
  EXPECT_EQ(first.failure, TDeployFailure::kNone);
  EXPECT_EQ(first.counts.stored, 2u);
  EXPECT_EQ(first.counts.bytes, 11);
  EXPECT_EQ(first.counts.folders_made, 2u);  // /site and /site/css
  EXPECT_EQ(Paths(first.files, TFileOutcome::kStored), both);
  EXPECT_EQ(Paths(seen.files, TFileOutcome::kStored), both);
  EXPECT_EQ(server.ReadFile("site/css/a.css").value_or(""), "body{}");
  EXPECT_EQ(seen.stages, (std::vector<TDeployStage>{TDeployStage::kLocal, TDeployStage::kRemote,
                                                    TDeployStage::kTransfer,
                                                    TDeployStage::kCleanUp, TDeployStage::kEnd}));
  EXPECT_FALSE(seen.progress_went_back);
  EXPECT_EQ(seen.last_progress.bytes_done, 11);
  EXPECT_EQ(seen.last_progress.bytes_total, 11);
  EXPECT_EQ(seen.last_progress.files_total, 2u);
  const auto pass = std::find_if(seen.dialogue.begin(), seen.dialogue.end(),
                                 [](const TDialogueLine& l) { return l.text.starts_with("PASS"); });
  ASSERT_NE(pass, seen.dialogue.end());
  EXPECT_EQ(pass->text, "PASS **********");
  EXPECT_EQ(pass->session, 0);

  TSeen again;
  const TDeployResult second = RunDeploy(Options(server, source, again));
  EXPECT_EQ(second.failure, TDeployFailure::kNone);
  EXPECT_EQ(second.counts.stored, 0u);
  EXPECT_EQ(second.counts.unchanged, 2u);
  EXPECT_EQ(Paths(second.files, TFileOutcome::kUnchanged), both);
  EXPECT_TRUE(Paths(again.files, TFileOutcome::kStored).empty());
}

TEST(RunDeployTest, ADryRunHandsOverThePlanAndChangesNothing) {
  test::PyftpdlibServer server;
  ZUD_REQUIRE_DAEMON(server);
  ASSERT_TRUE(server.WriteFile("site/old.txt", "old"));
  test::TempDir local;
  ASSERT_TRUE(local.Write("www/new.txt", "new"));
  // Kept on both sides: not every remote file goes, so the deletes stand.
  ASSERT_TRUE(local.Write("www/kept.txt", "kept"));
  ASSERT_TRUE(server.WriteFile("site/kept.txt", "kept"));
  TSeen seen;
  TDeployOptions options = Options(server, (local / "www").string() + "/", seen);
  options.DryRun = options.Delete = true;
  const TDeployResult result = RunDeploy(options);
  EXPECT_EQ(result.failure, TDeployFailure::kNone);
  ASSERT_TRUE(result.plan_complete);
  ASSERT_EQ(seen.plans.size(), 1u);
  ASSERT_EQ(result.plan.size(), 2u);
  EXPECT_EQ(result.plan[0].action, TPlanAction::kSend);
  EXPECT_EQ(result.plan[0].path, "/site/new.txt");
  EXPECT_EQ(result.plan[0].reason, TSendReason::kNew);
  EXPECT_EQ(result.plan[0].bytes, 3);
  EXPECT_EQ(result.plan[1].action, TPlanAction::kDelete);
  EXPECT_EQ(result.plan[1].path, "/site/old.txt");
  EXPECT_FALSE(server.Exists("site/new.txt"));
  EXPECT_TRUE(server.Exists("site/old.txt"));
}

TEST(RunDeployTest, FailuresComeAsKindsWithTheirHints) {
  test::PyftpdlibServer server;
  ZUD_REQUIRE_DAEMON(server);
  test::TempDir local;
  ASSERT_TRUE(local.Write("www/a.txt", "a"));
  struct Case {
    const char* name;
    std::string source;
    bool recursive;
    std::string password;
    TDeployFailure failure;
    TDeployHint hint;  // of the failed source; kNone for a login failure
  } cases[] = {
      {"LoginRefused", (local / "www").string(), true, "wrong", TDeployFailure::kLoginRefused,
       TDeployHint::kNone},
      {"FolderWithoutRecursive", (local / "www").string(), false, server.password(),
       TDeployFailure::kLocalFile, TDeployHint::kFolderSource},
      {"NoSource", "", true, server.password(), TDeployFailure::kLocalFile,
       TDeployHint::kNoSource},
  };
  for (const Case& c : cases) {
    TSeen seen;
    TDeployOptions options = Options(server, c.source, seen);
    options.Recursive = c.recursive;
    options.Password = c.password;
    const TDeployResult result = RunDeploy(options);
    EXPECT_EQ(result.failure, c.failure) << c.name;
    if (c.hint == TDeployHint::kNone) {
      EXPECT_EQ(result.counts.failed, 0u) << c.name;  // a login is no file
      ASSERT_FALSE(seen.notices.empty()) << c.name;
      EXPECT_EQ(seen.notices.back().failure, c.failure) << c.name;
    } else {
      ASSERT_EQ(seen.files.size(), 1u) << c.name;
      EXPECT_EQ(seen.files[0].outcome, TFileOutcome::kFailed) << c.name;
      EXPECT_EQ(seen.files[0].hint, c.hint) << c.name;
      EXPECT_FALSE(seen.files[0].message.empty()) << c.name;
    }
  }
}

TEST(RunDeployTest, ACancelEndsTheRunAndTheRestIsNotSent) {
  test::PyftpdlibServer server;
  ZUD_REQUIRE_DAEMON(server);
  test::TempDir local;
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) ASSERT_TRUE(local.Write(name, name));
  TSeen seen;
  TDeployOptions options = Options(server, (local / "a.txt").string(), seen);
  options.Sources = {(local / "a.txt").string(), (local / "b.txt").string(),
                     (local / "c.txt").string()};
  options.Sync = false;
  std::atomic<bool> cancel{false};
  options.Cancel = &cancel;
  options.OnFile = [&cancel](const TFileEvent& event) {
    if (event.outcome == TFileOutcome::kStored) cancel = true;
  };
  const TDeployResult result = RunDeploy(options);
  EXPECT_EQ(result.failure, TDeployFailure::kInterrupted);
  EXPECT_EQ(result.counts.stored, 1u);
  EXPECT_EQ(result.counts.not_sent, 2u);
  EXPECT_EQ(Paths(result.files, TFileOutcome::kNotSent),
            (std::vector<std::string>{"/site/b.txt", "/site/c.txt"}));
  ASSERT_FALSE(seen.notices.empty());
  EXPECT_EQ(seen.notices.back().kind, TNoticeKind::kInterrupted);
  EXPECT_FALSE(server.Exists("site/b.txt"));
}

// ---- What hosts' servers do ----------------------------------------------------------

// A habit of a host's server, met by a sync with Delete into the server's
// root: what the server and the local tree hold first, how the run differs,
// and what must hold after two runs (the second one with nothing changed).
struct HabitCase {
  const char* name;
  test::FtpDaemonFactory make;
  test::FtpServerOptions server;
  int parallel;
  // Files below the server's root before the first run, and local files.
  std::vector<std::pair<std::string, std::string>> remote, local;
  std::function<void(TDeployOptions&)> adjust;
  std::function<void(const test::FtpDaemonFixture&, const TSeen& first, const TSeen& second,
                     const TDeployResult& again)>
      check;
};

void PrintTo(const HabitCase& c, std::ostream* os) { *os << c.name; }

bool Noticed(const TSeen& seen, const std::string& text) {
  return std::any_of(seen.notices.begin(), seen.notices.end(),
                     [&text](const TDeployNotice& n) { return n.text.find(text) != std::string::npos; });
}

// The notices and failures of a run, a line each.
std::string Story(const TSeen& seen) {
  std::string story;
  for (const TDeployNotice& notice : seen.notices) story += notice.text + "\n";
  for (const TFileEvent& event : seen.files) {
    if (event.outcome == TFileOutcome::kFailed) story += event.message + "\n";
  }
  return story;
}

class HostHabitTest : public testing::TestWithParam<HabitCase> {};

TEST_P(HostHabitTest, TwoRunsEndWellAndTheSecondChangesNothing) {
  const HabitCase& c = GetParam();
  const auto server = c.make(c.server);
  ZUD_REQUIRE_DAEMON(*server);
  for (const auto& [path, content] : c.remote) ASSERT_TRUE(server->WriteFile(path, content));
  test::TempDir local;
  for (const auto& [path, content] : c.local) ASSERT_TRUE(local.Write("www/" + path, content));
  TSeen first, second;
  TDeployResult results[2];
  for (TSeen* seen : {&first, &second}) {
    TDeployOptions options = Options(*server, (local / "www").string() + "/", *seen);
    options.RemoteDir = server->remote_root();
    options.Delete = true;
    options.Parallel = c.parallel;
    if (c.adjust) c.adjust(options);
    results[seen == &second] = RunDeploy(options);
    EXPECT_EQ(results[seen == &second].failure, TDeployFailure::kNone)
        << (seen == &first ? "first run:\n" : "second run:\n") << Story(*seen);
  }
  for (const auto& [path, content] : c.local) {
    if (path == ".ftpquota") continue;
    EXPECT_EQ(server->ReadFile(path), content) << path;
  }
  EXPECT_EQ(results[1].counts.stored, 0u);
  EXPECT_EQ(results[1].counts.deleted, 0u);
  c.check(*server, first, second, results[1]);
}

const std::vector<std::pair<std::string, std::string>> kSite = {
    {"index.html", "home"}, {".htaccess", "Deny from all"}, {"css/a.css", "body{}"}};

// Enough files that every session asked for tries to log in.
std::vector<std::pair<std::string, std::string>> ManyFiles() {
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 40; ++i) files.emplace_back("d/f" + std::to_string(i), std::string(i, 'x'));
  return files;
}

const HabitCase kHabits[] = {
    // cPanel's quota file is the server's: never sent, never deleted.
    {"PureFtpdQuotaFile", test::MakePureFtpd, {.quota = true}, 1, {}, {{".ftpquota", "mine"},
      {"index.html", "home"}}, nullptr,
     [](const auto& server, const TSeen& first, const TSeen&, const TDeployResult&) {
       EXPECT_TRUE(server.Exists(".ftpquota"));
       EXPECT_NE(server.ReadFile(".ftpquota"), "mine");
       EXPECT_EQ(Paths(first.files, TFileOutcome::kSkipped).size(), 1u);
     }},
    // LIST hides dotfiles whatever the client asks: the tool looks for its
    // own, and leaves alone what it cannot see.
    {"ProftpdHidesDotfiles", test::MakeProftpd,
     {.mlsd = false, .list_hides_dotfiles = true, .list_ignores_client_options = true}, 1,
     {{".secret", "not ours"}}, kSite, nullptr,
     [](const auto& server, const TSeen&, const TSeen&, const TDeployResult&) {
       EXPECT_TRUE(server.Exists(".secret"));
     }},
    // Idle sessions closed by the server (TimeoutNoTransfer) while the first
    // one is held up are opened again; the run goes on.
    {"ProftpdClosesIdleSessions", test::MakeProftpd, {.no_transfer_timeout_s = 1}, 3, {}, kSite,
     [](TDeployOptions& options) {
       // The first run only: the second one must be quick and quiet.
       static bool held = false;
       if (std::exchange(held, true)) return;
       const auto shown = options.OnStage;
       options.OnStage = [shown](TDeployStage stage) {
         if (stage == TDeployStage::kTransfer) std::this_thread::sleep_for(std::chrono::seconds(2));
         shown(stage);
       };
     },
     [](const auto&, const TSeen& first, const TSeen&, const TDeployResult&) {
       EXPECT_TRUE(Noticed(first, "closed the connection while it waited"));
     }},
    // Sessions beyond the server's limit per address are refused: the run
    // goes on with those it has.
    {"PureFtpdLimitsSessions", test::MakePureFtpd, {.max_sessions_per_client = 2}, 4, {},
     ManyFiles(), nullptr,
     [](const auto&, const TSeen& first, const TSeen&, const TDeployResult&) {
       EXPECT_TRUE(Noticed(first, "Too many connections"));
     }},
    {"ProftpdLimitsSessions", test::MakeProftpd, {.max_sessions_per_client = 2}, 4, {},
     ManyFiles(), nullptr,
     [](const auto&, const TSeen& first, const TSeen&, const TDeployResult&) {
       EXPECT_TRUE(Noticed(first, "refused session"));
     }},
};

INSTANTIATE_TEST_SUITE_P(Hosts, HostHabitTest, testing::ValuesIn(kHabits),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zud
