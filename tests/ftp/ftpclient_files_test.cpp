// TFTPSend file and directory operations against a scripted server, with
// whole command transcripts: listings, downloads and uploads (plain, unique,
// append, restarted, empty, 64-bit sizes and offsets), DirectFile with its
// local file closed on every path, the one-command operations and their
// reply forms.
#include "ftp/ftpclient.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftpclient_test_support.h"
#include "ftp/ftpclient_transfer_support.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "support/temp_dir.h"
#include "util/stream.h"

namespace zud::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr int64_t kGiB = int64_t{1} << 30;
constexpr int64_t kMiB = int64_t{1} << 20;

void SetData(TFTPSend& ftp, const std::string& bytes) {
  ftp.DataStream().Clear();
  ftp.DataStream().Write(bytes.data(), static_cast<int64_t>(bytes.size()));
}

// ---- Listings ------------------------------------------------------------------------

const char kListing[] =
    "drwxr-xr-x    2 1000     1000         4096 Jan 02  2020 pub\r\n"
    "-rw-r--r--    1 1000     1000         1234 Mar 04  2021 read me.txt\r\n"
    "-rw-r--r--    1 1000     1000   5000000000 May 06  2022 big.iso\n";
const char kNames[] = "pub\r\nread me.txt\r\nbig.iso\r\n";

struct ListCase {
  const char* name;
  std::string directory;
  bool names_only;
  std::string command;
};

class Listing : public ::testing::TestWithParam<ListCase> {};

