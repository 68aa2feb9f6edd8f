// Acceptance of the TLS switches: the built ftpupload against vsftpd
// (explicit and implicit TLS, session reuse required) and pyftpdlib's TLS
// handler. A run that succeeds stores the exact bytes; a run that fails
// because of TLS ends with exit status 6, says why on standard error and
// never echoes USER or PASS. A plain run does not even load OpenSSL.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frontend/child_process.h"
#include "ftp/ftpclient_transfer_support.h"
#include "support/ftp_daemons.h"
#include "support/temp_dir.h"

namespace zud {
namespace {

using test::FtpDaemonFixture;
using test::FtpTls;
using test::SharedTestCertificates;
using test::TempDir;
using test::TestCertificates;
using testing_support::RunChild;
using testing_support::TChildResult;
using testing_support::TChildRun;

const std::string kProgram = ZUD_BINARY_DIR "/ftpupload";

enum class Server { kVsftpd, kPyftpdlib };

struct ServerSetup {
  Server server;
  FtpTls tls;
  TestCertificates::Kind certificate;
};

FtpDaemonFixture& Start(const ServerSetup& s) {
  static std::map<std::tuple<Server, FtpTls, int>, std::unique_ptr<FtpDaemonFixture>> servers;
  auto& slot = servers[{s.server, s.tls, s.certificate}];
  if (!slot) {
    test::FtpServerOptions options{.tls = s.tls,
                                   .certificate = SharedTestCertificates().Get(s.certificate)};
    slot = s.server == Server::kVsftpd ? test::MakeVsftpd(options) : test::MakePyftpdlib(options);
  }
  return *slot;
}

struct RunCase {
  const char* name;
  ServerSetup setup;
  std::vector<std::string> switches;  // besides host, port, user, pass, file
  int exit_status;
  const char* error;                  // expected in standard error; "" for none
};

class TlsRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(TlsRun, StoresTheFileOrSaysWhyNot) {
  const RunCase& c = GetParam();
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  FtpDaemonFixture& server = Start(c.setup);
  ZUD_REQUIRE_DAEMON(server);
  TempDir local;
  const std::string name = std::string(c.name) + ".bin";
  const std::string bytes = test::RandomBytes(200 * 1024);
  ASSERT_TRUE(local.Write(name, bytes));

  TChildRun run;
  run.args = {"/host:" + std::string(server.host()), "/port:" + std::to_string(server.port()),
              "/user:" + server.user(), "/pass:" + server.password(), "/binary"};
  for (std::string s : c.switches) {
    if (s == "/cacert") s += ":" + SharedTestCertificates().ca_file();
    if (s == "/host:localhost") run.args[0] = s;
    if (s != "/host:localhost") run.args.push_back(s);
  }
  run.args.push_back((local / name).string());
  run.error_path = (local / "stderr.txt").string();
  const TChildResult result = RunChild(kProgram, run);
  const std::string errors = local.Read("stderr.txt").value_or("");

  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exit_status, c.exit_status) << result.output << errors;
  if (*c.error == '\0') {
    EXPECT_EQ(errors, "");
  } else {
    EXPECT_NE(errors.find(c.error), std::string::npos) << errors;
  }
  if (c.exit_status == 0) {
    EXPECT_EQ(server.ReadFile(name), bytes);
    const bool tls = std::count(c.switches.begin(), c.switches.end(), "/tls") +
                         std::count(c.switches.begin(), c.switches.end(), "/ftps") > 0;
    EXPECT_EQ(result.output.find("PROT P\r\n") != std::string::npos, tls) << result.output;
  } else {
    // Echoed commands begin a line (a reply may well mention USER and PASS).
    EXPECT_EQ(result.output.find("\r\nUSER "), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("\r\nPASS "), std::string::npos) << result.output;
    EXPECT_FALSE(server.Exists(name));
  }
}

constexpr ServerSetup kVsftpdExplicit{Server::kVsftpd, FtpTls::kExplicit, TestCertificates::kGood};
constexpr ServerSetup kVsftpdImplicit{Server::kVsftpd, FtpTls::kImplicit, TestCertificates::kGood};
constexpr ServerSetup kPyftpdlibTls{Server::kPyftpdlib, FtpTls::kExplicit, TestCertificates::kGood};
constexpr ServerSetup kVsftpdPlain{Server::kVsftpd, FtpTls::kNone, TestCertificates::kGood};

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsRun,
    ::testing::Values(
        RunCase{"ExplicitPassive", kVsftpdExplicit, {"/tls", "/cacert", "/pasv"}, 0, ""},
        RunCase{"ExplicitActive", kVsftpdExplicit, {"/tls", "/cacert"}, 0, ""},
        RunCase{"ImplicitActive", kVsftpdImplicit, {"/ftps", "/cacert"}, 0, ""},
        RunCase{"PyftpdlibPassive", kPyftpdlibTls, {"/tls", "/cacert", "/pasv"}, 0, ""},
        RunCase{"InsecureWithoutTheCA", kVsftpdExplicit, {"/tls", "/insecure", "/pasv"}, 0,
                "warning: /insecure"},
        RunCase{"CACertWithoutTlsIsPlainAndSaysSo", kVsftpdPlain, {"/cacert", "/pasv"}, 0,
                "warning: /cacert and /insecure take effect only with /tls or /ftps"},
        // The echoed refusal of AUTH TLS explains itself.
        RunCase{"ServerWithoutTls", kVsftpdPlain, {"/tls", "/cacert", "/pasv"}, 6, ""},
        RunCase{"UnknownCA", kVsftpdExplicit, {"/tls", "/pasv"}, 6,
                "certificate verify failed: unable to get local issuer certificate"},
        RunCase{"OtherName",
                {Server::kVsftpd, FtpTls::kExplicit, TestCertificates::kOtherName},
                {"/tls", "/cacert", "/host:localhost"}, 6,
                "certificate verify failed: hostname mismatch"},
        RunCase{"Expired",
                {Server::kVsftpd, FtpTls::kImplicit, TestCertificates::kExpired},
                {"/ftps", "/cacert"}, 6, "certificate verify failed: certificate has expired"}),
    [](const auto& info) { return std::string(info.param.name); });

// The dynamic loader's own record shows which libraries a run mapped.
TEST(TlsLoading, OpenSSLIsLoadedOnlyWhenTlsIsAskedFor) {
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  for (const ServerSetup& setup : {kVsftpdPlain, kVsftpdExplicit}) {
    FtpDaemonFixture& server = Start(setup);
    ZUD_REQUIRE_DAEMON(server);
    TempDir local;
    ASSERT_TRUE(local.Write("small.txt", "small\n"));
    TChildRun run;
    run.args = {"/host:" + std::string(server.host()), "/port:" + std::to_string(server.port()),
                "/user:" + server.user(), "/pass:" + server.password(), "/pasv"};
    const bool tls = setup.tls != FtpTls::kNone;
    if (tls) {
      run.args.insert(run.args.end(), {"/tls", "/cacert:" + SharedTestCertificates().ca_file()});
    }
    run.args.push_back((local / "small.txt").string());
    run.error_path = (local / "stderr.txt").string();
    ::setenv("LD_DEBUG", "libs", 1);
    const TChildResult result = RunChild(kProgram, run);
    ::unsetenv("LD_DEBUG");
    EXPECT_EQ(result.exit_status, 0) << result.output;
    const std::string loader = local.Read("stderr.txt").value_or("");
    EXPECT_EQ(loader.find("libssl") != std::string::npos, tls) << (tls ? "TLS" : "plain");
  }
}

}  // namespace
}  // namespace zud
