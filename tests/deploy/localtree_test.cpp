// The exclude patterns of a folder upload, and the walk over a real tree with
// the awkward things a user's folder holds: links, loops, FIFOs, odd names.
#include "deploy/localtree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "deploy/runtally.h"
#include "deploy/synctree.h"
#include "support/temp_dir.h"
#include "util/stream.h"

namespace zud {
namespace {

namespace fs = std::filesystem;

struct TExcludeRow {
  const char* pattern;
  const char* path;
  bool is_directory;
  bool excluded;
};

template <size_t N>
void ExpectExcludes(const TExcludeRow (&rows)[N], bool backslash_separates) {
  for (const TExcludeRow& row : rows) {
    TExcludeList list;
    list.BackslashSeparates = backslash_separates;
    list.Add(row.pattern);
    EXPECT_EQ(list.Excludes(row.path, row.is_directory), row.excluded)
        << "pattern \"" << row.pattern << "\", path \"" << row.path << "\""
        << (row.is_directory ? " (folder)" : "");
  }
}

TEST(ExcludeList, PatternTable) {
  const TExcludeRow rows[] = {
      // "*" and "?" stay within one name.
      {"*.log", "a.log", false, true},
      {"*.log", "a.log.txt", false, false},
      {"*", ".hidden", false, true},
      {"/a*b", "a/x/b", false, false},
      {"?.c", "a.c", false, true},
      {"?.c", "ab.c", false, false},
      {"/a?b", "a/b", false, false},
      // Sets, ranges, negation; "]" first and "-" last are plain.
      {"[abc].txt", "b.txt", false, true},
      {"[abc].txt", "d.txt", false, false},
      {"[a-c]x", "cx", false, true},
      {"[a-c]x", "dx", false, false},
      {"[!a]x", "bx", false, true},
      {"[!a]x", "ax", false, false},
      {"[^a]x", "ax", false, false},
      {"[]]x", "]x", false, true},
      {"[a-]x", "-x", false, true},
      {"[", "[", false, true},
      // "**" at the start, in the middle, at the end.
      {"**/x", "x", false, true},
      {"**/x", "a/b/x", false, true},
      {"a/**/b", "a/b", false, true},
      {"a/**/b", "a/x/y/b", false, true},
      {"a/**/b", "a/xb", false, false},
      {"a/**", "a/x/y", false, true},
      {"a/**", "a", true, false},
      // A trailing "/" takes folders only; a folder takes what lies in it.
      {"build/", "build", true, true},
      {"build/", "build", false, false},
      {"build/", "src/build", true, true},
      {"build/", "build/x.o", false, true},
      // A name pattern applies at any depth; one with "/" to the whole path.
      {"*.log", "deep/er/a.log", false, true},
      {"/build", "build", true, true},
      {"/build", "src/build", true, false},
      {"src/*.o", "src/a.o", false, true},
      {"src/*.o", "x/src/a.o", false, false},
      // Escapes.
      {"\\*.txt", "*.txt", false, true},
      {"\\*.txt", "a.txt", false, false},
      {"a\\?", "a?", false, true},
      {"a\\?", "ab", false, false},
  };
  ExpectExcludes(rows, false);
}

TEST(ExcludeList, BackslashSeparatesNamesWhereThePlatformSaysSo) {
  const TExcludeRow rows[] = {
      {"css\\*.bin", "css/skip.bin", false, true},
      {"css\\*.bin", "css/sub/keep.bin", false, false},
      {".git\\", ".git", true, true},
      {".git\\", ".git", false, false},
      {"\\drafts\\", "drafts", true, true},
      {"\\drafts\\", "a/drafts", true, false},
      {"a\\?", "a/b", false, true},
      // A set of one is the way to a plain special character.
      {"[[]draft]*", "[draft] notes.md", false, true},
      {"[*]", "*", false, true},
      {"[*]", "a", false, false},
  };
  ExpectExcludes(rows, true);
  EXPECT_EQ(TExcludeList().BackslashSeparates, IsLocalPathSeparator('\\'));
}

TEST(ExcludeList, EmptyPatternsAreIgnored) {
  TExcludeList list;
  list.Add("");
  list.Add("/");
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(list.Excludes("a", false));
}

TEST(MatchGlob, ManyStarsDoNotBacktrack) {
  const std::string text(4000, 'a');
  EXPECT_FALSE(MatchGlob("*a*a*a*a*a*a*a*a*a*a*b", text));
  EXPECT_TRUE(MatchGlob("**a**a**a**a**a**a", text));
}

struct TPathRow {
  const char* relative;
  TLocalKind kind;
  bool is_link;
};

// The tree both the path and the walk tests look at, below dir/tree.
void BuildTree(const test::TempDir& dir) {
  const fs::path tree = dir / "tree";
  ASSERT_TRUE(dir.Write("tree/.hidden", "h"));
  ASSERT_TRUE(dir.Write("tree/a/z.txt", "zz"));
  ASSERT_TRUE(dir.Write("tree/a/sub/deep.bin", ""));
  ASSERT_TRUE(dir.Write("tree/b dir with space/file.txt", "abc"));
  ASSERT_TRUE(dir.MakeDir("tree/empty"));
  ASSERT_TRUE(dir.Write("tree/caf\xc3\xa9.txt", "1234"));
  ASSERT_TRUE(dir.Write("tree/\xff raw", "12345"));
  ASSERT_TRUE(dir.Write("tree/build/out.o", "o"));
  ASSERT_TRUE(dir.Write("tree/x.log", "log"));
  ASSERT_TRUE(dir.Write("tree/locked/inside", "i"));
  fs::create_symlink("a/z.txt", tree / "link-to-file");
  fs::create_symlink("a", tree / "link-to-dir");
  fs::create_symlink("loop2", tree / "loop1");
  fs::create_symlink("loop1", tree / "loop2");
  fs::create_symlink("nowhere", tree / "dangling");
  fs::create_symlink("tree", dir / "root-link");
  ASSERT_EQ(::mkfifo((tree / "fifo").c_str(), 0600), 0);
  fs::permissions(tree / "locked", fs::perms::none);
}

TEST(LocalPath, KindsAndLinks) {
  test::TempDir dir;
  ASSERT_TRUE(dir.ok()) << dir.error();
  ASSERT_NO_FATAL_FAILURE(BuildTree(dir));
  const TPathRow rows[] = {
      {"tree/a/z.txt", TLocalKind::kFile, false},
      {"tree/link-to-file", TLocalKind::kFile, true},
      {"tree/link-to-dir", TLocalKind::kDirectory, true},
      {"tree/dangling", TLocalKind::kMissing, true},
      {"tree/absent", TLocalKind::kMissing, false},
      {"tree/loop1", TLocalKind::kLinkLoop, true},
      {"tree/fifo", TLocalKind::kOther, false},
  };
  for (const TPathRow& row : rows) {
    const TLocalPathInfo info = QueryLocalPath((dir / row.relative).string());
    EXPECT_EQ(info.kind, row.kind) << row.relative << ": " << info.error;
    EXPECT_EQ(info.is_link, row.is_link) << row.relative;
  }
  EXPECT_EQ(QueryLocalPath((dir / "tree/link-to-file").string()).size, 2);

  std::vector<std::string> names;
  std::string error;
  EXPECT_FALSE(ListLocalDirectory((dir / "tree/absent").string(), names, error));
  EXPECT_FALSE(error.empty());
}

// "name/" for a folder, "name size" for a file: one line says what was sent.
std::string Describe(const TTreeEntry& entry) {
  return entry.is_directory ? entry.relative + "/"
                            : entry.relative + " " + std::to_string(entry.size);
}

TEST(TreeEntryTest, LocalPathIsFolderAndLastName) {
  const struct {
    const char* folder;  // nullptr: none
    const char* relative;
    const char* local;
  } cases[] = {
      {nullptr, "a.txt", "a.txt"},
      {"", "a.txt", "a.txt"},
      {"/srv/site/", "a.txt", "/srv/site/a.txt"},
      {"/srv/site/css/", "css/deep/x y.css", "/srv/site/css/x y.css"},  // a merged tree's prefix
      {"dir\\sub:", "a", "dir\\sub:a"},  // a named file's own folder part, as given
  };
  for (const auto& c : cases) {
    TTreeEntry entry;
    entry.relative = c.relative;
    if (c.folder != nullptr) entry.local_folder = std::make_shared<const std::string>(c.folder);
    EXPECT_EQ(entry.LocalPath(), c.local) << c.relative;
  }
}

TEST(WalkLocalTree, OrderSkipsNoticesAndExcludes) {
  test::TempDir dir;
  ASSERT_TRUE(dir.ok()) << dir.error();
  ASSERT_NO_FATAL_FAILURE(BuildTree(dir));
  const bool root_user = ::geteuid() == 0;  // reads the locked folder anyway
  TExcludeList excludes;
  excludes.Add("build/");
  excludes.Add("*.log");

  std::vector<std::string> expected = {
      "a/",
      "a/sub/",
      "a/sub/deep.bin 0",
      "a/z.txt 2",
      "b dir with space/",
      "b dir with space/file.txt 3",
      "empty/",
  };
  if (root_user) {
    expected.push_back("locked/");
    expected.push_back("locked/inside 1");
  }
  for (const char* file : {".hidden 1", "caf\xc3\xa9.txt 4", "link-to-file 2", "\xff raw 5"}) {
    expected.push_back(file);
  }
  std::vector<std::string> expected_notices = {
      "dangling: is a link to nothing; skipped",
      "fifo: is a FIFO; skipped",
      "link-to-dir: is a link to a folder; skipped",
      "loop1: link loop; skipped",
      "loop2: link loop; skipped",
  };
  if (!root_user) expected_notices.push_back("locked: cannot read folder: Permission denied (failure)");
  std::sort(expected_notices.begin(), expected_notices.end());

  // Named with a trailing "/", and through a link to it: the user named both.
  const std::string tree = (dir / "tree").string();
  for (const std::string& root : {tree + "/", (dir / "root-link").string()}) {
    SCOPED_TRACE(root);
    std::vector<std::string> notices;
    const std::vector<TTreeEntry> entries =
        WalkLocalTree(root, excludes, [&notices](const TTreeNotice& notice) {
          notices.push_back(notice.relative + ": " + notice.message +
                            (notice.failure ? " (failure)" : ""));
        });
    std::vector<std::string> described;
    for (const TTreeEntry& entry : entries) described.push_back(Describe(entry));
    EXPECT_EQ(described, expected);
    std::sort(notices.begin(), notices.end());
    EXPECT_EQ(notices, expected_notices);

    // Every path made again from its folder and name names what was walked.
    for (const TTreeEntry& entry : entries) {
      const TLocalKind kind = QueryLocalPath(entry.LocalPath()).kind;
      EXPECT_EQ(kind, entry.is_directory ? TLocalKind::kDirectory : TLocalKind::kFile)
          << entry.relative;
    }
    ASSERT_GE(entries.size(), 3u);
    EXPECT_EQ(entries[2].LocalPath(), root.back() == '/' ? root + "a/sub/deep.bin"
                                                        : root + "/a/sub/deep.bin");
    EXPECT_TRUE(QueryLocalPath(entries[2].LocalPath()).kind == TLocalKind::kFile);
    EXPECT_LT(std::abs(entries[2].modified - static_cast<int64_t>(std::time(nullptr))), 86400);
  }
}

// The notice about the FIFO comes while the top folder is listed, before its
// subfolders are entered: removing one then is a folder vanishing mid-walk.
TEST(WalkLocalTree, FolderThatVanishesIsSkipped) {
  test::TempDir dir;
  ASSERT_TRUE(dir.ok()) << dir.error();
  ASSERT_TRUE(dir.MakeDir("tree/a"));
  ASSERT_TRUE(dir.Write("tree/b/gone.txt", "g"));
  ASSERT_EQ(::mkfifo((dir / "tree/fifo").c_str(), 0600), 0);
  std::vector<std::string> notices;
  const std::vector<TTreeEntry> entries =
      WalkLocalTree((dir / "tree").string(), TExcludeList{}, [&](const TTreeNotice& notice) {
        if (notice.relative == "fifo") fs::remove_all(dir / "tree/b");
        notices.push_back(notice.relative + ": " + notice.message +
                          (notice.failure ? " (failure)" : ""));
      });
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].relative, "a");
  EXPECT_EQ(notices, (std::vector<std::string>{"fifo: is a FIFO; skipped", "b: vanished; skipped"}));
}

