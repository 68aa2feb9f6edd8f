// TFTPSend login against a scripted server: greetings, the login variants
// with whole transcripts, the host designation, custom tables, the restart
// probe, TLS negotiation and logout.
#include "ftp/ftpclient.h"

#include <string>
#include <utility>
#include <vector>

#include "ftp/ftpclient_test_support.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "support/process.h"

namespace zud::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int kTLSFailed = 10091;

// What SignIn sends after a login, with a server that accepts both REST probes.
const std::vector<std::string> kAfterLogin = {"TYPE I", "STRU F", "MODE S",
                                              "REST 0", "REST 1", "REST 0"};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

using Dialogue = std::vector<std::pair<std::string, std::string>>;

void Script(ScriptedFtpServer& server, const Dialogue& dialogue) {
  for (const auto& [line, reply] : dialogue) server.Expect(line, reply);
}

std::vector<std::string> CommandsOf(const Dialogue& dialogue) {
  std::vector<std::string> commands;
  for (const auto& entry : dialogue) commands.push_back(entry.first);
  return commands;
}

// A client that logs in through a firewall: the scripted server plays the
// firewall, the real server is only named.
void AimThroughFirewall(TFTPSend& ftp, const ScriptedFtpServer& server) {
  ftp.Timeout = 5000;
  ftp.FWHost = server.host();
  ftp.FWPort = std::to_string(server.port());
  ftp.TargetHost = "ftp.example.com";
  ftp.TargetPort = "21";
  ftp.UserName = "bob";
  ftp.Password = "secret";
  ftp.Account = "acct";
  ftp.FWUsername = "fwuser";
  ftp.FWPassword = "fwpass";
}

// ---- Greeting ------------------------------------------------------------------------

TEST(SignIn, PreliminaryGreetingIsSkipped) {
  ScriptedFtpServer server;
  server.SetGreeting("120 Wait a moment\r\n120-Still\r\n120 waiting\r\n220 Ready");
  TFTPSend ftp;
  AimAt(ftp, server);
  EXPECT_TRUE(ftp.SignIn());
  EXPECT_EQ(server.Commands(),
            Concat({"USER anonymous", "PASS " + ftp.Password}, kAfterLogin));
}

TEST(SignIn, EndlessPreliminaryGreetingGivesUp) {
  ScriptedFtpServer server;
  std::string greeting;
  for (int i = 0; i <= TFTPSend::kMaxPreliminaryGreetings; ++i) greeting += "120 Wait\r\n";
  server.SetGreeting(greeting + "220 Too late");
  TFTPSend ftp;
  AimAt(ftp, server);
  EXPECT_FALSE(ftp.SignIn());
  EXPECT_EQ(ftp.ResultCode(), 120);
  ftp.Sock().Close();
  ASSERT_TRUE(server.WaitForSessionsEnded(1, 5000));
  EXPECT_THAT(server.Commands(), IsEmpty());
}

TEST(SignIn, RefusingGreetingSendsNothing) {
  ScriptedFtpServer server;
  server.SetGreeting("421 Too many users");
  TFTPSend ftp;
  AimAt(ftp, server);
  EXPECT_FALSE(ftp.SignIn());
  EXPECT_EQ(ftp.ResultCode(), 421);
  ftp.Sock().Close();
  ASSERT_TRUE(server.WaitForSessionsEnded(1, 5000));
  EXPECT_THAT(server.Commands(), IsEmpty());
}

TEST(SignIn, SilentServerFailsAfterTimeout) {
  ScriptedFtpServer server;
  server.OnConnect([](FtpSession& s, const std::string&) { s.GoSilent(); });
  TFTPSend ftp;
  AimAt(ftp, server, /*timeout_ms=*/200);
  EXPECT_FALSE(ftp.SignIn());
  EXPECT_EQ(ftp.ResultCode(), 0);
  ftp.Sock().Close();
  ASSERT_TRUE(server.WaitForSessionsEnded(1, 5000));
  EXPECT_THAT(server.Commands(), IsEmpty());
}

