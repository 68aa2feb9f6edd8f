// TFTPSend transfers and file operations against real servers (vsftpd and
// pyftpdlib) on 127.0.0.1 and ::1, in passive and active mode: exact bytes
// both ways (random binary data, a file of several send pieces, an empty
// file, text in ASCII type), append, unique names, restarts after a real
// interruption, listings parsed into entries, and every directory command.
// One server per kind and family serves the whole suite; each test works in
// a directory of its own. The 3 GiB case proves 64-bit sizes and offsets
// end to end with a restarted transfer that moves only the last MiB.
#include "ftp/ftpclient.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ftp/ftpclient_test_support.h"
#include "ftp/ftpclient_transfer_support.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "support/ftp_daemons.h"
#include "support/temp_dir.h"
#include "util/stream.h"

namespace zud::test {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;
constexpr int64_t kGiB = 1024 * kMiB;

struct ServerKind {
  const char* name;
  FtpDaemonFactory make;
  // What the server sends for a text file in ASCII type (pyftpdlib turns LF
  // into CR LF; vsftpd sends the bytes as they are stored).
  std::function<std::string(const std::string&)> ascii_download;
};

struct RealCase {
  ServerKind kind;
  Family family;
  bool passive;
};

std::string Name(const RealCase& c) {
  return std::string(c.kind.name) + FamilyName(c.family) + (c.passive ? "Passive" : "Active");
}

std::string AsStored(const std::string& text) { return text; }
std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

const ServerKind kVsftpd{"Vsftpd", MakeVsftpd, AsStored};
const ServerKind kPyftpdlib{"Pyftpdlib", MakePyftpdlib, WithCrLf};

// One running server per kind and family, kept for the test suite.
std::map<std::string, std::unique_ptr<FtpDaemonFixture>>& ServerCache() {
  static std::map<std::string, std::unique_ptr<FtpDaemonFixture>> cache;
  return cache;
}

FtpDaemonFixture& SharedServer(const ServerKind& kind, Family family) {
  std::unique_ptr<FtpDaemonFixture>& slot =
      ServerCache()[std::string(kind.name) + FamilyName(family)];
  if (!slot) slot = kind.make({.family = family});
  return *slot;
}

// A local file with the given bytes.
std::string LocalFile(const TempDir& dir, const std::string& name, const std::string& bytes) {
  EXPECT_TRUE(dir.Write(name, bytes));
  return (dir / name).string();
}

class RealServerTest : public ::testing::TestWithParam<RealCase> {
 public:
  static void TearDownTestSuite() { ServerCache().clear(); }

 protected:
  void SetUp() override {
    const RealCase& c = GetParam();
    if (!LoopbackAvailable(c.family)) GTEST_SKIP() << FamilyName(c.family) << " unavailable";
    server_ = &SharedServer(c.kind, c.family);
    ZUD_REQUIRE_DAEMON(*server_);
    ASSERT_TRUE(local_.ok());
    // A directory of this test's own, so the tests cannot disturb each other.
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::string(info->name());
    std::replace(dir_.begin(), dir_.end(), '/', '_');
    ASSERT_TRUE(server_->MakeDir(dir_));
    ftp_.TargetHost = server_->host();
    ftp_.TargetPort = std::to_string(server_->port());
    ftp_.Timeout = 20000;
    ftp_.UserName = server_->user();
    ftp_.Password = server_->password();
    ftp_.PassiveMode = c.passive;
    status_.Attach(ftp_);
    ASSERT_TRUE(ftp_.SignIn()) << ftp_.ResultString() << "\n" << server_->Log();
    ASSERT_TRUE(ftp_.ChangeDirectory(dir_)) << ftp_.ResultString();
    status_.entries.clear();
  }

  void TearDown() override {
    if (ftp_.Sock().Handle() != kInvalidSocket) ftp_.SignOff();
  }

