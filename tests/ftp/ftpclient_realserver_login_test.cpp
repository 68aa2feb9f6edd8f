// TFTPSend login and logout against real servers (vsftpd and pyftpdlib) over
// 127.0.0.1 and ::1. What the restart probe should find is asked of each
// server independently with a raw client first.
#include "ftp/ftpclient.h"

#include <memory>
#include <string>
#include <vector>

#include "ftp/ftpclient_test_support.h"
#include "gtest/gtest.h"
#include "support/ftp_daemons.h"
#include "support/raw_ftp_client.h"

namespace zud::test {
namespace {


// The server's answers to the restart probe SignIn runs ("REST 0", then
// "REST 1" only after a 350), found with a client that shares no code with
// TFTPSend. 0 for a command not sent.
struct ProbeAnswers {
  int rest0 = 0;
  int rest1 = 0;
};

ProbeAnswers AskRestartProbe(const FtpDaemonFixture& server, std::string* why) {
  ProbeAnswers answers;
  RawFtpClient raw;
  if (!raw.Connect(server.host(), server.port()) ||
      !raw.Login(server.user(), server.password())) {
    *why = raw.error() + " " + raw.reply();
    return answers;
  }
  // In the state SignIn probes in: pyftpdlib refuses REST in ASCII type.
  raw.Command("TYPE I");
  raw.Command("STRU F");
  raw.Command("MODE S");
  answers.rest0 = raw.Command("REST 0");
  if (answers.rest0 == 350) answers.rest1 = raw.Command("REST 1");
  return answers;
}

class RealServerLogin : public ::testing::TestWithParam<FtpServerKind> {};

TEST_P(RealServerLogin, SignInSignOffAndWrongPassword) {
  const FtpServerKind& kind = GetParam();
  if (!LoopbackAvailable(kind.family)) GTEST_SKIP() << "no loopback for this family";
  std::unique_ptr<FtpDaemonFixture> server = kind.make({.family = kind.family});
  ZUD_REQUIRE_DAEMON(*server);
  std::string why;
  const ProbeAnswers probe = AskRestartProbe(*server, &why);
  ASSERT_EQ(why, "") << server->Log();
  const bool restartable = probe.rest0 == 350 && probe.rest1 == 350;

  TFTPSend ftp;
  ftp.TargetHost = server->host();
  ftp.TargetPort = std::to_string(server->port());
  ftp.Timeout = 20000;
  ftp.UserName = server->user();
  ftp.Password = server->password();
  StatusRecorder status;
  status.Attach(ftp);

  ASSERT_TRUE(ftp.SignIn()) << ftp.ResultString() << "\n" << server->Log();
  EXPECT_EQ(ftp.Sock().UsesIPv6(), kind.family == Family::kIPv6);
  EXPECT_EQ(ftp.CanResume(), restartable);
  std::vector<std::string> expected = {"USER " + server->user(), "PASS " + server->password(),
                                       "TYPE I", "STRU F", "MODE S", "REST 0"};
  if (probe.rest0 == 350) expected.push_back("REST 1");
  if (restartable) expected.push_back("REST 0");
  EXPECT_EQ(status.Commands(), expected);
  EXPECT_TRUE(ftp.SignOff()) << ftp.ResultString();
  EXPECT_EQ(ftp.ResultCode(), 221);
  EXPECT_EQ(ftp.Sock().Handle(), kInvalidSocket);

  // The same object, a second conversation with a wrong password.
  ftp.Password = "not-" + server->password();
  status.entries.clear();
  EXPECT_FALSE(ftp.SignIn());
  EXPECT_EQ(ftp.ResultCode(), 530) << ftp.ResultString();
  EXPECT_FALSE(ftp.CanResume());
  EXPECT_EQ(status.Commands(),
            (std::vector<std::string>{"USER " + server->user(), "PASS " + ftp.Password}));
}

INSTANTIATE_TEST_SUITE_P(
    Servers, RealServerLogin,
    ::testing::ValuesIn(AllFtpServerKinds()),
    [](const auto& info) { return FtpServerKindName(info.param); });

}  // namespace
}  // namespace zud::test
