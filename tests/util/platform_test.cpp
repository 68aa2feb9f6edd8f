// The platform layer's promises that differ most between Linux and Windows:
// files keep every byte, a file read for upload cannot be changed meanwhile
// (Windows sharing), names in any script and paths past MAX_PATH work as
// UTF-8, socket failures carry Windows Sockets numbers, waits and the file
// send work on real loopback sockets, and the program names itself as the
// system does. Runs unchanged on both platforms.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "util/compat.h"
#include "util/process.h"
#include "util/sockapi.h"
#include "util/stream.h"

namespace zud {
namespace {

#if defined(_WIN32)
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// A scratch file beside the test program's working directory, removed after.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& name)
      : path_((std::filesystem::temp_directory_path() /
               (name + "-" + std::to_string(MonotonicMilliseconds()))).string()) {}
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(PlatformFileTest, EveryByteSurvivesAWriteAndARead) {
  // Text-mode files would turn LF into CR LF and stop reading at Ctrl-Z.
  const std::string bytes = std::string("a\r\nb\nc\rd\x1A" "e\0f", 11) + "\r\n\x1A";
  ScratchFile file("zud-platform-bytes");
  {
    TFileStream out(file.path(), TFileStream::Mode::kCreate);
    EXPECT_EQ(out.Write(bytes.data(), static_cast<int64_t>(bytes.size())),
              static_cast<int64_t>(bytes.size()));
  }
  TFileStream in(file.path(), TFileStream::Mode::kRead);
  EXPECT_EQ(in.Size(), static_cast<int64_t>(bytes.size()));
  std::string back(bytes.size() + 4, '?');
  EXPECT_EQ(in.Read(back.data(), static_cast<int64_t>(back.size())),
            static_cast<int64_t>(bytes.size()));
  back.resize(bytes.size());
  EXPECT_EQ(back, bytes);
  EXPECT_TRUE(FileExists(file.path()));
  EXPECT_FALSE(FileExists(std::filesystem::temp_directory_path().string()));
}

TEST(PlatformFileTest, SmallFilesAndKindsOfPath) {
  const std::string bytes = std::string("secret\r\n\x1A\0", 10);
  ScratchFile file("zud-platform-small");
  { std::ofstream(file.path(), std::ios::binary) << bytes; }
  std::string content, error;
  EXPECT_TRUE(ReadSmallFile(file.path(), 64, content, error)) << error;
  EXPECT_EQ(content, bytes);
  EXPECT_FALSE(ReadSmallFile(file.path(), 4, content, error));
  EXPECT_EQ(error, "larger than 4 bytes");
  const std::string dir = std::filesystem::temp_directory_path().string();
  EXPECT_FALSE(ReadSmallFile(dir, 64, content, error));
  EXPECT_TRUE(IsRegularFile(file.path()));
  EXPECT_FALSE(IsRegularFile(dir));
  EXPECT_TRUE(DirectoryExists(dir));
  EXPECT_FALSE(DirectoryExists(file.path()));
  EXPECT_FALSE(HomeDirectory().empty());
  // Windows looks for "_netrc" first, in the user's profile.
  std::string profile;
  const std::vector<std::string> netrc = DefaultNetrcFiles();
  if (kWindows && ReadEnvironmentVariable("USERPROFILE", profile)) {
    EXPECT_EQ(netrc, (std::vector<std::string>{profile + "\\_netrc", profile + "\\.netrc"}));
  } else if (!kWindows) {
    EXPECT_EQ(netrc, std::vector<std::string>{HomeDirectory() + "/.netrc"});
  }
}

TEST(PlatformFileTest, AFileReadForUploadMayBeReadButNotChangedMeanwhile) {
  ScratchFile file("zud-platform-sharing");
  { std::ofstream(file.path(), std::ios::binary) << "payload"; }
  TFileStream reading(file.path(), TFileStream::Mode::kRead);
  std::ifstream other_reader(file.path(), std::ios::binary);
  EXPECT_TRUE(other_reader.is_open());
  // Linux has no mandatory sharing modes; Windows refuses the writer.
  bool writer_refused = false;
  try {
    TFileStream writer(file.path(), TFileStream::Mode::kReadWrite);
  } catch (const EFileOpenError&) {
    writer_refused = true;
  }
  EXPECT_EQ(writer_refused, kWindows);
}

// A folder of its own in the temporary folder. What the test makes in it
// is named to it, and removed entry by entry, deepest first: the file system
// library walks no path past MAX_PATH on Windows.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& name) : path_(ScratchFile(name).path()) {
    MakeFolder(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) std::filesystem::remove(*it, ignored);
  }
  const std::string& path() const { return path_; }
  void MakeFolder(const std::string& path) {
    std::filesystem::create_directory(Native(path));
    Made(path);
  }
  void Made(const std::string& path) { made_.push_back(Native(path)); }
  // A UTF-8 path as the file system library takes it; on Windows in the
  // extended form, which every call there accepts at any length.
  static std::filesystem::path Native(const std::string& utf8) {
    const std::filesystem::path path(std::u8string(utf8.begin(), utf8.end()));
    if (!kWindows) return path;
    return std::filesystem::path(L"\\\\?\\" + std::filesystem::absolute(path).wstring());
  }