TEST(SignIn, ConnectFailureIsReported) {
  const int port = FreePort(Family::kIPv4);
  ASSERT_NE(port, 0);
  TFTPSend ftp;
  ftp.TargetPort = std::to_string(port);  // nobody listens there
  EXPECT_FALSE(ftp.SignIn());
  EXPECT_NE(ftp.Sock().LastErrorCode(), 0);
  EXPECT_FALSE(ftp.CanResume());
}

// ---- Login variants --------------------------------------------------------------------

struct LoginCase {
  const char* name;
  int fw_mode;
  Dialogue dialogue;
  bool logged_in;
};

const LoginCase kDirectCases[] = {
    {"UserAlone", 0, {{"USER bob", "230 Welcome"}}, true},
    {"UserPass", 0, {{"USER bob", "331 Password"}, {"PASS secret", "230 Welcome"}}, true},
    {"UserPassAcct", 0,
     {{"USER bob", "331 Password"}, {"PASS secret", "332 Account"}, {"ACCT acct", "230 In"}},
     true},
    {"AcctAnsweredWithMoreInput", 0,
     {{"USER bob", "331 Password"}, {"PASS secret", "332 Account"}, {"ACCT acct", "331 More"}},
     false},
    {"UserRefused", 0, {{"USER bob", "530 Not you"}}, false},
    {"PasswordRefused", 0, {{"USER bob", "331 Password"}, {"PASS secret", "530 Wrong"}}, false},
    {"PasswordAnsweredPreliminary", 0,
     {{"USER bob", "331 Password"}, {"PASS secret", "150 What?"}}, false},
    {"UserReplyWithoutCode", 0, {{"USER bob", "abc refused"}}, false},
};

const LoginCase kFirewallCases[] = {
    {"Variant1", 1,
     {{"USER fwuser", "331 Firewall password"},
      {"PASS fwpass", "230 Firewall says hello"},
      {"SITE ftp.example.com", "331 Connected, log in"},
      {"USER bob", "331 Password"},
      {"PASS secret", "332 Account"},
      {"ACCT acct", "230 In"}},
     true},
    {"Variant1SiteAnsweredDone", 1,
     {{"USER fwuser", "331 Firewall password"},
      {"PASS fwpass", "230 Firewall says hello"},
      {"SITE ftp.example.com", "200 Fine"}},
     false},
    {"Variant1FirewallUserAlone", 1,
     {{"USER fwuser", "230 Known"},
      {"SITE ftp.example.com", "331 Connected"},
      {"USER bob", "230 In"}},
     true},
    {"Variant2", 2,
     {{"USER fwuser", "331 Firewall password"},
      {"PASS fwpass", "230 Firewall ok"},
      {"USER bob@ftp.example.com", "331 Password"},
      {"PASS secret", "230 In"}},
     true},
    {"Variant2FirewallPasswordWantsMore", 2,
     {{"USER fwuser", "331 Firewall password"}, {"PASS fwpass", "332 Huh"}}, false},
    {"Variant3", 3,
     {{"USER fwuser", "331 Firewall password"},
      {"PASS fwpass", "230 Firewall ok"},
      {"USER bob", "331 Password"},
      {"PASS secret", "230 In"}},
     true},
    {"Variant4", 4,
     {{"OPEN ftp.example.com", "220 Connected"},
      {"USER bob", "331 Password"},
      {"PASS secret", "230 In"}},
     true},
    {"Variant4OpenWantsMore", 4,
     {{"OPEN ftp.example.com", "331 Go on"}, {"USER bob", "230 In"}}, true},
    {"Variant5", 5,
     {{"USER bob@ftp.example.com", "331 Password"}, {"PASS secret", "230 In"}}, true},
    {"Variant6", 6,
     {{"USER fwuser@ftp.example.com", "331 Firewall password"},
      {"PASS fwpass", "230 Connected"},
      {"USER bob", "331 Password"},
      {"PASS secret", "332 Account"},
      {"ACCT acct", "202 Not needed"}},
     true},
    {"Variant7", 7,
     {{"USER bob@ftp.example.com fwuser", "331 Password"}, {"PASS secret", "230 In"}}, true},
    {"Variant7UserAnsweredDone", 7, {{"USER bob@ftp.example.com fwuser", "230 In"}}, false},
    {"Variant8", 8,
     {{"USER bob@fwuser@ftp.example.com", "331 Passwords"},
      {"PASS secret@fwpass", "230 In"}},
     true},
    {"UnknownVariantIsDirect", 9, {{"USER bob", "331 Password"}, {"PASS secret", "230 In"}},
     true},
    {"NegativeVariantIsDirect", -2, {{"USER bob", "230 In"}}, true},
};