  // The server's copy of a file in this test's directory.
  std::optional<std::string> Remote(const std::string& name) const {
    return server_->ReadFile(dir_ + "/" + name);
  }
  bool PutRemote(const std::string& name, const std::string& bytes) const {
    return server_->WriteFile(dir_ + "/" + name, bytes);
  }
  void SetData(const std::string& bytes) {
    ftp_.DirectFile = false;
    ftp_.DataStream().Clear();
    ftp_.DataStream().Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
  // The data-connection command the client is expected to use.
  std::string DataCommandPrefix() const {
    const bool ipv6 = GetParam().family == Family::kIPv6;
    if (GetParam().passive) return ipv6 ? "EPSV 2" : "PASV";
    return ipv6 ? "EPRT |2|::1|" : "PORT 127,0,0,1,";
  }
  std::string Diagnostics() const { return ftp_.ResultString() + "\n" + server_->Log(); }

  FtpDaemonFixture* server_ = nullptr;
  std::string dir_;
  TempDir local_;
  TFTPSend ftp_;
  StatusRecorder status_;
};

TEST_P(RealServerTest, UploadAndDownloadKeepEveryByte) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty.bin", ""},
      {"small.bin", "hello\0world\r\n\xFF"},
      {"pieces.bin", RandomBytes(static_cast<size_t>(1536 * kKiB) + 17, 11)},
  };
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    // From memory, back into memory.
    SetData(bytes);
    ASSERT_TRUE(ftp_.UploadFile("mem-" + name, false)) << Diagnostics();
    EXPECT_EQ(Remote("mem-" + name), bytes);
    EXPECT_EQ(ftp_.RemoteFileSize("mem-" + name), static_cast<int64_t>(bytes.size()));
    SetData("stale");
    ASSERT_TRUE(ftp_.DownloadFile("mem-" + name, false)) << Diagnostics();
    EXPECT_EQ(ftp_.DataStream().Data(), bytes);

    // From a local file, back into another one.
    ftp_.DirectFile = true;
    ftp_.DirectFileName = LocalFile(local_, "up-" + name, bytes);
    ASSERT_TRUE(ftp_.UploadFile("file-" + name, false)) << Diagnostics();
    EXPECT_EQ(Remote("file-" + name), bytes);
    ftp_.DirectFileName = (local_ / ("down-" + name)).string();
    ASSERT_TRUE(ftp_.DownloadFile("file-" + name, false)) << Diagnostics();
    EXPECT_EQ(local_.Read("down-" + name), bytes);
  }
  const std::vector<std::string> commands = status_.Commands();
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                          [&](const std::string& c) {
                            return c.rfind(DataCommandPrefix(), 0) == 0;
                          }),
            4 * static_cast<long>(files.size()));
}

TEST_P(RealServerTest, TextInAsciiType) {
  const std::string text = "first line\nsecond line\n\nlast line\n";
  ftp_.BinaryMode = false;
  SetData(text);
  ASSERT_TRUE(ftp_.UploadFile("text.txt", false)) << Diagnostics();
  EXPECT_EQ(Remote("text.txt"), text);
  ASSERT_TRUE(ftp_.DownloadFile("text.txt", false)) << Diagnostics();
  EXPECT_EQ(ftp_.DataStream().Data(), GetParam().kind.ascii_download(text));
  EXPECT_THAT(status_.Commands(), ::testing::Contains("TYPE A"));
  EXPECT_THAT(status_.Commands(), ::testing::Not(::testing::Contains("TYPE I")));
}

TEST_P(RealServerTest, AppendAndUniqueNames) {
  SetData("first part, ");
  ASSERT_TRUE(ftp_.UploadFile("log.txt", false)) << Diagnostics();
  SetData("second part");
  ASSERT_TRUE(ftp_.AppendToFile("log.txt")) << Diagnostics();
  EXPECT_EQ(Remote("log.txt"), "first part, second part");

  ASSERT_TRUE(ftp_.MakeDirectory("unique")) << Diagnostics();
  ASSERT_TRUE(ftp_.ChangeDirectory("unique")) << Diagnostics();
  SetData("unique one");
  ASSERT_TRUE(ftp_.UploadUniqueFile()) << Diagnostics();
  SetData("unique two");
  ASSERT_TRUE(ftp_.UploadUniqueFile()) << Diagnostics();
  std::map<std::string, std::string> stored;
  for (const auto& entry : std::filesystem::directory_iterator(server_->root() / dir_ / "unique")) {
    stored[entry.path().filename().string()] = ReadFileBytes(entry.path()).value_or("?");
  }
  ASSERT_EQ(stored.size(), 2u);
  std::vector<std::string> contents;
  for (const auto& [name, content] : stored) contents.push_back(content);
  EXPECT_THAT(contents, UnorderedElementsAre("unique one", "unique two"));
}