 private:
  std::string path_;
  std::vector<std::filesystem::path> made_;
};

TEST(PlatformFileTest, NamesInEveryScriptAndPathsPastMaxPathWork) {
  ScratchFolder root("zud-platform-names");
  // Accented, CJK, emoji, a blank, a dotfile; and a folder chain that takes
  // the path past 300 characters.
  const std::vector<std::string> names = {
      "caf\xC3\xA9 \xC3\x9C" "bersicht.html", "\xE6\x97\xA5\xE6\x9C\xAC.txt",
      "\xF0\x9F\x98\x80.png", ".hidden", "a b.txt"};
  const std::string first_deep = std::string(55, 'a') + "\xC3\xBC";
  std::string deep = root.path();
  for (int i = 0; i < 5; ++i) {
    deep = JoinLocalPath(deep, std::string(55, static_cast<char>('a' + i)) + "\xC3\xBC");
    root.MakeFolder(deep);
  }
  ASSERT_GT(deep.size(), 300u);
  for (const std::string& folder : {root.path(), deep}) {
    for (const std::string& name : names) {
      const std::string path = JoinLocalPath(folder, name);
      TFileStream(path, TFileStream::Mode::kCreate).Write(name.data(), static_cast<int64_t>(name.size()));
      root.Made(path);
      const TLocalPathInfo info = QueryLocalPath(path);
      EXPECT_EQ(info.kind, TLocalKind::kFile) << path << ": " << info.error;
      EXPECT_EQ(info.size, static_cast<int64_t>(name.size())) << path;
      std::string content, error;
      EXPECT_TRUE(ReadSmallFile(path, 1024, content, error)) << path << ": " << error;
      EXPECT_EQ(content, name);
      EXPECT_TRUE(FileExists(path) && IsRegularFile(path)) << path;
    }
    std::vector<std::string> listed, unnamed;
    std::string error;
    ASSERT_TRUE(ListLocalDirectory(folder, listed, error, &unnamed)) << folder << ": " << error;
    listed.erase(std::remove(listed.begin(), listed.end(), first_deep), listed.end());
    std::sort(listed.begin(), listed.end());
    std::vector<std::string> expected = names;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected) << folder;
    EXPECT_TRUE(unnamed.empty());
  }
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_EQ(QueryLocalPath(deep).kind, TLocalKind::kDirectory);
  // Ill-formed UTF-8 names no file at all on Windows, not a look-alike.
  if (kWindows) {
    const std::string bad = JoinLocalPath(root.path(), "caf\xE9.txt");
    EXPECT_EQ(QueryLocalPath(bad).error, "the name is not valid UTF-8: ill-formed UTF-8 at byte " +
                                             std::to_string(bad.size() - 4) + " (0xE9)");
    try {
      TFileStream created(bad, TFileStream::Mode::kCreate);
      ADD_FAILURE() << "created " << bad;
    } catch (const EFileOpenError& e) {
      EXPECT_NE(std::string(e.what()).find("not valid UTF-8"), std::string::npos) << e.what();
    }
  }
}

TEST(PlatformFileTest, AWindowsNameThatIsNoTextIsListedApart) {
  if (!kWindows) GTEST_SKIP() << "Linux names are bytes, each one listed as it is";
  ScratchFolder root("zud-platform-lone");
  const std::filesystem::path lone(ScratchFolder::Native(root.path()).wstring() + L"\\lone\xD800.txt");
  { std::ofstream(lone, std::ios::binary) << "x"; }
  std::error_code missing;
  if (!std::filesystem::exists(lone, missing)) {
    GTEST_SKIP() << "this system cannot store a name with a lone surrogate (wine cannot)";
  }
  std::vector<std::string> listed, unnamed;
  std::string error;
  ASSERT_TRUE(ListLocalDirectory(root.path(), listed, error, &unnamed)) << error;
  std::filesystem::remove(lone, missing);
  EXPECT_TRUE(listed.empty());
  EXPECT_EQ(unnamed, std::vector<std::string>{"lone\\uD800.txt"});
}