class LoginVariant : public ::testing::TestWithParam<LoginCase> {};

TEST_P(LoginVariant, WholeTranscript) {
  const LoginCase& c = GetParam();
  ScriptedFtpServer server;
  ASSERT_TRUE(server.ok());
  Script(server, c.dialogue);
  TFTPSend ftp;
  AimThroughFirewall(ftp, server);
  if (c.fw_mode == 0) {  // direct: no firewall
    AimAt(ftp, server);
    ftp.FWHost.clear();
  }
  ftp.FWMode = c.fw_mode;

  EXPECT_EQ(ftp.SignIn(), c.logged_in);
  std::vector<std::string> expected = CommandsOf(c.dialogue);
  if (c.logged_in) expected = Concat(expected, kAfterLogin);
  EXPECT_EQ(server.Commands(), expected);
  EXPECT_EQ(server.Errors(), "");
  EXPECT_EQ(ftp.CanResume(), c.logged_in);
}

INSTANTIATE_TEST_SUITE_P(Direct, LoginVariant, ::testing::ValuesIn(kDirectCases),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Firewall, LoginVariant, ::testing::ValuesIn(kFirewallCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SignIn, FirewallModeWithoutFirewallHostLogsInDirectly) {
  for (int mode : {3, -1}) {
    SCOPED_TRACE("FWMode " + std::to_string(mode));
    ScriptedFtpServer server;
    Script(server, {{"USER bob", "331 Password"}, {"PASS secret", "230 In"}});
    TFTPSend ftp;
    AimAt(ftp, server);
    ftp.UserName = "bob";
    ftp.Password = "secret";
    ftp.FWMode = mode;
    ftp.FWUsername = "fwuser";
    ftp.CustomLoginTable = {3, 255, 255};  // would send "USER fwuser"
    EXPECT_TRUE(ftp.SignIn());
    EXPECT_EQ(server.Commands(), Concat({"USER bob", "PASS secret"}, kAfterLogin));
  }
}

TEST(SignIn, HostDesignationNamesThePortUnlessItIsExactly21) {
  const std::pair<const char*, const char*> cases[] = {
      {"21", "USER bob@ftp.example.com"},
      {"2121", "USER bob@ftp.example.com:2121"},
      {"021", "USER bob@ftp.example.com:021"},
      {"ftp", "USER bob@ftp.example.com:ftp"},
  };
  for (const auto& [port, user_command] : cases) {
    SCOPED_TRACE(port);
    ScriptedFtpServer server;
    Script(server, {{user_command, "230 In"}});
    TFTPSend ftp;
    AimThroughFirewall(ftp, server);
    ftp.TargetPort = port;
    ftp.FWMode = 5;
    EXPECT_TRUE(ftp.SignIn());
    EXPECT_EQ(server.Errors(), "");
  }
}

TEST(SignIn, CommandsWithLineBreaksFailTheLogin) {
  ScriptedFtpServer server;
  TFTPSend ftp;
  AimAt(ftp, server);
  ftp.UserName = "bob\r\nDELE important";
  EXPECT_FALSE(ftp.SignIn());
  ftp.Sock().Close();
  ASSERT_TRUE(server.WaitForSessionsEnded(1, 5000));
  EXPECT_THAT(server.Commands(), IsEmpty());
}

// ---- Custom login tables -------------------------------------------------------------------

TEST(SignIn, CustomTable) {
  ScriptedFtpServer server;
  Script(server, {{"USER bob", "331 Password"}, {"PASS secret@fwpass", "230 In"}});
  TFTPSend ftp;
  AimThroughFirewall(ftp, server);
  ftp.FWMode = -1;
  ftp.CustomLoginTable = {0, 255, 3,    // USER; done on 2xx, else step 3
                          11, 255, 254};  // PASS pass@fwpass
  EXPECT_TRUE(ftp.SignIn());
  EXPECT_EQ(server.Commands(), Concat({"USER bob", "PASS secret@fwpass"}, kAfterLogin));
}

TEST(SignIn, InvalidCustomTableSendsNothing) {
  const std::pair<const char*, TLoginTable> cases[] = {
      {"action 12", {12, 255, 254}},
      {"action 255 in an unreachable step", {0, 255, 254, 0, 0, 0, 0, 0, 0, 255, 0, 0}},
      {"next step 1", {0, 1, 254}},
      {"next step 18", {0, 255, 18}},
      {"next step 253", {0, 253, 254}},
      {"next step 16 in the last step", {0, 255, 254, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0, 0, 16}},
  };
  for (const auto& [name, table] : cases) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(IsValidLoginTable(table));
    ScriptedFtpServer server;
    TFTPSend ftp;
    AimThroughFirewall(ftp, server);
    ftp.FWMode = -1;
    ftp.CustomLoginTable = table;
    EXPECT_FALSE(ftp.SignIn());
    ftp.Sock().Close();
    ASSERT_TRUE(server.WaitForSessionsEnded(1, 5000));
    EXPECT_THAT(server.Commands(), IsEmpty());
  }
}

