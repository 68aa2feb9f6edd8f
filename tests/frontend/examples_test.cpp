// The README's example programs (examples/) as a user runs them: an FTPS
// upload checked against the test CA, a listing by LIST and MLSD, a
// download through a SOCKS 5 proxy with a login, and a folder deployed with
// sync twice, each against real servers.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "frontend/child_process.h"
#include "ftp/ftpclient_transfer_support.h"
#include "support/ftp_daemons.h"
#include "support/proxy_daemons.h"
#include "support/temp_dir.h"

namespace zud {
namespace {

using test::FtpTls;
using test::SharedTestCertificates;
using test::TempDir;
using test::TestCertificates;
using testing_support::RunChild;
using testing_support::TChildResult;
using testing_support::TChildRun;

// Runs an example; its standard error goes to error_path when one is given.
TChildResult RunExample(const std::string& name, std::vector<std::string> args,
                        const std::string& error_path = "") {
  const std::string path = ZUD_BINARY_DIR "/examples/" + name;
  if (!std::filesystem::exists(path)) return {};
  TChildRun run;
  run.args = std::move(args);
  run.error_path = error_path;
  return RunChild(path, run);
}

#define ZUD_REQUIRE_EXAMPLE(result) \
  if (!(result).started) GTEST_SKIP() << "examples not built (ZUD_BUILD_EXAMPLES=OFF)"

struct UploadCase {
  const char* name;
  TestCertificates::Kind certificate;
  int exit_status;
};

class FtpsUploadExample : public ::testing::TestWithParam<UploadCase> {};

TEST_P(FtpsUploadExample, StoresOnlyToTheTrustedServer) {
  const UploadCase& c = GetParam();
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  test::VsftpdServer server(
      {.tls = FtpTls::kExplicit, .certificate = SharedTestCertificates().Get(c.certificate)});
  ZUD_REQUIRE_DAEMON(server);
  TempDir local;
  const std::string bytes = test::RandomBytes(300 * 1024);
  ASSERT_TRUE(local.Write("report.bin", bytes));

  const TChildResult run = RunExample(
      "ftps_upload", {server.host(), std::to_string(server.port()), server.user(),
                      server.password(), SharedTestCertificates().ca_file(),
                      (local.path() / "report.bin").string(), "report.bin"},
      (local.path() / "stderr.txt").string());
  ZUD_REQUIRE_EXAMPLE(run);
  EXPECT_EQ(run.exit_status, c.exit_status) << run.output;
  if (c.exit_status == 0) {
    EXPECT_TRUE(server.ReadFile("report.bin") == bytes);
    EXPECT_NE(run.output.find("over TLSv1."), std::string::npos) << run.output;
  } else {
    EXPECT_FALSE(server.Exists("report.bin"));
    EXPECT_NE(local.Read("stderr.txt").value_or("").find("certificate verify failed"),
              std::string::npos)
        << local.Read("stderr.txt").value_or("");
  }
}

INSTANTIATE_TEST_SUITE_P(Certificates, FtpsUploadExample,
                         ::testing::Values(UploadCase{"Trusted", TestCertificates::kGood, 0},
                                           UploadCase{"UnknownCA", TestCertificates::kUnknownCA, 1},
                                           UploadCase{"OtherName", TestCertificates::kOtherName, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ListDirectoryExample, ListsByListAndByMachineListingWhereTheServerHasIt) {
  struct Case {
    std::unique_ptr<test::FtpDaemonFixture> server;
    bool machine_listing;
  };
  Case cases[] = {{test::MakePyftpdlib({}), true}, {test::MakeVsftpd({}), false}};
  for (Case& c : cases) {
    test::FtpDaemonFixture& server = *c.server;
    ZUD_REQUIRE_DAEMON(server);
    ASSERT_TRUE(server.WriteFile("pub/notes.txt", "twelve bytes"));
    ASSERT_TRUE(server.MakeDir("pub/old"));
    const TChildResult run =
        RunExample("list_directory", {server.host(), std::to_string(server.port()),
                                      server.user(), server.password(), "/pub"});
    ZUD_REQUIRE_EXAMPLE(run);
    EXPECT_EQ(run.exit_status, 0) << run.output;
    EXPECT_NE(run.output.find("LIST file           12 "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(" notes.txt\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("LIST dir "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(" local notes.txt\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("MLSD file           12 ") != std::string::npos, c.machine_listing)
        << run.output;
    EXPECT_EQ(run.output.find(" UTC   notes.txt\n") != std::string::npos, c.machine_listing)
        << run.output;
  }
}

TEST(SocksDownloadExample, FetchesTheFileThroughAProxyThatWantsALogin) {
  test::MicrosocksServer proxy({.user = "zud", .password = "secret"});
  ZUD_REQUIRE_DAEMON(proxy);
  test::PyftpdlibServer server;
  ZUD_REQUIRE_DAEMON(server);
  const std::string bytes = test::RandomBytes(500 * 1024);
  ASSERT_TRUE(server.WriteFile("data.bin", bytes));
  TempDir local;
  const std::string target = (local.path() / "data.bin").string();

  std::vector<std::string> args = {proxy.host(), std::to_string(proxy.port()), "zud", "secret",
                                   server.host(), std::to_string(server.port()), server.user(),
                                   server.password(), "data.bin", target};
  const TChildResult run = RunExample("socks_download", args);
  ZUD_REQUIRE_EXAMPLE(run);
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_TRUE(local.Read("data.bin") == bytes);

  args[3] = "wrong";
  const std::string error_path = (local.path() / "stderr.txt").string();
  EXPECT_EQ(RunExample("socks_download", args, error_path).exit_status, 1);
  EXPECT_NE(local.Read("stderr.txt").value_or("").find("SOCKS proxy refused the login"),
            std::string::npos)
      << local.Read("stderr.txt").value_or("");
}

TEST(DeploySiteExample, SendsTheFolderThenOnlyWhatChanged) {
  test::PyftpdlibServer server;
  ZUD_REQUIRE_DAEMON(server);
  TempDir local;
  ASSERT_TRUE(local.Write("site/index.html", "hello") && local.Write("site/css/a.css", "body{}") &&
              local.Write("site/old.txt", "old"));
  const std::vector<std::string> args = {server.host(), std::to_string(server.port()),
                                         server.user(), server.password(),
                                         (local.path() / "site").string(), "/www"};
  const TChildResult first = RunExample("deploy_site", args);
  ZUD_REQUIRE_EXAMPLE(first);
  EXPECT_EQ(first.exit_status, 0) << first.output;
  EXPECT_NE(first.output.find("sent    /www/css/a.css (6 B)\n"), std::string::npos) << first.output;
  EXPECT_NE(first.output.find("3 sent, 0 unchanged, 0 deleted, 0 failed, 14 B in "),
            std::string::npos)
      << first.output;
  EXPECT_EQ(server.ReadFile("www/css/a.css").value_or(""), "body{}");

  std::filesystem::remove(local.path() / "site/old.txt");
  ASSERT_TRUE(local.Write("site/index.html", "hello again"));
  const TChildResult second = RunExample("deploy_site", args);
  EXPECT_EQ(second.exit_status, 0) << second.output;
  EXPECT_NE(second.output.find("deleted /www/old.txt\n"), std::string::npos) << second.output;
  EXPECT_NE(second.output.find("1 sent, 1 unchanged, 1 deleted, 0 failed"), std::string::npos)
      << second.output;
  EXPECT_EQ(server.ReadFile("www/index.html").value_or(""), "hello again");
  EXPECT_FALSE(server.Exists("www/old.txt"));
}

}  // namespace
}  // namespace zud
