// Self-tests of the real FTP server fixtures: each must start, log in, store
// and serve files in both data modes, and honour its options, or later tests
// cannot trust what they report.
#include "support/ftp_daemons.h"

#include <memory>

#include "gtest/gtest.h"
#include "support/raw_ftp_client.h"

namespace zud::test {
namespace {

class FtpDaemonTest : public testing::TestWithParam<FtpServerKind> {
 protected:
  std::unique_ptr<FtpDaemonFixture> Start(FtpServerOptions options = {}) {
    options.family = GetParam().family;
    return GetParam().make(options);
  }
};

// A fixture whose program is installed must start; only absence may skip.
#define ASSERT_STARTED(server)                                            \
  do {                                                                    \
    if ((server)->missing()) GTEST_SKIP() << (server)->error();           \
    ASSERT_TRUE((server)->ok()) << (server)->error();                     \
  } while (0)

TEST_P(FtpDaemonTest, LogsInAndMovesFilesBothWays) {
  auto server = Start();
  ASSERT_STARTED(server);
  RawFtpClient ftp;
  ASSERT_TRUE(ftp.Connect(server->host(), server->port())) << ftp.error();
  EXPECT_EQ(ftp.reply_code(), 220);
  ASSERT_TRUE(ftp.Login(server->user(), server->password())) << ftp.reply();
  EXPECT_EQ(ftp.Command("PWD"), 257);
  EXPECT_NE(ftp.reply().find("\"/\""), std::string::npos) << ftp.reply();
  ASSERT_EQ(ftp.Command("TYPE I"), 200);

  const char kUpload[] = "binary\0\r\n\xff data";
  std::string upload(kUpload, sizeof(kUpload) - 1);
  EXPECT_EQ(ftp.Transfer("STOR up.bin", DataMode::kPassive, &upload, nullptr), 226)
      << ftp.reply() << ftp.error() << server->Log();
  EXPECT_EQ(server->ReadFile("/up.bin"), upload);

  ASSERT_TRUE(server->WriteFile("sub/down.txt", "served by the fixture"));
  std::string download;
  EXPECT_EQ(ftp.Transfer("RETR sub/down.txt", DataMode::kActive, nullptr, &download), 226)
      << ftp.reply() << ftp.error() << server->Log();
  EXPECT_EQ(download, "served by the fixture");
  // Files the fixture wrote belong to the FTP user: it may replace them.
  EXPECT_EQ(ftp.Command("DELE sub/down.txt"), 250) << ftp.reply();
  EXPECT_FALSE(server->Exists("sub/down.txt"));
  EXPECT_EQ(ftp.Command("QUIT"), 221);
}

TEST_P(FtpDaemonTest, RefusesWrongPasswordAndStoresInReadOnlyDir) {
  auto server = Start({.read_only_dir = true});
  ASSERT_STARTED(server);
  RawFtpClient wrong;
  ASSERT_TRUE(wrong.Connect(server->host(), server->port())) << wrong.error();
  EXPECT_FALSE(wrong.Login(server->user(), "not-the-password"));
  EXPECT_EQ(wrong.reply_code(), 530);

  RawFtpClient ftp;
  ASSERT_TRUE(ftp.Connect(server->host(), server->port())) << ftp.error();
  ASSERT_TRUE(ftp.Login(server->user(), server->password())) << ftp.reply();
  std::string data = "refused";
  int code = ftp.Transfer(std::string("STOR ") + FtpDaemonFixture::kReadOnlyDir + "/x.txt",
                          DataMode::kPassive, &data, nullptr);
  EXPECT_GE(code, 500) << ftp.reply();
  EXPECT_FALSE(server->Exists(std::string(FtpDaemonFixture::kReadOnlyDir) + "/x.txt"));
}

TEST_P(FtpDaemonTest, AnonymousOptionAdmitsAnonymous) {
  auto server = Start({.anonymous = true});
  ASSERT_STARTED(server);
  ASSERT_TRUE(server->WriteFile("public.txt", "for everyone"));
  RawFtpClient ftp;
  ASSERT_TRUE(ftp.Connect(server->host(), server->port())) << ftp.error();
  ASSERT_TRUE(ftp.Login("anonymous", "guest@example.com")) << ftp.reply() << server->Log();
  std::string download;
  EXPECT_EQ(ftp.Transfer("RETR public.txt", DataMode::kPassive, nullptr, &download), 226)
      << ftp.reply() << ftp.error();
  EXPECT_EQ(download, "for everyone");
  std::string data = "from anonymous";
  int code = ftp.Transfer("STOR anon.txt", DataMode::kPassive, &data, nullptr);
  if (server->anonymous_can_write()) {
    EXPECT_EQ(code, 226) << ftp.reply() << ftp.error() << server->Log();
    EXPECT_EQ(server->ReadFile("anon.txt"), data);
  } else {
    EXPECT_GE(code, 500) << ftp.reply();
    EXPECT_FALSE(server->Exists("anon.txt"));
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpDaemonTest, testing::ValuesIn(AllFtpServerKinds()),
                         [](const testing::TestParamInfo<FtpServerKind>& info) {
                           return FtpServerKindName(info.param);
                         });

}  // namespace
}  // namespace zud::test