TEST(SignIn, LoopingCustomTableStopsAfter64Commands) {
  ScriptedFtpServer server;  // answers every USER with 331
  TFTPSend ftp;
  AimThroughFirewall(ftp, server);
  ftp.FWMode = -1;
  ftp.CustomLoginTable = {};  // USER, then step 0 again whatever the answer
  EXPECT_FALSE(ftp.SignIn());
  EXPECT_EQ(server.Commands(),
            std::vector<std::string>(TFTPSend::kMaxLoginSteps, "USER bob"));
}

// ---- Restart probe ------------------------------------------------------------------------

TEST(SignIn, RestartProbe) {
  struct ProbeCase {
    const char* rest0;
    const char* rest1;  // nullptr: must not be sent
    std::vector<std::string> commands;
    bool can_resume;
  };
  const ProbeCase cases[] = {
      {"350 Restarting at 0", "350 Restarting at 1", {"REST 0", "REST 1", "REST 0"}, true},
      {"502 Not implemented", nullptr, {"REST 0"}, false},
      {"350 Restarting at 0", "501 Bad offset", {"REST 0", "REST 1"}, false},
      {"350 Restarting at 0", "351 Almost", {"REST 0", "REST 1"}, false},
      {"200 Sure", nullptr, {"REST 0"}, false},
  };
  for (const ProbeCase& c : cases) {
    SCOPED_TRACE(std::string(c.rest0) + " / " + (c.rest1 ? c.rest1 : "-"));
    ScriptedFtpServer server;
    const std::string rest0 = c.rest0;
    const std::string rest1 = c.rest1 ? c.rest1 : "";
    server.On("REST", [rest0, rest1](FtpSession& s, const std::string& offset) {
      s.Reply(offset == "1" ? rest1 : rest0);
    });
    TFTPSend ftp;
    AimAt(ftp, server);
    EXPECT_TRUE(ftp.SignIn());
    EXPECT_EQ(ftp.CanResume(), c.can_resume);
    EXPECT_EQ(server.Commands(), Concat({"USER anonymous", "PASS " + ftp.Password,
                                         "TYPE I", "STRU F", "MODE S"},
                                        c.commands));
  }
}

TEST(SignIn, TransferSettingRepliesAreNotJudged) {
  ScriptedFtpServer server;
  server.ReplyTo("TYPE", "504 No");
  server.ReplyTo("STRU", "500 No");
  server.ReplyTo("MODE", "");
  TFTPSend ftp;
  AimAt(ftp, server, 300);
  EXPECT_TRUE(ftp.SignIn());
  EXPECT_TRUE(ftp.CanResume());
}