TEST(WalkLocalTree, RootThatIsNoFolderGivesOneFailure) {
  test::TempDir dir;
  ASSERT_TRUE(dir.ok()) << dir.error();
  ASSERT_TRUE(dir.Write("file", "x"));
  for (const char* name : {"file", "absent"}) {
    std::vector<TTreeNotice> notices;
    const std::vector<TTreeEntry> entries = WalkLocalTree(
        (dir / name).string(), TExcludeList{},
        [&notices](const TTreeNotice& notice) { notices.push_back(notice); });
    EXPECT_TRUE(entries.empty()) << name;
    ASSERT_EQ(notices.size(), 1u) << name;
    EXPECT_TRUE(notices[0].failure) << name;
    EXPECT_EQ(notices[0].relative, "") << name;
  }
}

// Sources that overlap: the last source of a path wins, in the place the
// path first had; the entries keep the local path of the source they came from.
TEST(GatherTreesTest, OverlappingSourcesKeepTheLastOfEachPath) {
  test::TempDir dir;
  ASSERT_TRUE(dir.ok()) << dir.error();
  ASSERT_TRUE(dir.Write("A/x", "1"));
  ASSERT_TRUE(dir.Write("A/y", "1"));
  ASSERT_TRUE(dir.Write("B/x", "22"));
  ASSERT_TRUE(dir.Write("B/z", "1"));
  ASSERT_TRUE(dir.Write("B/A/x", "22"));
  const std::string a = (dir / "A").string(), b = (dir / "B").string();
  const struct {
    std::vector<std::string> sources;
    std::vector<std::string> expected;  // Describe(entry) and where it is read from
  } cases[] = {
      {{a + "/", b + "/"}, {"x 2 in B", "y 1 in A", "A/ in B", "A/x 2 in B", "z 1 in B"}},
      // "A" lands in B's tree as its folder "A" (made, not walked): A's own files win.
      {{b + "/", a}, {"A/", "A/x 1 in A", "x 2 in B", "z 1 in B", "A/y 1 in A"}},
  };
  for (const auto& c : cases) {
    TDeployOptions options;
    options.Sources = c.sources;
    options.Recursive = true;
    options.RemoteDir = "/dir";
    TRunTally tally(options);
    const auto trees = GatherTrees(tally);
    ASSERT_EQ(trees.size(), 1u);
    EXPECT_EQ(trees[0]->root, "/dir/");
    std::vector<std::string> described;
    for (const TTreeEntry& entry : trees[0]->inputs.local) {
      const std::string local = entry.LocalPath();
      std::string from;
      if (local.starts_with(a + "/")) from = " in A";
      if (local.starts_with(b + "/")) from = " in B";
      described.push_back(Describe(entry) + from);
    }
    EXPECT_EQ(described, c.expected) << c.sources.back();
  }
}

}  // namespace
}  // namespace zud