// A connected loopback pair made with the wrappers under test.
struct LoopbackPair {
  TSocketHandle listener = kInvalidSocket, client = kInvalidSocket, server = kInvalidSocket;
  LoopbackPair() {
    TSocketAddress address;
    EXPECT_EQ(BuildSocketAddress(address, "127.0.0.1", "0", kAfInet, kIpProtoTcp, kSockStream,
                                 true), 0);
    listener = CreateSocket(kAfInet, kSockStream, kIpProtoTcp);
    EXPECT_EQ(BindToAddress(listener, address), 0);
    EXPECT_EQ(ListenOnSocket(listener, 4), 0);
    EXPECT_EQ(QueryLocalAddress(listener, address), 0);
    client = CreateSocket(kAfInet, kSockStream, kIpProtoTcp);
    EXPECT_EQ(ConnectToAddress(client, address), 0) << LastSocketError();
    TSocketAddress peer;
    server = AcceptIntoAddress(listener, peer);
    EXPECT_NE(server, kInvalidSocket);
    EXPECT_EQ(SocketAddressIP(peer), "127.0.0.1");
  }
  ~LoopbackPair() {
    for (TSocketHandle h : {client, server, listener}) {
      if (h != kInvalidSocket) CloseSocket(h);
    }
  }
  // Waits up to timeout_ms for the server side to become readable.
  int Readable(int timeout_ms) const {
    TSelectSet set;
    AddToSelectSet(server, set);
    return PollSelectSet(set, false, timeout_ms);
  }
};

TEST(PlatformSocketTest, WaitsSeeDataAndTimeOutOtherwise) {
  LoopbackPair pair;
  EXPECT_EQ(pair.Readable(50), 0);
  EXPECT_EQ(SendToSocket(pair.client, "hi", 2, 0), 2);
  EXPECT_EQ(pair.Readable(5000), 1);
  int pending = 0;
  EXPECT_EQ(QueryPendingBytes(pair.server, pending), 0);
  EXPECT_EQ(pending, 2);
  TSelectSet empty;
  EXPECT_EQ(PollSelectSet(empty, false, 0), -1);
  EXPECT_EQ(LastSocketError(), 10038);
}

TEST(PlatformSocketTest, AFileGoesOutFromTheOffsetAskedFor) {
  ScratchFile file("zud-platform-send");
  const std::string bytes = "0123456789\r\n\x1A" "tail";
  { std::ofstream(file.path(), std::ios::binary) << bytes; }
  TFileStream in(file.path(), TFileStream::Mode::kRead);
  LoopbackPair pair;
  EXPECT_EQ(SendFileToSocket(pair.client, in.Descriptor(), 5, 100),
            static_cast<int>(bytes.size() - 5));
  EXPECT_EQ(SendFileToSocket(pair.client, in.Descriptor(), static_cast<int64_t>(bytes.size()), 10),
            0);
  std::string got(64, '\0');
  ASSERT_EQ(pair.Readable(5000), 1);
  const int n = ReceiveFromSocket(pair.server, got.data(), static_cast<int>(got.size()), 0);
  got.resize(n > 0 ? static_cast<size_t>(n) : 0);
  EXPECT_EQ(got, bytes.substr(5));
}

TEST(PlatformSocketTest, FailuresCarryWindowsSocketsNumbers) {
  // A port that was bound and released: nothing listens there.
  TSocketAddress address;
  ASSERT_EQ(BuildSocketAddress(address, "127.0.0.1", "0", kAfInet, kIpProtoTcp, kSockStream, true),
            0);
  const TSocketHandle probe = CreateSocket(kAfInet, kSockStream, kIpProtoTcp);
  ASSERT_EQ(BindToAddress(probe, address), 0);
  ASSERT_EQ(QueryLocalAddress(probe, address), 0);
  CloseSocket(probe);
  const TSocketHandle client = CreateSocket(kAfInet, kSockStream, kIpProtoTcp);
  EXPECT_EQ(ConnectToAddress(client, address), -1);
  EXPECT_EQ(LastSocketError(), 10061);
  CloseSocket(client);
  EXPECT_NE(BuildSocketAddress(address, "no-such-host.invalid", "21", kAfInet, kIpProtoTcp,
                               kSockStream, true), 0);
  // A port beyond 16 bits is refused, never taken modulo 65536.
  EXPECT_EQ(BuildSocketAddress(address, "127.0.0.1", "65557", kAfInet, kIpProtoTcp, kSockStream,
                               true), 10109);
}

TEST(PlatformProcessTest, NamesItselfAsTheSystemDoes) {
  const std::string path = ProgramPathFromArgument("typed-name");
  if (kWindows) {
    EXPECT_EQ(path.substr(path.size() - 4), ".exe") << path;
  } else {
    EXPECT_EQ(path, "typed-name");
  }
  EXPECT_FALSE(ProgramPathFromArgument("").empty());
  const TLocaleTimeNames names = ReadLocaleTimeNames();
  for (const std::string& month : names.abbreviated_months) EXPECT_FALSE(month.empty());
}

TEST(PlatformProcessTest, TheSocketLibraryIsLoadedByName) {
  // Linux has nothing to load, so any name loads.
  EXPECT_EQ(LoadSocketInterface("no-such-socket-library.dll"), !kWindows);
  if (!kWindows) UnloadSocketInterface();
  ASSERT_TRUE(LoadSocketInterface(""));
  EXPECT_TRUE(UsesAddrInfoApi(kAfInet6));
  UnloadSocketInterface();
}

}  // namespace
}  // namespace zud
