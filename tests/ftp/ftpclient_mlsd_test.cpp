// TFTPSend machine listings: FEAT decides whether MLSD and MLST are sent;
// their facts become entries. Against a scripted server for the dialogue and
// against pyftpdlib for real facts (exact sizes, modify times in UTC).
#include "ftp/ftpclient.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "ftp/ftpclient_test_support.h"
#include "ftp/ftpclient_transfer_support.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "support/ftp_daemons.h"

namespace zud::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kFeatures[] = "211-Features:\r\n EPSV\r\n MLST type*;size*;modify*;perm*;\r\n SIZE\r\n211 End";
constexpr char kMachineListing[] =
    "type=cdir;modify=20240101000000; .\r\n"
    "type=file;size=5000000000;modify=20240229235959;perm=r; big file.iso\r\n"
    "type=dir;modify=20230102030405;perm=el; pub\r\n";

TDateTime Utc(int year, int month, int day, int hour, int minute, int second) {
  TDateTime value = 0;
  EXPECT_TRUE(TryEncodeDateTime(year, month, day, hour, minute, second, 0, value));
  return value;
}

TEST(MachineListingTest, FeatureDecidesAndFactsBecomeEntries) {
  const struct {
    const char* name;
    const char* feat_reply;  // nullptr: the server's own FEAT
    bool machine;
  } cases[] = {
      {"announced", kFeatures, true},
      {"lower case", "211-Extensions:\r\n mlst size*;\r\n211 End", true},
      {"not announced", nullptr, false},
      {"no FEAT", "502 Command not implemented.", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedConversation talk;
    if (c.feat_reply != nullptr) talk.server.ReplyTo("FEAT", c.feat_reply);
    talk.server.On("MLSD", [](FtpSession& s, const std::string&) { s.RunDownload(kMachineListing); });
    talk.server.ReplyTo("MLST", "250-Listing pub\r\n type=dir;modify=20230102030405; /pub\r\n250 End");
    talk.ftp.PassiveMode = true;
    ASSERT_TRUE(talk.SignIn());
    EXPECT_EQ(talk.ftp.ListMachineDirectory("/in"), c.machine);
    EXPECT_EQ(talk.ftp.ReadMachineEntry("pub"), c.machine);
    if (!c.machine) {
      EXPECT_THAT(talk.Commands(), ElementsAre("FEAT"));  // asked once, nothing else sent
      EXPECT_EQ(talk.ftp.FtpList().EntryCount(), 0);
      continue;
    }
    EXPECT_THAT(talk.Commands(), ElementsAre("FEAT", "TYPE A", "PASV", "MLSD /in", "MLST pub"));
    ASSERT_EQ(talk.ftp.FtpList().EntryCount(), 1);
    EXPECT_EQ(talk.ftp.FtpList().GetEntry(0)->EntryName, "/pub");
    EXPECT_TRUE(talk.ftp.FtpList().GetEntry(0)->IsDirectory);
  }
}

TEST(MachineListingTest, ListingEntriesAndRepeatedFeatures) {
  ScriptedConversation talk;
  talk.server.ReplyTo("FEAT", kFeatures);
  talk.server.On("MLSD", [](FtpSession& s, const std::string&) { s.RunDownload(kMachineListing); });
  talk.ftp.PassiveMode = true;
  ASSERT_TRUE(talk.SignIn());
  ASSERT_TRUE(talk.ftp.ListMachineDirectory(""));
  ASSERT_TRUE(talk.ftp.ListMachineDirectory(""));
  EXPECT_THAT(talk.Commands(),
              ElementsAre("FEAT", "TYPE A", "PASV", "MLSD", "TYPE A", "PASV", "MLSD"));
  EXPECT_THAT(talk.ftp.Features(), ElementsAre("EPSV", "MLST type*;size*;modify*;perm*;", "SIZE"));
  EXPECT_EQ(talk.ftp.DataStream().Data(), kMachineListing);
  const TFTPList& list = talk.ftp.FtpList();
  ASSERT_EQ(list.EntryCount(), 2);
  EXPECT_EQ(list.GetEntry(0)->EntryName, "big file.iso");
  EXPECT_EQ(list.GetEntry(0)->SizeBytes, 5000000000);
  EXPECT_EQ(list.GetEntry(0)->ModifiedAt, Utc(2024, 2, 29, 23, 59, 59));
  EXPECT_TRUE(list.GetEntry(0)->IsReadable);
  EXPECT_EQ(list.GetEntry(1)->EntryName, "pub");
  EXPECT_TRUE(list.GetEntry(1)->IsDirectory);
  EXPECT_THAT(list.UnparsedLines, IsEmpty());
}

TEST(MachineListingTest, PyftpdlibFacts) {
  PyftpdlibServer server;
  ZUD_REQUIRE_DAEMON(server);
  const std::string content(123457, 'x');
  ASSERT_TRUE(server.WriteFile("dir/a file; with spaces.bin", content));
  ASSERT_TRUE(server.MakeDir("dir/sub"));
  const std::filesystem::path local = server.root() / "dir" / "a file; with spaces.bin";
  // A known instant, so that the UTC time can be checked to the second.
  const auto stamp = std::chrono::sys_days{std::chrono::year{2021} / 7 / 4} + std::chrono::hours{5} +
                     std::chrono::minutes{6} + std::chrono::seconds{7};
  std::filesystem::last_write_time(local, std::chrono::file_clock::from_sys(stamp));

  TFTPSend ftp;
  ftp.TargetHost = server.host();
  ftp.TargetPort = std::to_string(server.port());
  ftp.Timeout = 30000;
  ftp.UserName = server.user();
  ftp.Password = server.password();
  ftp.PassiveMode = true;
  ASSERT_TRUE(ftp.SignIn()) << ftp.ResultString() << "\n" << server.Log();
  ASSERT_TRUE(ftp.HasMachineListing());
  ASSERT_TRUE(ftp.ListMachineDirectory("/dir")) << ftp.ResultString() << "\n" << server.Log();
  const TFTPList& list = ftp.FtpList();
  EXPECT_THAT(list.UnparsedLines, IsEmpty()) << ftp.DataStream().Data();
  ASSERT_EQ(list.EntryCount(), 2) << ftp.DataStream().Data();
  const TFTPListRec* file = list.GetEntry(0)->IsDirectory ? list.GetEntry(1) : list.GetEntry(0);
  const TFTPListRec* dir = list.GetEntry(0)->IsDirectory ? list.GetEntry(0) : list.GetEntry(1);
  EXPECT_EQ(file->EntryName, "a file; with spaces.bin");
  EXPECT_EQ(file->SizeBytes, 123457);
  EXPECT_EQ(file->ModifiedAt, Utc(2021, 7, 4, 5, 6, 7));
  EXPECT_TRUE(file->IsReadable);
  EXPECT_EQ(dir->EntryName, "sub");
  EXPECT_TRUE(dir->IsDirectory);

  ASSERT_TRUE(ftp.ReadMachineEntry("/dir/a file; with spaces.bin")) << ftp.ResultString();
  EXPECT_EQ(ftp.FtpList().GetEntry(0)->SizeBytes, 123457);
  EXPECT_EQ(ftp.FtpList().GetEntry(0)->ModifiedAt, Utc(2021, 7, 4, 5, 6, 7));
  // LIST is as it always was.
  ASSERT_TRUE(ftp.ListDirectory("/dir", false));
  EXPECT_EQ(ftp.FtpList().EntryCount(), 2);
  EXPECT_NE(ftp.FtpList().GetEntry(0)->MatchedMask, "MLSD");
  ftp.SignOff();
}

}  // namespace
}  // namespace zud::test