TEST_P(RealServerTest, InterruptedUploadRestarts) {
  if (!ftp_.CanResume()) GTEST_SKIP() << "the server refused the restart probe";
  const std::string bytes = RandomBytes(static_cast<size_t>(3 * kMiB) + 5, 21);
  ftp_.DirectFile = true;
  ftp_.DirectFileName = LocalFile(local_, "big.bin", bytes);
  int64_t written = 0;
  ftp_.DSock().OnStatus = [&](TBlockSocket& sender, THookSocketReason reason,
                              const std::string& value) {
    if (reason != SR_BytesWritten) return;
    written += std::stoll(value);
    if (written >= kMiB) sender.StopFlag = true;
  };
  EXPECT_FALSE(ftp_.UploadFile("big.bin", false));
  ftp_.DSock().OnStatus = nullptr;
  const int64_t partial = ftp_.RemoteFileSize("big.bin");
  ASSERT_GT(partial, 0) << Diagnostics();
  ASSERT_LT(partial, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(Remote("big.bin"), bytes.substr(0, static_cast<size_t>(partial)));

  status_.entries.clear();
  ASSERT_TRUE(ftp_.UploadFile("big.bin", true)) << Diagnostics();
  EXPECT_EQ(Remote("big.bin"), bytes);
  const std::vector<std::string> commands = status_.Commands();
  ASSERT_EQ(commands.size(), 6u);
  EXPECT_EQ(commands[0], "SIZE big.bin");
  EXPECT_EQ(commands[1].rfind(DataCommandPrefix(), 0), 0u) << commands[1];
  EXPECT_THAT(std::vector<std::string>(commands.begin() + 2, commands.end()),
              ElementsAre("TYPE I", "ALLO " + std::to_string(bytes.size() - partial),
                          "REST " + std::to_string(partial), "STOR big.bin"));
}

TEST_P(RealServerTest, InterruptedDownloadRestarts) {
  if (!ftp_.CanResume()) GTEST_SKIP() << "the server refused the restart probe";
  const std::string bytes = RandomBytes(static_cast<size_t>(3 * kMiB) + 5, 31);
  ASSERT_TRUE(PutRemote("big.bin", bytes));
  ftp_.DirectFile = true;
  ftp_.DirectFileName = (local_ / "big.bin").string();
  int64_t read = 0;
  ftp_.DSock().OnStatus = [&](TBlockSocket& sender, THookSocketReason reason,
                              const std::string& value) {
    if (reason != SR_BytesRead) return;
    read += std::stoll(value);
    if (read >= kMiB) sender.StopFlag = true;
  };
  EXPECT_FALSE(ftp_.DownloadFile("big.bin", false));
  ftp_.DSock().OnStatus = nullptr;
  const std::optional<std::string> partial = local_.Read("big.bin");
  ASSERT_TRUE(partial);
  ASSERT_GT(partial->size(), 0u);
  ASSERT_LT(partial->size(), bytes.size());
  EXPECT_EQ(*partial, bytes.substr(0, partial->size()));

  status_.entries.clear();
  ASSERT_TRUE(ftp_.DownloadFile("big.bin", true)) << Diagnostics();
  EXPECT_EQ(local_.Read("big.bin"), bytes);
  const std::vector<std::string> commands = status_.Commands();
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands[0].rfind(DataCommandPrefix(), 0), 0u) << commands[0];
  EXPECT_THAT(std::vector<std::string>(commands.begin() + 1, commands.end()),
              ElementsAre("TYPE I", "REST " + std::to_string(partial->size()), "RETR big.bin"));
}