TEST(SignIn, SecondConversationStartsAfresh) {
  ScriptedFtpServer server;
  TFTPSend ftp;
  AimAt(ftp, server);
  ASSERT_TRUE(ftp.SignIn());
  ASSERT_TRUE(ftp.CanResume());
  server.ReplyTo("REST", "502 Not any more");
  EXPECT_TRUE(ftp.SignIn());  // closes the first connection itself
  EXPECT_FALSE(ftp.CanResume());
  EXPECT_EQ(server.SessionCount(), 2);
}

// ---- TLS ---------------------------------------------------------------------------------

TEST(SignIn, AuthTLSRefusedContinuesInClear) {
  ScriptedFtpServer server;
  server.ReplyTo("AUTH", "500 Unknown command");
  TFTPSend ftp;
  AimAt(ftp, server);
  ftp.AutoTLS = true;
  EXPECT_TRUE(ftp.SignIn());
  EXPECT_FALSE(ftp.IsTLS());
  EXPECT_FALSE(ftp.IsDataTLS());
  EXPECT_EQ(server.Commands(),
            Concat({"AUTH TLS", "USER anonymous", "PASS " + ftp.Password}, kAfterLogin));
}

TEST(SignIn, AuthTLSAcceptedWithoutTLSSupportFails) {
  ScopedDefaultTLSPlugin none(PluginClassOf<TSSLNone>());
  ScriptedFtpServer server;
  server.ReplyTo("AUTH", "234 Go ahead");
  TFTPSend ftp;
  AimAt(ftp, server);
  ftp.AutoTLS = true;
  EXPECT_FALSE(ftp.SignIn());
  EXPECT_FALSE(ftp.IsTLS());
  EXPECT_EQ(ftp.Sock().LastErrorCode(), kTLSFailed);
  EXPECT_EQ(ftp.Sock().LastErrorText(), "SSL/TLS support is not compiled!");
  EXPECT_EQ(server.Commands(), std::vector<std::string>{"AUTH TLS"});
}

TEST(SignIn, ImplicitTLSWithoutTLSSupportFailsBeforeTheGreeting) {
  ScriptedFtpServer server;
  TFTPSend ftp;
  AimAt(ftp, server);
  ftp.FullSSL = true;
  StatusRecorder status;
  status.Attach(ftp);
  EXPECT_FALSE(ftp.SignIn());
  EXPECT_EQ(ftp.Sock().LastErrorCode(), kTLSFailed);
  EXPECT_THAT(status.entries, IsEmpty());
  EXPECT_FALSE(ftp.IsTLS());
}

struct TLSCase {
  const char* name;
  bool full_ssl;
  bool tls_on_data;
  const char* prot_p_reply;
  std::vector<std::string> commands;  // up to the login; kAfterLogin follows
  bool data_tls;
};

const TLSCase kTLSCases[] = {
    {"AuthTLSAndProtectedData", false, true, "200 Protected",
     {"AUTH TLS", "USER anonymous", "PASS pw", "PBSZ 0", "PROT P"}, true},
    {"ProtectedDataRefused", false, true, "536 Not here",
     {"AUTH TLS", "USER anonymous", "PASS pw", "PBSZ 0", "PROT P", "PROT C"}, false},
    {"ClearDataAskedFor", false, false, "200 Protected",
     {"AUTH TLS", "USER anonymous", "PASS pw", "PBSZ 0", "PROT C"}, false},
    {"ImplicitTLS", true, true, "200 Protected",
     {"USER anonymous", "PASS pw", "PBSZ 0", "PROT P"}, true},
};

class TLSNegotiation : public ::testing::TestWithParam<TLSCase> {};