TEST_P(Listing, CommandsStreamAndParsedEntries) {
  const ListCase& c = GetParam();
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.SetListing(kListing, kNames);
  // Leftovers of an earlier listing must go.
  SetData(talk.ftp, "old");
  talk.ftp.FtpList().Lines.push_back("old line");

  ASSERT_TRUE(talk.ftp.ListDirectory(c.directory, c.names_only)) << talk.ftp.ResultString();
  EXPECT_THAT(talk.Commands(), ElementsAre("TYPE A", "PASV", c.command));
  EXPECT_EQ(talk.ftp.DataStream().Position(), 0);
  if (c.names_only) {
    EXPECT_EQ(talk.ftp.DataStream().Data(), kNames);
    EXPECT_EQ(talk.ftp.FtpList().EntryCount(), 0);
    EXPECT_THAT(talk.ftp.FtpList().Lines, IsEmpty());
    return;
  }
  EXPECT_EQ(talk.ftp.DataStream().Data(), kListing);
  ASSERT_EQ(talk.ftp.FtpList().EntryCount(), 3);
  const TFTPList& list = talk.ftp.FtpList();
  EXPECT_EQ(list.Lines.size(), 3u);
  EXPECT_EQ(list.GetEntry(0)->EntryName, "pub");
  EXPECT_TRUE(list.GetEntry(0)->IsDirectory);
  EXPECT_EQ(list.GetEntry(1)->EntryName, "read me.txt");
  EXPECT_FALSE(list.GetEntry(1)->IsDirectory);
  EXPECT_EQ(list.GetEntry(1)->SizeBytes, 1234);
  EXPECT_EQ(list.GetEntry(2)->SizeBytes, 5000000000);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Listing,
    ::testing::Values(ListCase{"List", "", false, "LIST"},
                      ListCase{"ListDirectory", "pub", false, "LIST pub"},
                      ListCase{"ListUnquoted", "my dir \"x\"", false, "LIST my dir \"x\""},
                      ListCase{"NameList", "", true, "NLST"},
                      ListCase{"NameListDirectory", "pub", true, "NLST pub"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Listing, RefusedListLeavesEverythingEmpty) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.ReplyTo("LIST", "550 No such directory.");
  SetData(talk.ftp, "old");
  EXPECT_FALSE(talk.ftp.ListDirectory("nowhere", false));
  EXPECT_THAT(talk.Commands(), ElementsAre("TYPE A", "PASV", "LIST nowhere"));
  EXPECT_EQ(talk.ftp.DataStream().Size(), 0);
  EXPECT_EQ(talk.ftp.FtpList().EntryCount(), 0);
}

// ---- Operations that send nothing ------------------------------------------------------

struct NothingCase {
  const char* name;
  std::function<bool(TFTPSend&)> run;
};

class SendsNothing : public ::testing::TestWithParam<NothingCase> {};

TEST_P(SendsNothing, FailsAtOnce) {
  TempDir dir;
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.ftp.DirectFileName = (dir / "missing.bin").string();
  EXPECT_FALSE(GetParam().run(talk.ftp));
  EXPECT_THAT(talk.Commands(), IsEmpty());
  EXPECT_FALSE(dir.Exists("missing.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SendsNothing,
    ::testing::Values(
        NothingCase{"DownloadEmptyName", [](TFTPSend& f) { return f.DownloadFile("", false); }},
        NothingCase{"UploadEmptyName", [](TFTPSend& f) { return f.UploadFile("", true); }},
        NothingCase{"AppendEmptyName", [](TFTPSend& f) { return f.AppendToFile(""); }},
        NothingCase{"UploadMissingLocalFile",
                    [](TFTPSend& f) {
                      f.DirectFile = true;
                      return f.UploadFile("x", false);
                    }},
        NothingCase{"UniqueMissingLocalFile",
                    [](TFTPSend& f) {
                      f.DirectFile = true;
                      return f.UploadUniqueFile();
                    }},
        NothingCase{"AppendMissingLocalFile",
                    [](TFTPSend& f) {
                      f.DirectFile = true;
                      return f.AppendToFile("x");
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Uploads ------------------------------------------------------------------------------

struct UploadCase {
  const char* name;
  std::string local;                 // DataStream contents
  std::optional<std::string> remote;  // the server's copy before, if any
  bool restart;
  bool can_resume;                   // the server passes the restart probe
  std::vector<std::string> commands;
  std::string remote_after;
};

class Upload : public ::testing::TestWithParam<UploadCase> {};

TEST_P(Upload, TranscriptAndRemoteCopy) {
  const UploadCase& c = GetParam();
  ScriptedConversation talk;
  if (!c.can_resume) talk.server.ReplyTo("REST", "502 REST not implemented.");
  ASSERT_TRUE(talk.SignIn());
  ASSERT_EQ(talk.ftp.CanResume(), c.can_resume);
  talk.server.On("REST", *DefaultFtpHandler("REST"));  // a real REST again
  if (c.remote) talk.server.PutFile("f", *c.remote);
  SetData(talk.ftp, c.local);
  talk.ftp.DataStream().SetPosition(1);  // the upload picks its own position

  EXPECT_TRUE(talk.ftp.UploadFile("f", c.restart)) << talk.ftp.ResultString();
  EXPECT_THAT(talk.Commands(), ElementsAreArray(c.commands));
  EXPECT_EQ(talk.server.File("f").value_or("<none>"), c.remote_after);
  EXPECT_EQ(talk.server.Errors(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Upload,
    ::testing::Values(
        UploadCase{"Plain", "hello", std::nullopt, false, true,
                   {"PASV", "TYPE I", "ALLO 5", "REST 0", "STOR f"}, "hello"},
        UploadCase{"PlainWithoutResume", "hello", std::nullopt, true, false,
                   {"PASV", "TYPE I", "ALLO 5", "STOR f"}, "hello"},
        // Nothing to send, but the store still happens.
        UploadCase{"Empty", "", std::nullopt, false, true,
                   {"PASV", "TYPE I", "ALLO 0", "REST 0", "STOR f"}, ""},
        UploadCase{"RestartedEmptyOverEmpty", "", std::string(), true, true,
                   {"SIZE f", "PASV", "TYPE I", "ALLO 0", "REST 0", "STOR f"}, ""},
        UploadCase{"RestartFromRemoteSize", "0123456789", std::string("0123"), true, true,
                   {"SIZE f", "PASV", "TYPE I", "ALLO 6", "REST 4", "STOR f"}, "0123456789"},
        // The remote copy is whole already: no store command at all.
        UploadCase{"RestartComplete", "0123456789", std::string("0123456789"), true, true,
                   {"SIZE f", "PASV", "TYPE I"}, "0123456789"},
        // SIZE fails: from the start.
        UploadCase{"RestartWithoutRemoteFile", "0123456789", std::nullopt, true, true,
                   {"SIZE f", "PASV", "TYPE I", "ALLO 10", "REST 0", "STOR f"}, "0123456789"},
        // A remote copy longer than the local file: from the start.
        UploadCase{"RestartRemoteLonger", "0123", std::string("0123456789"), true, true,
                   {"SIZE f", "PASV", "TYPE I", "ALLO 4", "REST 0", "STOR f"}, "0123"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Upload, AsciiTypeAndTheOtherStoreCommands) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.ftp.BinaryMode = false;
  talk.server.PutFile("log", "a\r\n");
  SetData(talk.ftp, "b\r\n");
  ASSERT_TRUE(talk.ftp.AppendToFile("log"));
  SetData(talk.ftp, "unique");
  ASSERT_TRUE(talk.ftp.UploadUniqueFile());
  EXPECT_THAT(talk.Commands(),
              ElementsAre("PASV", "TYPE A", "ALLO 3", "REST 0", "APPE log",  //
                          "PASV", "TYPE A", "ALLO 6", "REST 0", "STOU"));
  EXPECT_EQ(talk.server.File("log"), "a\r\nb\r\n");
  EXPECT_EQ(talk.server.File("stou.1"), "unique");
}

struct RefusedCase {
  const char* name;
  std::string verb;
  std::string reply;
  std::function<bool(TFTPSend&)> run;
  std::vector<std::string> commands;
};

class Refused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(Refused, StopsBeforeTheTransfer) {
  const RefusedCase& c = GetParam();
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.PutFile("f", "remote");
  talk.server.ReplyTo(c.verb, c.reply);
  SetData(talk.ftp, "local data");
  EXPECT_FALSE(c.run(talk.ftp));
  EXPECT_THAT(talk.Commands(), ElementsAreArray(c.commands));
  EXPECT_EQ(talk.server.File("f"), "remote");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refused,
    ::testing::Values(
        // A restart from an offset that the server does not take would
        // store or fetch the wrong bytes.
        RefusedCase{"UploadRestAnswered2", "REST", "200 Whatever.",
                    [](TFTPSend& f) { return f.UploadFile("f", true); },
                    {"SIZE f", "PASV", "TYPE I", "ALLO 4", "REST 6"}},
        RefusedCase{"UploadRestAnswered5", "REST", "502 No.",
                    [](TFTPSend& f) { return f.UploadFile("f", true); },
                    {"SIZE f", "PASV", "TYPE I", "ALLO 4", "REST 6"}},
        RefusedCase{"DownloadRestAnswered2", "REST", "200 Whatever.",
                    [](TFTPSend& f) { return f.DownloadFile("f", true); },
                    {"PASV", "TYPE I", "REST 10"}},
        RefusedCase{"DownloadRestAnswered5", "REST", "502 No.",
                    [](TFTPSend& f) { return f.DownloadFile("f", true); },
                    {"PASV", "TYPE I", "REST 10"}},
        RefusedCase{"StoreRefused", "STOR", "553 Not allowed.",
                    [](TFTPSend& f) { return f.UploadFile("f", false); },
                    {"PASV", "TYPE I", "ALLO 10", "REST 0", "STOR f"}},
        // A store command answered with class 2 is no transfer either.
        RefusedCase{"StoreAnswered2", "STOR", "226 Done already?",
                    [](TFTPSend& f) { return f.UploadFile("f", false); },
                    {"PASV", "TYPE I", "ALLO 10", "REST 0", "STOR f"}},
        RefusedCase{"RetrieveRefused", "RETR", "550 No such file.",
                    [](TFTPSend& f) { return f.DownloadFile("f", false); },
                    {"PASV", "TYPE I", "RETR f"}},
        RefusedCase{"PassiveRefused", "PASV", "421 Too busy.",
                    [](TFTPSend& f) { return f.UploadFile("f", false); }, {"PASV"}}),
    [](const auto& info) { return std::string(info.param.name); });

// "REST 0" before a store asks for nothing: a server that refuses it
// (pyftpdlib does in ASCII type) still gets the whole file. A restarted
// download asked for the restart, so there the refusal fails it.
TEST(RestZeroRefused, UploadGoesOnFromTheStartARestartedDownloadFails) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.ReplyTo("REST", "501 Resuming transfers not allowed in ASCII mode.");
  SetData(talk.ftp, "text\n");
  ASSERT_TRUE(talk.ftp.UploadFile("f", false));
  talk.ftp.DataStream().Clear();
  ASSERT_FALSE(talk.ftp.DownloadFile("f", true));
  EXPECT_EQ(talk.ftp.DataStream().Data(), "");
  EXPECT_THAT(talk.Commands(), ElementsAre("PASV", "TYPE I", "ALLO 5", "REST 0", "STOR f",  //
                                           "PASV", "TYPE I", "REST 0"));
}

// ---- Downloads ------------------------------------------------------------------------------

TEST(Download, IntoDataStreamReplacesItAndRewinds) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.PutFile("f", "new contents");
  SetData(talk.ftp, "old contents that are longer");
  talk.ftp.BinaryMode = false;
  ASSERT_TRUE(talk.ftp.DownloadFile("f", false));
  EXPECT_EQ(talk.ftp.DataStream().Data(), "new contents");
  EXPECT_EQ(talk.ftp.DataStream().Position(), 0);
  EXPECT_THAT(talk.Commands(), ElementsAre("PASV", "TYPE A", "RETR f"));
}

TEST(Download, RestartedIntoDataStreamKeepsWhatIsThere) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.PutFile("f", "0123456789");
  SetData(talk.ftp, "0123");
  talk.ftp.DataStream().SetPosition(0);
  ASSERT_TRUE(talk.ftp.DownloadFile("f", true));
  EXPECT_EQ(talk.ftp.DataStream().Data(), "0123456789");
  EXPECT_THAT(talk.Commands(), ElementsAre("PASV", "TYPE I", "REST 4", "RETR f"));
}

struct DirectDownloadCase {
  const char* name;
  std::optional<std::string> local;  // the local file before, if any
  bool restart;
  std::vector<std::string> commands;
  std::string local_after;
};

class DirectDownload : public ::testing::TestWithParam<DirectDownloadCase> {};

TEST_P(DirectDownload, LocalFileAndTranscript) {
  const DirectDownloadCase& c = GetParam();
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  if (c.local) {
    ASSERT_TRUE(dir.Write("local.bin", *c.local));
  }
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.PutFile("f", "0123456789");
  talk.ftp.DirectFile = true;
  talk.ftp.DirectFileName = (dir / "local.bin").string();
  SetData(talk.ftp, "untouched");
  ASSERT_TRUE(talk.ftp.DownloadFile("f", c.restart));
  EXPECT_THAT(talk.Commands(), ElementsAreArray(c.commands));
  EXPECT_EQ(dir.Read("local.bin"), c.local_after);
  EXPECT_EQ(talk.ftp.DataStream().Data(), "untouched");
  EXPECT_FALSE(FileIsOpen(dir / "local.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DirectDownload,
    ::testing::Values(
        DirectDownloadCase{"Created", std::nullopt, false, {"PASV", "TYPE I", "RETR f"},
                           "0123456789"},
        DirectDownloadCase{"Truncated", std::string("a much longer old local file"), false,
                           {"PASV", "TYPE I", "RETR f"}, "0123456789"},
        DirectDownloadCase{"Resumed", std::string("0123"), true,
                           {"PASV", "TYPE I", "REST 4", "RETR f"}, "0123456789"},
        DirectDownloadCase{"ResumedWithoutLocalFile", std::nullopt, true,
                           {"PASV", "TYPE I", "REST 0", "RETR f"}, "0123456789"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Download, ALocalFileThatCannotBeCreatedThrowsAfterNegotiation) {
  TempDir dir;
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.PutFile("f", "x");
  talk.ftp.DirectFile = true;
  talk.ftp.DirectFileName = (dir / "no-such-dir" / "local.bin").string();
  EXPECT_THROW(talk.ftp.DownloadFile("f", false), EFileOpenError);
  EXPECT_THAT(talk.Commands(), ElementsAre("PASV"));
  // The next transfer negotiates afresh.
  talk.ftp.DirectFile = false;
  EXPECT_TRUE(talk.ftp.DownloadFile("f", false));
  EXPECT_EQ(talk.ftp.DataStream().Data(), "x");
}

// ---- The local file is closed on every path ----------------------------------------

struct ClosedCase {
  const char* name;
  std::string verb;  // answered with an error ("" for none)
  std::function<bool(TFTPSend&)> run;
  bool succeeds;
};

class LocalFileClosed : public ::testing::TestWithParam<ClosedCase> {};

TEST_P(LocalFileClosed, AfterEveryOutcome) {
  const ClosedCase& c = GetParam();
  TempDir dir;
  ASSERT_TRUE(dir.Write("local.bin", "0123456789"));
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.PutFile("f", "0123456789abc");
  talk.server.PutFile("part", "0123");
  if (!c.verb.empty()) talk.server.ReplyTo(c.verb, "550 Refused.");
  talk.ftp.DirectFile = true;
  talk.ftp.DirectFileName = (dir / "local.bin").string();
  EXPECT_EQ(c.run(talk.ftp), c.succeeds);
  EXPECT_FALSE(FileIsOpen(dir / "local.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocalFileClosed,
    ::testing::Values(
        ClosedCase{"UploadDone", "", [](TFTPSend& f) { return f.UploadFile("f", false); }, true},
        ClosedCase{"UploadComplete", "",
                   [](TFTPSend& f) { return f.UploadFile("f", true); }, true},
        ClosedCase{"UploadPasvRefused", "PASV",
                   [](TFTPSend& f) { return f.UploadFile("f", false); }, false},
        ClosedCase{"UploadRestRefused", "REST",
                   [](TFTPSend& f) { return f.UploadFile("part", true); }, false},
        ClosedCase{"UploadStoreRefused", "STOR",
                   [](TFTPSend& f) { return f.UploadFile("f", false); }, false},
        ClosedCase{"AppendRefused", "APPE", [](TFTPSend& f) { return f.AppendToFile("f"); },
                   false},
        ClosedCase{"DownloadDone", "", [](TFTPSend& f) { return f.DownloadFile("f", true); },
                   true},
        ClosedCase{"DownloadRestRefused", "REST",
                   [](TFTPSend& f) { return f.DownloadFile("f", true); }, false},
        ClosedCase{"DownloadRetrRefused", "RETR",
                   [](TFTPSend& f) { return f.DownloadFile("f", false); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LocalFileClosed, WhenTheFinalReplyNeverComes) {
  TempDir dir;
  ASSERT_TRUE(dir.Write("local.bin", "0123456789"));
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.SetDataFaults({.no_final_reply = true});
  talk.ftp.Timeout = 300;
  talk.ftp.DirectFile = true;
  talk.ftp.DirectFileName = (dir / "local.bin").string();
  EXPECT_FALSE(talk.ftp.UploadFile("f", false));
  EXPECT_FALSE(FileIsOpen(dir / "local.bin"));
}

// ---- 64-bit sizes and offsets ------------------------------------------------------------

class LargeLocalFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    // Sparse where the file system allows; room for a real one otherwise.
    std::error_code ec;
    const std::filesystem::space_info space = std::filesystem::space(dir_.path(), ec);
    if (ec || space.available < static_cast<uintmax_t>(4 * kGiB)) {
      GTEST_SKIP() << "less than 4 GiB free in " << dir_.path() << " for a 3 GiB file";
    }
    path_ = dir_ / "large.bin";
    TFileStream file(path_.string(), TFileStream::Mode::kCreate);
    file.SetSize(3 * kGiB);
    file.SetPosition(3 * kGiB - 4);
    file.Write("tail", 4);
  }
  TempDir dir_;
  std::filesystem::path path_;
};

TEST_F(LargeLocalFile, RestartedUploadSendsTheTailFromAnOffsetBeyond2GiB) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  const int64_t remote_size = 3 * kGiB - kMiB;
  talk.server.On("SIZE", [remote_size](FtpSession& s, const std::string&) {
    s.Reply("213 " + std::to_string(remote_size));
  });
  talk.ftp.DirectFile = true;
  talk.ftp.DirectFileName = path_.string();
  ASSERT_TRUE(talk.ftp.UploadFile("big", true)) << talk.ftp.ResultString();
  EXPECT_THAT(talk.Commands(), ElementsAre("SIZE big", "PASV", "TYPE I", "ALLO 1048576",
                                           "REST 3220176896", "STOR big"));
  const std::optional<std::string> stored = talk.server.File("big");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), static_cast<size_t>(kMiB));
  EXPECT_EQ(stored->substr(stored->size() - 4), "tail");
  EXPECT_EQ(talk.ftp.DSock().BytesSent(), kMiB);
}

TEST_F(LargeLocalFile, RestartedUploadOfACompleteCopyStoresNothing) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.ReplyTo("SIZE", "213 3221225472");
  talk.ftp.DirectFile = true;
  talk.ftp.DirectFileName = path_.string();
  EXPECT_TRUE(talk.ftp.UploadFile("big", true));
  EXPECT_THAT(talk.Commands(), ElementsAre("SIZE big", "PASV", "TYPE I"));
}

TEST_F(LargeLocalFile, ResumedDownloadAsksForTheRestBeyond2GiB) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.On("RETR", [](FtpSession& s, const std::string&) { s.RunDownload("more"); });
  talk.ftp.DirectFile = true;
  talk.ftp.DirectFileName = path_.string();
  ASSERT_TRUE(talk.ftp.DownloadFile("big", true));
  EXPECT_THAT(talk.Commands(), ElementsAre("PASV", "TYPE I", "REST 3221225472", "RETR big"));
  TFileStream file(path_.string(), TFileStream::Mode::kRead);
  EXPECT_EQ(file.Size(), 3 * kGiB + 4);
  file.SetPosition(3 * kGiB - 4);
  std::string tail(8, '\0');
  EXPECT_EQ(file.Read(tail.data(), 8), 8);
  EXPECT_EQ(tail, "tailmore");
}

// ---- One-command operations ----------------------------------------------------------------

struct SimpleCase {
  const char* name;
  std::function<bool(TFTPSend&)> run;
  std::vector<std::string> commands;
  std::string verb_to_refuse;  // answered 550: the operation fails
};

class SimpleOperation : public ::testing::TestWithParam<SimpleCase> {};

TEST_P(SimpleOperation, SucceedsOnClass2AndFailsOtherwise) {
  const SimpleCase& c = GetParam();
  {
    ScriptedConversation talk;
    ASSERT_TRUE(talk.SignIn());
    talk.server.PutFile("my file \"1\".txt", "x");
    EXPECT_TRUE(c.run(talk.ftp)) << talk.ftp.ResultString();
    EXPECT_THAT(talk.Commands(), ElementsAreArray(c.commands));
  }
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.PutFile("my file \"1\".txt", "x");
  talk.server.ReplyTo(c.verb_to_refuse, "550 Refused.");
  EXPECT_FALSE(c.run(talk.ftp));
  EXPECT_EQ(talk.Commands().back().substr(0, c.verb_to_refuse.size()), c.verb_to_refuse);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimpleOperation,
    ::testing::Values(
        SimpleCase{"Delete", [](TFTPSend& f) { return f.DeleteRemoteFile("my file \"1\".txt"); },
                   {"DELE my file \"1\".txt"}, "DELE"},
        SimpleCase{"Rename",
                   [](TFTPSend& f) { return f.RenameRemoteFile("my file \"1\".txt", "b c"); },
                   {"RNFR my file \"1\".txt", "RNTO b c"}, "RNTO"},
        SimpleCase{"NoOp", [](TFTPSend& f) { return f.SendNoOp(); }, {"NOOP"}, "NOOP"},
        SimpleCase{"ChangeDirectory", [](TFTPSend& f) { return f.ChangeDirectory("a b/c"); },
                   {"CWD a b/c"}, "CWD"},
        SimpleCase{"ChangeToParent", [](TFTPSend& f) { return f.ChangeToParent(); }, {"CDUP"},
                   "CDUP"},
        SimpleCase{"ChangeToRoot", [](TFTPSend& f) { return f.ChangeToRoot(); }, {"CWD /"},
                   "CWD"},
        SimpleCase{"MakeDirectory", [](TFTPSend& f) { return f.MakeDirectory("new dir"); },
                   {"MKD new dir"}, "MKD"},
        SimpleCase{"RemoveDirectory", [](TFTPSend& f) { return f.RemoveDirectory("old dir"); },
                   {"RMD old dir"}, "RMD"}),
    [](const auto& info) { return std::string(info.param.name); });

struct RenameCase {
  const char* name;
  std::string rnfr_reply;
};

class RenameRefused : public ::testing::TestWithParam<RenameCase> {};

TEST_P(RenameRefused, SendsNoRNTO) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.ReplyTo("RNFR", GetParam().rnfr_reply);
  EXPECT_FALSE(talk.ftp.RenameRemoteFile("a", "b"));
  EXPECT_THAT(talk.Commands(), ElementsAre("RNFR a"));
}

INSTANTIATE_TEST_SUITE_P(Cases, RenameRefused,
                         ::testing::Values(RenameCase{"Class2", "250 Renamed already?"},
                                           RenameCase{"Class5", "550 No such file."}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SizeCase {
  const char* name;
  std::string reply;
  int64_t size;
};

class RemoteSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(RemoteSize, ReplyForms) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.ReplyTo("SIZE", GetParam().reply);
  EXPECT_EQ(talk.ftp.RemoteFileSize("dir/a file"), GetParam().size);
  EXPECT_THAT(talk.Commands(), ElementsAre("SIZE dir/a file"));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RemoteSize,
    ::testing::Values(SizeCase{"Plain", "213 1024", 1024}, SizeCase{"Zero", "213 0", 0},
                      SizeCase{"NonDigits", "213 lots", -1},
                      SizeCase{"TrailingText", "213 1024 bytes", 1024},
                      SizeCase{"ExtraSpaces", "213    77   ", 77},
                      SizeCase{"Hex", "213 $400", 1024},
                      SizeCase{"Empty", "213 ", -1},
                      SizeCase{"Negative", "213 -5", -5},
                      SizeCase{"Class5", "550 Could not get file size.", -1},
                      SizeCase{"Class3", "350 1024", -1},
                      SizeCase{"Above2GiB", "213 3221225472", 3221225472},
                      SizeCase{"Above4GiB", "213 1099511627776", 1099511627776}),
    [](const auto& info) { return std::string(info.param.name); });

struct PwdCase {
  const char* name;
  std::string reply;
  std::string directory;
};

class CurrentDirectory : public ::testing::TestWithParam<PwdCase> {};

TEST_P(CurrentDirectory, ReplyForms) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.ReplyTo("PWD", GetParam().reply);
  EXPECT_EQ(talk.ftp.CurrentDirectory(), GetParam().directory);
  EXPECT_THAT(talk.Commands(), ElementsAre("PWD"));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, CurrentDirectory,
    ::testing::Values(
        PwdCase{"Quoted", "257 \"/pub/incoming\" is the current directory", "/pub/incoming"},
        PwdCase{"QuotedWithSpaces", "257 \" /a b \" here", "/a b"},
        PwdCase{"NoQuotes", "257 /no/quotes here ", "257 /no/quotes here"},
        PwdCase{"OneQuote", "257 \"/open", "/open"},
        PwdCase{"Class5", "550 Permission denied.", ""},
        PwdCase{"MultiLine", "257-Some text\r\n257 \"/last\" line", "/last"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zud::test