TEST_P(RealServerTest, ListingAndNameList) {
  ASSERT_TRUE(PutRemote("data.bin", std::string(1234, 'x')));
  ASSERT_TRUE(PutRemote("with space.txt", "12345"));
  ASSERT_TRUE(PutRemote("sub/inner.bin", std::string(77, 'y')));

  ASSERT_TRUE(ftp_.ListDirectory("", false)) << Diagnostics();
  std::map<std::string, std::pair<bool, int64_t>> entries;
  const TFTPList& list = ftp_.FtpList();
  for (int i = 0; i < list.EntryCount(); ++i) {
    const TFTPListRec* entry = list.GetEntry(i);
    entries[entry->EntryName] = {entry->IsDirectory, entry->SizeBytes};
  }
  EXPECT_EQ(list.UnparsedLines.size(), 0u) << ftp_.DataStream().Data();
  ASSERT_EQ(entries.size(), 3u) << ftp_.DataStream().Data();
  EXPECT_EQ(entries["data.bin"], std::make_pair(false, int64_t{1234}));
  EXPECT_EQ(entries["with space.txt"], std::make_pair(false, int64_t{5}));
  EXPECT_TRUE(entries["sub"].first);

  ASSERT_TRUE(ftp_.ListDirectory("sub", false)) << Diagnostics();
  ASSERT_EQ(ftp_.FtpList().EntryCount(), 1);
  EXPECT_EQ(ftp_.FtpList().GetEntry(0)->EntryName, "inner.bin");
  EXPECT_EQ(ftp_.FtpList().GetEntry(0)->SizeBytes, 77);

  ASSERT_TRUE(ftp_.ListDirectory("", true)) << Diagnostics();
  EXPECT_EQ(ftp_.FtpList().EntryCount(), 0);
  std::vector<std::string> names;
  std::istringstream lines(ftp_.DataStream().Data());
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) names.push_back(line);
  }
  EXPECT_THAT(names, UnorderedElementsAre("data.bin", "with space.txt", "sub"));
  const std::vector<std::string> commands = status_.Commands();
  EXPECT_THAT(commands, ::testing::Contains("LIST"));
  EXPECT_THAT(commands, ::testing::Contains("LIST sub"));
  EXPECT_THAT(commands, ::testing::Contains("NLST"));
}

TEST_P(RealServerTest, FileAndDirectoryCommands) {
  const std::string home = "/" + dir_;
  EXPECT_EQ(ftp_.CurrentDirectory(), home);
  EXPECT_TRUE(ftp_.SendNoOp());

  ASSERT_TRUE(ftp_.MakeDirectory("new dir")) << Diagnostics();
  EXPECT_TRUE(server_->Exists(dir_ + "/new dir"));
  ASSERT_TRUE(ftp_.ChangeDirectory("new dir")) << Diagnostics();
  EXPECT_EQ(ftp_.CurrentDirectory(), home + "/new dir");
  ASSERT_TRUE(ftp_.ChangeToParent()) << Diagnostics();
  EXPECT_EQ(ftp_.CurrentDirectory(), home);
  EXPECT_FALSE(ftp_.ChangeDirectory("no such dir"));
  ASSERT_TRUE(ftp_.RemoveDirectory("new dir")) << Diagnostics();
  EXPECT_FALSE(server_->Exists(dir_ + "/new dir"));
  EXPECT_FALSE(ftp_.RemoveDirectory("new dir"));

  ASSERT_TRUE(PutRemote("old name.txt", "content"));
  ASSERT_TRUE(ftp_.RenameRemoteFile("old name.txt", "new name.txt")) << Diagnostics();
  EXPECT_FALSE(server_->Exists(dir_ + "/old name.txt"));
  EXPECT_EQ(Remote("new name.txt"), "content");
  EXPECT_FALSE(ftp_.RenameRemoteFile("old name.txt", "other.txt"));
  EXPECT_EQ(ftp_.RemoteFileSize("new name.txt"), 7);
  EXPECT_EQ(ftp_.RemoteFileSize("old name.txt"), -1);
  ASSERT_TRUE(ftp_.DeleteRemoteFile("new name.txt")) << Diagnostics();
  EXPECT_FALSE(server_->Exists(dir_ + "/new name.txt"));
  EXPECT_FALSE(ftp_.DeleteRemoteFile("new name.txt"));

  ASSERT_TRUE(ftp_.ChangeToRoot()) << Diagnostics();
  EXPECT_EQ(ftp_.CurrentDirectory(), "/");
}

