// The sync's state file reader and its planner: local tree + listing + state
// file -> the steps of a run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "deploy/syncplan.h"
#include "deploy/syncstate.h"
#include "util/sha256.h"

namespace zud {
namespace {

using testing::ElementsAreArray;

const std::string kHash(64, 'a');
const std::string kOtherHash(64, 'b');

TEST(SyncStateTest, ReadsWhatItWritesAndRejectsAnythingElse) {
  TSyncState state;
  state.root = "/htdocs/";
  state.folders = {"css", "css/deep"};
  state.files["css/site.css"] = {12, 1700000000, kHash};
  state.files["with space\tand tab.txt"] = {0, -5, kOtherHash};
  const std::string text = FormatSyncState(state);
  EXPECT_EQ(ParseSyncState(text), state);
  // Version 1, without a root, is read too.
  EXPECT_EQ(ParseSyncState("ftpupload-sync 1\r\nD\tx\r\n")->folders.count("x"), 1u);

  const std::string head = "ftpupload-sync 2\n";
  const std::string sha = "\t" + kHash + "\t";
  const struct {
    std::string text;
    const char* why;
  } bad[] = {
      {"", "empty"},
      {"ftpupload-sync 3\n", "version"},
      {"ftpupload-sync 1\nR\t/x/\n", "root in version 1"},
      {head + "R\t/x/\nR\t/y/\n", "two roots"},
      {head + "F\t1\t2" + sha + "a", "cut short"},
      {head + "F\t-1\t2" + sha + "a\n", "negative size"},
      {head + "F\t1234567890123456789\t2" + sha + "a\n", "19 digits"},
      {head + "F\t1\tx" + sha + "a\n", "time"},
      {head + "F\t1\t2\t" + std::string(63, 'a') + "\ta\n", "short digest"},
      {head + "F\t1\t2\t" + std::string(64, 'g') + "\ta\n", "not hex"},
      {head + "F\t1\t2" + sha + "../x\n", "climbs out"},
      {head + "F\t1\t2" + sha + "/etc/passwd\n", "absolute"},
      {head + "F\t1\t2" + sha + "a//b\n", "empty name"},
      {head + "F\t1\t2" + sha + "a/./b\n", "dot"},
      {head + "F\t1\t2" + sha + "a\nF\t1\t2" + sha + "a\n", "repeated"},
      {head + "D\t..\n", "folder climbs out"},
      {head + "X\ta\n", "kind"},
      {head + "F\t1\t2\n", "few fields"},
      {head + std::string("F\t1\t2") + sha + std::string("a\0b\n", 4), "NUL"},
  };
  for (const auto& c : bad) {
    std::string error;
    EXPECT_FALSE(ParseSyncState(c.text, &error)) << c.why;
    EXPECT_FALSE(error.empty()) << c.why;
  }
}

// A large state read in pieces cut anywhere, and written in small pieces
// while it changes: the same state, the same errors, as a whole text gives.
TEST(SyncStateTest, StreamsInPiecesOfAnySize) {
  TSyncState state;
  state.root = "/htdocs/";
  for (int i = 0; i < 20000; ++i) {
    const std::string folder = "f" + std::to_string(i % 97);
    state.folders.insert(folder);
    state.files[folder + "/n\xc3\xa9 " + std::to_string(i)] = {i, 1700000000 - i, kHash};
  }
  const std::string text = FormatSyncState(state);
  EXPECT_EQ(DigestOfSyncState(state), Sha256Hex(text));
  for (const size_t piece : {size_t{1}, size_t{7}, size_t{4096}}) {
    std::string pieces;
    TSyncStateFormatter formatter(state);
    while (formatter.Next(pieces, piece)) {
    }
    EXPECT_EQ(pieces, text) << piece;
  }
  const std::string head = "ftpupload-sync 2\n";
  for (const std::string& input :
       {text, head + "D\ta\nF\t1\t2\t" + kHash + "\ta\nD\t..\n", text.substr(0, text.size() - 3),
        text + text.substr(text.find("F\t"))}) {
    std::string whole_error;
    const std::optional<TSyncState> whole = ParseSyncState(input, &whole_error);
    for (const size_t piece : {size_t{1}, size_t{3}, size_t{65536}}) {
      if (piece == 1 && input.size() > 5000) continue;  // a byte at a time: short texts only
      TSyncStateReader reader;
      for (size_t at = 0; at < input.size(); at += piece) reader.Add(input.substr(at, piece));
      std::string error;
      EXPECT_EQ(reader.Finish(&error), whole) << piece;
      EXPECT_EQ(error, whole_error) << piece;
    }
  }
  EXPECT_TRUE(ParseSyncState(text));
  // A record added and one removed between pieces: every line is whole,
  // each as the state stood when it was given.
  TSyncState live;
  live.files = {{"a", {1, 1, kHash}}, {"b", {2, 2, kHash}}, {"d", {4, 4, kHash}}};
  TSyncStateFormatter formatter(live);
  std::string out;
  while (out.find("F\t") == std::string::npos) formatter.Next(out, 1);
  live.files.erase("a");
  live.files["c"] = {3, 3, kOtherHash};
  live.files.erase("d");
  while (formatter.Next(out, 1)) {
  }
  EXPECT_EQ(out, head + "F\t1\t1\t" + kHash + "\ta\nF\t2\t2\t" + kHash + "\tb\nF\t3\t3\t" +
                     kOtherHash + "\tc\n");
}

TEST(SyncStateTest, TheSyncsOwnNamesAtARoot) {
  for (const char* own : {".htftpupload-sync", ".htftpupload-sync.part", ".htftpupload-sync.lock",
                          ".ftpupload-sync", ".ftpupload-sync.part"}) {
    EXPECT_TRUE(IsSyncStateName(own)) << own;
  }
  for (const char* other : {".htftpupload-syncx", ".htaccess", "a/.htftpupload-sync", ""}) {
    EXPECT_FALSE(IsSyncStateName(other)) << other;
  }
}

TEST(ListingTimeTest, DayCountsBecomeUnixSeconds) {
  EXPECT_EQ(ListingTimeToSeconds(25569.0), 0);
  EXPECT_EQ(ListingTimeToSeconds(25569.0 + 1.5), 86400 + 43200);
  EXPECT_EQ(ListingTimeToSeconds(25569.0 + 10.0 / 86400.0 - 1e-9), 10);
}

TTreeEntry File(const std::string& path, int64_t size, int64_t modified) {
  return {path, nullptr, false, size, modified};
}
TTreeEntry Folder(const std::string& path) { return {path, nullptr, true, -1, 0}; }
TRemoteEntry RemoteFile(int64_t size, int64_t from, int64_t to = -1) {
  TRemoteEntry e;
  e.size = size;
  e.time_from = from;
  e.time_to = to < 0 ? from : to;
  return e;
}
TRemoteEntry RemoteFolder() {
  TRemoteEntry e;
  e.is_directory = true;
  return e;
}

struct PlanCase {
  const char* name;
  std::vector<TTreeEntry> local;
  std::optional<TSyncState> state;
  std::optional<std::map<std::string, TRemoteEntry>> remote;  // listed when set
  bool delete_missing = false;
  bool checksum = false;
  std::map<std::string, int64_t> mdtm;  // exact remote times (absent: unknown)
  std::string digest = kHash;           // what hashing a local file gives
  int64_t racy_from = INT64_MAX;        // when the local tree was read
  // Expected: sends as "path:reason", folders, deletes, removals, unchanged.
  std::vector<std::string> sends;
  std::vector<std::string> folders;
  std::vector<std::string> deletes;
  std::vector<std::string> removals;
  size_t unchanged = 0;
  std::vector<std::string> asked;  // MDTM asked for these
  std::vector<std::string> hashed{};  // recorded files read to decide
};

TSyncState State(std::map<std::string, TSyncRecord> files, std::set<std::string> folders = {}) {
  TSyncState state;
  state.files = std::move(files);
  state.folders = std::move(folders);
  return state;
}

TEST(PlanSyncTest, DecidesEachFileByRecordOrListing) {
  const int64_t t = 1700000000;
  const TSyncRecord rec{5, t, kHash};
  using Listing = std::map<std::string, TRemoteEntry>;
  const Listing unsure = {{"a", RemoteFile(5, t - 50000, t + 50000)}};
  // Each row names only what it sets; the rest stays empty.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
  const PlanCase cases[] = {
      {.name = "RecordMatches", .local = {File("a", 5, t)}, .state = State({{"a", rec}}), .unchanged = 1},
      {.name = "RecordSizeDiffers", .local = {File("a", 6, t)}, .state = State({{"a", rec}}),
       .sends = {"a:size"}},
      // A fresh checkout: a new time, the same bytes.
      {.name = "RecordTimeDiffersContentSame", .local = {File("a", 5, t + 1)},
       .state = State({{"a", rec}}), .unchanged = 1, .hashed = {"a"}},
      // Read in the second it was written: recorded a second older, so
      // that the next run reads it again.
      {.name = "RacyFileRecordedOlder", .local = {File("a", 5, t + 1)},
       .state = State({{"a", rec}}), .racy_from = t, .unchanged = 1, .hashed = {"a"}},
      {.name = "RecordTimeDiffersContentToo", .local = {File("a", 5, t + 1)},
       .state = State({{"a", rec}}), .digest = kOtherHash, .sends = {"a:content"},
       .hashed = {"a"}},
      {.name = "RecordTimeDiffersUnreadable", .local = {File("a", 5, t + 1)},
       .state = State({{"a", rec}}), .digest = "", .sends = {"a:time"}, .hashed = {"a"}},
      {.name = "ChecksumCatchesSameSizeAndTime", .local = {File("a", 5, t)},
       .state = State({{"a", {5, t, kOtherHash}}}), .checksum = true, .sends = {"a:content"},
       .hashed = {"a"}},
      {.name = "ChecksumAgrees", .local = {File("a", 5, t)}, .state = State({{"a", rec}}),
       .checksum = true, .unchanged = 1, .hashed = {"a"}},
      {.name = "RecordedButGoneFromServer", .local = {File("a", 5, t)}, .state = State({{"a", rec}}),
       .remote = Listing{}, .sends = {"a:missing"}},
      {.name = "ServerCopyChangedBehindUs", .local = {File("a", 5, t)}, .state = State({{"a", rec}}),
       .remote = Listing{{"a", RemoteFile(9, t)}}, .sends = {"a:size"}},
      {.name = "ServerClockIgnoredWithRecord", .local = {File("a", 5, t)},
       .state = State({{"a", rec}}), .remote = Listing{{"a", RemoteFile(5, t - 36000)}},
       .unchanged = 1},
      {.name = "NoRecordNew", .local = {File("a", 5, t)}, .remote = Listing{}, .sends = {"a:new"}},
      {.name = "NoRecordSameSizeNewer", .local = {File("a", 5, t)},
       .remote = Listing{{"a", RemoteFile(5, t + 10)}}, .unchanged = 1},
      {.name = "NoRecordOlder", .local = {File("a", 5, t)},
       .remote = Listing{{"a", RemoteFile(5, t - 10)}}, .sends = {"a:older"}},
      {.name = "NoRecordSizeDiffers", .local = {File("a", 5, t)},
       .remote = Listing{{"a", RemoteFile(4, t + 10)}}, .sends = {"a:size"}},
      {.name = "ListingCannotTellAsksMdtm", .local = {File("a", 5, t), File("b", 5, t)},
       .remote = Listing{{"a", unsure.at("a")}, {"b", unsure.at("a")}}, .mdtm = {{"a", t + 1}},
       .sends = {"b:time"}, .unchanged = 1, .asked = {"a", "b"}},
      {.name = "MdtmSaysOlder", .local = {File("a", 5, t)}, .remote = unsure,
       .mdtm = {{"a", t - 1}}, .sends = {"a:older"}, .asked = {"a"}},
  };
#pragma GCC diagnostic pop
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(c.name);
    TSyncInputs in;
    in.local = c.local;
    in.state = c.state;
    in.listed = c.remote.has_value();
    if (c.remote) in.remote = *c.remote;
    in.delete_missing = c.delete_missing;
    in.checksum = c.checksum;
    in.racy_from = c.racy_from;
    std::vector<std::string> asked;
    in.remote_time = [&](const std::string& path) -> int64_t {
      asked.push_back(path);
      const auto it = c.mdtm.find(path);
      return it == c.mdtm.end() ? -1 : it->second;
    };
    std::vector<std::string> hashed;
    in.hash = [&](const TTreeEntry& entry) {
      hashed.push_back(entry.relative);
      return c.digest;
    };
    std::vector<std::string> ahead;
    for (const TTreeEntry* entry : FilesToHash(in)) ahead.push_back(entry->relative);
    const TSyncPlan plan = PlanSync(in);
    std::vector<std::string> sends;
    for (const TSyncSend& s : plan.sends) {
      sends.push_back(s.entry->relative + ":" + SendReasonWord(s.reason));
    }
    EXPECT_THAT(sends, ElementsAreArray(c.sends));
    EXPECT_THAT(plan.folders, ElementsAreArray(c.folders));
    EXPECT_THAT(plan.deletes, ElementsAreArray(c.deletes));
    EXPECT_THAT(plan.removals, ElementsAreArray(c.removals));
    EXPECT_EQ(plan.unchanged, c.unchanged);
    EXPECT_THAT(asked, ElementsAreArray(c.asked));
    // Files without a record are hashed only to be recorded.
    if (c.state) {
      EXPECT_THAT(hashed, ElementsAreArray(c.hashed));
      EXPECT_THAT(ahead, ElementsAreArray(c.hashed));
    }
    // An unchanged file's record carries its local time (a racy one's a
    // second less).
    for (const TTreeEntry* entry : plan.unchanged_files) {
      if (plan.state.files.count(entry->relative) != 0) {
        EXPECT_EQ(plan.state.files.at(entry->relative).modified,
                  entry->modified - (entry->modified >= c.racy_from ? 1 : 0));
      }
    }
  }
}

// /delete: files then folders, deepest first; nothing excluded, linked or
// not fully listed is removed, nor any folder above such a thing.
TEST(PlanSyncTest, DeletesOnlyWhatIsSafelyGone) {
  TSyncInputs in;
  in.local = {Folder("keep"), File("keep/a", 1, 1), Folder("new")};
  in.state = State({{"gone.txt", {1, 1, kHash}}, {"keep/a", {1, 1, kHash}}}, {"keep", "old"});
  in.listed = true;
  in.delete_missing = true;
  TRemoteEntry excluded = RemoteFile(1, 1);
  excluded.excluded = true;
  TRemoteEntry link = RemoteFile(1, 1);
  link.is_link = true;
  // "odd" was listed in part (an unreadable line): nothing in it goes.
  TRemoteEntry unlisted = RemoteFolder();
  unlisted.listed = false;
  in.remote = {{"keep", RemoteFolder()},     {"keep/a", RemoteFile(1, 1)},
               {"keep/stale", RemoteFile(1, 1)}, {"gone.txt", RemoteFile(1, 1)},
               {"old", RemoteFolder()},      {"old/deep", RemoteFolder()},
               {"old/deep/x", RemoteFile(1, 1)}, {"held", RemoteFolder()},
               {"held/app.log", excluded},    {"linked", RemoteFolder()},
               {"linked/l", link},            {"odd", unlisted},
               {"odd/made-up", RemoteFile(1, 1)}, {".ftpupload-sync", RemoteFile(1, 1)},
               {".ftpquota", RemoteFile(1, 1)}, {"keep/.ftpquota", RemoteFile(1, 1)}};
  const TSyncPlan plan = PlanSync(in);
  EXPECT_THAT(plan.folders, ElementsAreArray({"new"}));
  EXPECT_THAT(plan.deletes, ElementsAreArray({"gone.txt", "keep/stale", "old/deep/x"}));
  EXPECT_THAT(plan.removals, ElementsAreArray({"old/deep", "old"}));
  // Records go as the deletes are made, not before: deletes held back keep them.
  EXPECT_EQ(plan.state.files.count("gone.txt"), 1u);
  EXPECT_EQ(plan.state.folders.count("old"), 1u);
  EXPECT_EQ(plan.state.folders.count("new"), 1u);
  EXPECT_TRUE(plan.sends.empty());

  // The root listed in part: only what lies deeper may go.
  in.root_fully_listed = false;
  EXPECT_THAT(PlanSync(in).deletes, ElementsAreArray({"keep/stale", "old/deep/x"}));
}

TEST(PlanSyncTest, ConflictsAndFoldersFromTheStateFile) {
  TSyncInputs in;
  in.local = {Folder("a"), File("a/f", 1, 1), Folder("b"), File("c", 1, 1)};
  in.state = State({}, {"a"});
  TSyncPlan plan = PlanSync(in);  // not listed: the state file stands for the server
  EXPECT_THAT(plan.folders, ElementsAreArray({"b"}));
  EXPECT_EQ(plan.sends.size(), 2u);

  in.listed = true;
  in.remote = {{"a", RemoteFolder()}, {"b", RemoteFile(1, 1)}, {"c", RemoteFolder()}};
  plan = PlanSync(in);
  EXPECT_TRUE(plan.folders.empty());
  EXPECT_EQ(plan.conflicts.size(), 2u);  // a file where b goes, a folder where c goes

  in.root_exists = false;
  in.remote.clear();
  plan = PlanSync(in);
  EXPECT_TRUE(plan.make_root);
  EXPECT_THAT(plan.folders, ElementsAreArray({"a", "b"}));
}

}  // namespace
}  // namespace zud