TEST_P(TLSNegotiation, Transcript) {
  const TLSCase& c = GetParam();
  ScopedDefaultTLSPlugin plugin(PluginClassOf<TAcceptingSSL>());
  ScriptedFtpServer server;
  server.ReplyTo("AUTH", "234 Go ahead");
  server.ReplyTo("PBSZ", "200 PBSZ=0");
  server.On("PROT", [&c](FtpSession& s, const std::string& level) {
    s.Reply(level == "P" ? c.prot_p_reply : "200 Clear");
  });
  TFTPSend ftp;
  AimAt(ftp, server);
  ftp.Password = "pw";
  ftp.AutoTLS = true;  // never used once FullSSL made the connection secure
  ftp.FullSSL = c.full_ssl;
  ftp.TLSonData = c.tls_on_data;
  StatusRecorder status;
  status.Attach(ftp);
  size_t reports_at_handshake = 99;
  TAcceptingSSL::OnHandshake = [&] { reports_at_handshake = status.entries.size(); };

  EXPECT_TRUE(ftp.SignIn());
  EXPECT_TRUE(ftp.IsTLS());
  EXPECT_EQ(ftp.IsDataTLS(), c.data_tls);
  EXPECT_EQ(TAcceptingSSL::handshakes, 1);
  // Implicit TLS starts before anything is read; AUTH TLS after the greeting.
  EXPECT_EQ(reports_at_handshake, c.full_ssl ? 0u : 3u);
  EXPECT_EQ(server.Commands(), Concat(c.commands, kAfterLogin));
}

INSTANTIATE_TEST_SUITE_P(TLS, TLSNegotiation, ::testing::ValuesIn(kTLSCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Logout ----------------------------------------------------------------------------------

TEST(SignOff, QuitAndClose) {
  ScriptedFtpServer server;
  TFTPSend ftp;
  AimAt(ftp, server);
  ASSERT_TRUE(ftp.SignIn());
  EXPECT_TRUE(ftp.SignOff());
  EXPECT_EQ(ftp.Sock().Handle(), kInvalidSocket);
  EXPECT_EQ(server.Commands().back(), "QUIT");
}

TEST(SignOff, ClosesEvenWithoutAReply) {
  ScriptedFtpServer server;
  server.On("QUIT", [](FtpSession& s, const std::string&) { s.GoSilent(); });
  TFTPSend ftp;
  AimAt(ftp, server);
  ASSERT_TRUE(ftp.SignIn());
  ftp.Timeout = 200;
  EXPECT_FALSE(ftp.SignOff());
  EXPECT_EQ(ftp.Sock().Handle(), kInvalidSocket);
  EXPECT_TRUE(server.WaitForSessionsEnded(1, 5000));
}

TEST(SignOff, RefusedQuitStillCloses) {
  ScriptedFtpServer server;
  server.ReplyTo("QUIT", "500 Stay");
  TFTPSend ftp;
  AimAt(ftp, server);
  ASSERT_TRUE(ftp.SignIn());
  EXPECT_FALSE(ftp.SignOff());
  EXPECT_EQ(ftp.Sock().Handle(), kInvalidSocket);
}

// ---- Construction -----------------------------------------------------------------------------

TEST(TFTPSendObject, Defaults) {
  TFTPSend ftp;
  EXPECT_EQ(ftp.Timeout, 300000);
  EXPECT_EQ(ftp.TargetHost, "127.0.0.1");
  EXPECT_EQ(ftp.TargetPort, "21");
  EXPECT_EQ(ftp.IPInterface, "0.0.0.0");
  EXPECT_EQ(ftp.UserName, "anonymous");
  EXPECT_EQ(ftp.Password, "visitorid@" + ftp.Sock().LocalMachineName());
  EXPECT_EQ(ftp.FWPort, "21");
  EXPECT_TRUE(ftp.PassiveMode);
  EXPECT_TRUE(ftp.BinaryMode);
  EXPECT_TRUE(ftp.TLSonData);
  EXPECT_FALSE(ftp.TrustPassiveAddress);
  EXPECT_EQ(ftp.CustomLoginTable, TLoginTable{});
  EXPECT_TRUE(ftp.Sock().ConvertLineEnd);
  EXPECT_EQ(ftp.Sock().MaxLineLength, TFTPSend::kMaxReplyLineLength);
  EXPECT_EQ(ftp.Sock().Owner, &ftp);
  EXPECT_EQ(ftp.DSock().Owner, &ftp);
  EXPECT_EQ(ftp.Sock().TLSPlugin().LibraryName(), "openssl");
  EXPECT_EQ(ftp.DSock().TLSPlugin().LibraryName(), "openssl");
}

}  // namespace
}  // namespace zud::test