std::vector<RealCase> AllCases() {
  std::vector<RealCase> cases;
  for (const ServerKind* kind : {&kVsftpd, &kPyftpdlib}) {
    for (Family family : {Family::kIPv4, Family::kIPv6}) {
      for (bool passive : {true, false}) cases.push_back({*kind, family, passive});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerTest, ::testing::ValuesIn(AllCases()),
                         [](const auto& info) { return Name(info.param); });

// ---- Files of 3 GiB -------------------------------------------------------------------

class RealServerLargeFile : public ::testing::TestWithParam<RealCase> {
 public:
  static void TearDownTestSuite() { ServerCache().clear(); }
};

// A sparse file of size bytes whose last MiB is tail.
bool MakeSparseFile(const std::filesystem::path& path, int64_t size, const std::string& tail) {
  TFileStream file(path.string(), TFileStream::Mode::kCreate);
  file.SetSize(size - static_cast<int64_t>(tail.size()));
  file.SetPosition(file.Size());
  return file.Write(tail.data(), static_cast<int64_t>(tail.size())) ==
         static_cast<int64_t>(tail.size());
}

std::string ReadTail(const std::filesystem::path& path, int64_t count) {
  TFileStream file(path.string(), TFileStream::Mode::kRead);
  file.SetPosition(file.Size() - count);
  std::string bytes(static_cast<size_t>(count), '\0');
  bytes.resize(static_cast<size_t>(file.Read(bytes.data(), count)));
  return bytes;
}

TEST_P(RealServerLargeFile, RestartedTransfersBeyond2GiB) {
  const RealCase& c = GetParam();
  FtpDaemonFixture& server = SharedServer(c.kind, c.family);
  ZUD_REQUIRE_DAEMON(server);
  TempDir local;
  ASSERT_TRUE(local.ok());
  // Sparse files take almost no room; without sparse support they would
  // take all of it, so insist on room for them anyway.
  for (const std::filesystem::path& place : {local.path(), server.root()}) {
    std::error_code ec;
    const std::filesystem::space_info space = std::filesystem::space(place, ec);
    if (ec || space.available < static_cast<uintmax_t>(8 * kGiB)) {
      GTEST_SKIP() << "less than 8 GiB free in " << place << " for two 3 GiB files";
    }
  }
  const int64_t size = 3 * kGiB;
  const int64_t partial = size - kMiB;
  const std::string tail = RandomBytes(static_cast<size_t>(kMiB), 41);
  ASSERT_TRUE(MakeSparseFile(local / "big.bin", size, tail));
  // The server holds an interrupted copy: everything but the last MiB.
  ASSERT_TRUE(server.WriteFile("large/big.bin", ""));
  std::filesystem::resize_file(server.root() / "large" / "big.bin",
                               static_cast<uintmax_t>(partial));

  TFTPSend ftp;
  ftp.TargetHost = server.host();
  ftp.TargetPort = std::to_string(server.port());
  ftp.Timeout = 30000;
  ftp.UserName = server.user();
  ftp.Password = server.password();
  ftp.PassiveMode = c.passive;
  StatusRecorder status;
  status.Attach(ftp);
  ASSERT_TRUE(ftp.SignIn()) << ftp.ResultString() << "\n" << server.Log();
  ASSERT_TRUE(ftp.CanResume());
  ASSERT_TRUE(ftp.ChangeDirectory("large"));

  // Upload: only the tail goes over the wire.
  ftp.DirectFile = true;
  ftp.DirectFileName = (local / "big.bin").string();
  status.entries.clear();
  ASSERT_TRUE(ftp.UploadFile("big.bin", true)) << ftp.ResultString() << "\n" << server.Log();
  EXPECT_THAT(status.Commands(),
              ElementsAre("SIZE big.bin", ::testing::_, "TYPE I", "ALLO 1048576",
                          "REST 3220176896", "STOR big.bin"));
  EXPECT_EQ(ftp.DSock().BytesSent(), kMiB);
  EXPECT_EQ(ftp.RemoteFileSize("big.bin"), size);
  EXPECT_EQ(ReadTail(server.root() / "large" / "big.bin", kMiB), tail);
  // Restarting once more finds the copy complete and stores nothing.
  status.entries.clear();
  ASSERT_TRUE(ftp.UploadFile("big.bin", true));
  EXPECT_THAT(status.Commands(), ElementsAre("SIZE big.bin", ::testing::_, "TYPE I"));

  // Download: a local copy that lacks the last MiB gets exactly that.
  std::filesystem::resize_file(local / "big.bin", static_cast<uintmax_t>(partial));
  status.entries.clear();
  ASSERT_TRUE(ftp.DownloadFile("big.bin", true)) << ftp.ResultString();
  EXPECT_THAT(status.Commands(),
              ElementsAre(::testing::_, "TYPE I", "REST 3220176896", "RETR big.bin"));
  EXPECT_EQ(std::filesystem::file_size(local / "big.bin"), static_cast<uintmax_t>(size));
  EXPECT_EQ(ReadTail(local / "big.bin", kMiB), tail);
  ftp.SignOff();
  std::error_code ec;
  std::filesystem::remove(server.root() / "large" / "big.bin", ec);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, RealServerLargeFile,
    ::testing::Values(RealCase{kVsftpd, Family::kIPv4, true},
                      RealCase{kPyftpdlib, Family::kIPv6, false}),
    [](const auto& info) { return Name(info.param); });

}  // namespace
}  // namespace zud::test
