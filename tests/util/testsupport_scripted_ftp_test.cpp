// Self-tests of ScriptedFtpServer, driven by the raw FTP client: transcripts,
// overrides, the dialogue queue, both data modes on both families, and every
// misbehaviour hook.
#include "support/scripted_ftp_server.h"

#include <chrono>
#include <thread>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "support/raw_ftp_client.h"

namespace zud::test {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;

class ScriptedFtpServerTest : public testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    if (!LoopbackAvailable(GetParam())) GTEST_SKIP() << "no loopback for this family";
  }
  // Connected and greeted; the server's default handlers answer.
  void Connect(RawFtpClient& ftp) {
    ASSERT_TRUE(ftp.Connect(server_.host(), server_.port())) << ftp.error();
    ASSERT_EQ(ftp.reply_code(), 220);
  }

  ScriptedFtpServer server_{GetParam()};
};

TEST_P(ScriptedFtpServerTest, DefaultSessionIsLoggedExactly) {
  RawFtpClient ftp;
  Connect(ftp);
  ASSERT_TRUE(ftp.Login("bob", "secret"));
  EXPECT_EQ(ftp.Command("TYPE I"), 200);
  EXPECT_EQ(ftp.Command("CWD sub"), 250);
  EXPECT_EQ(ftp.Command("PWD"), 257);
  EXPECT_EQ(ftp.reply(), "257 \"/sub\" is the current directory");
  EXPECT_EQ(ftp.Command("FEAT"), 211);
  EXPECT_THAT(ftp.reply(), HasSubstr("\n SIZE\n211 End"));
  EXPECT_EQ(ftp.Command("SITE x"), 502);
  EXPECT_EQ(ftp.Command("QUIT"), 221);
  std::string rest;
  EXPECT_TRUE(RecvAll(ftp.fd(), &rest, 2000));  // QUIT closes the session
  EXPECT_THAT(server_.Commands(), ElementsAre("USER bob", "PASS secret", "TYPE I", "CWD sub",
                                              "PWD", "FEAT", "SITE x", "QUIT"));
  EXPECT_TRUE(server_.WaitForSessionsEnded(1, 5000));
  EXPECT_EQ(server_.Errors(), "");
}

TEST_P(ScriptedFtpServerTest, OverridesAndSplitRepliesReachTheClientWhole) {
  server_.SetGreeting("220-first\r\n220 second");
  server_.ReplyTo("SYST", "215 Scripted");
  server_.On("PASS", [](FtpSession& s, const std::string& password) {
    s.SendInPieces("530-No " + password + "\r\n530 Login incorrect.\r\n", 3, 10);
  });
  RawFtpClient ftp;
  Connect(ftp);
  EXPECT_EQ(ftp.reply(), "220-first\n220 second");
  EXPECT_EQ(ftp.Command("SYST"), 215);
  EXPECT_EQ(ftp.reply(), "215 Scripted");
  EXPECT_FALSE(ftp.Login("bob", "pw"));
  EXPECT_EQ(ftp.reply(), "530-No pw\n530 Login incorrect.");
}

TEST_P(ScriptedFtpServerTest, DialogueQueueChecksOrderThenFallsBackToHandlers) {
  server_.Expect("USER bob", "331 Who are you?");
  server_.Expect("PASS pw", [](FtpSession& s, const std::string& argument) {
    s.Reply("230 Hello " + argument);
  });
  server_.Expect("SYST", "215 never reached");
  RawFtpClient ftp;
  Connect(ftp);
  EXPECT_EQ(ftp.Command("USER bob"), 331);
  EXPECT_EQ(ftp.reply(), "331 Who are you?");
  EXPECT_EQ(ftp.Command("PASS pw"), 230);
  EXPECT_EQ(ftp.reply(), "230 Hello pw");
  EXPECT_EQ(ftp.Command("NOOP"), 500);  // "SYST" was due
  EXPECT_EQ(server_.Errors(), "expected command \"SYST\", got \"NOOP\"\n");
  EXPECT_EQ(ftp.Command("NOOP"), 200);  // the queue is empty again
  EXPECT_TRUE(server_.PendingDialogue().empty());
}

TEST_P(ScriptedFtpServerTest, PassiveAndActiveTransfersUseTheFileTable) {
  RawFtpClient ftp;
  Connect(ftp);
  std::string data(70000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  EXPECT_EQ(ftp.Transfer("STOR /up.bin", DataMode::kPassive, &data, nullptr), 226) << ftp.error();
  EXPECT_EQ(server_.File("/up.bin"), data);
  std::string more = "tail";
  EXPECT_EQ(ftp.Transfer("APPE /up.bin", DataMode::kActive, &more, nullptr), 226) << ftp.error();
  EXPECT_EQ(server_.File("/up.bin"), data + more);

  EXPECT_EQ(ftp.Command("REST 69999"), 350);
  std::string download;
  EXPECT_EQ(ftp.Transfer("RETR /up.bin", DataMode::kActive, nullptr, &download), 226)
      << ftp.error();
  EXPECT_EQ(download, data.substr(69999) + more);
  EXPECT_EQ(ftp.Command("SIZE /up.bin"), 213);
  EXPECT_EQ(ftp.reply(), "213 70004");

  std::string unique = "u";
  EXPECT_EQ(ftp.Transfer("STOU", DataMode::kPassive, &unique, nullptr), 226);
  EXPECT_EQ(server_.File("stou.1"), "u");
  server_.SetListing("-rw-r--r-- 1 a b 4 Jan 1 2020 x\r\n", "x\r\n");
  download.clear();
  EXPECT_EQ(ftp.Transfer("NLST", DataMode::kPassive, nullptr, &download), 226);
  EXPECT_EQ(download, "x\r\n");
  EXPECT_EQ(ftp.Command("RETR missing"), 550);
  EXPECT_EQ(server_.Errors(), "");

  const std::string kPassive = GetParam() == Family::kIPv6 ? "EPSV" : "PASV";
  const std::string kActive = GetParam() == Family::kIPv6 ? "EPRT |2|::1|" : "PORT 127,0,0,1,";
  std::vector<std::string> commands = server_.Commands();
  EXPECT_EQ(commands[0], kPassive);
  EXPECT_EQ(commands[2].substr(0, kActive.size()), kActive);
}

TEST_P(ScriptedFtpServerTest, DataFaultsCutDelayOrWithholdTheConnection) {
  server_.PutFile("f", std::string(1000, 'f'));
  server_.SetDataFaults({.close_after = 10});
  RawFtpClient ftp(2000);
  Connect(ftp);
  std::string download;
  EXPECT_EQ(ftp.Transfer("RETR f", DataMode::kPassive, nullptr, &download), 426);
  EXPECT_EQ(download, std::string(10, 'f'));

  server_.SetDataFaults({.delay_ms = 100, .final_reply = "250 odd but fine"});
  download.clear();
  EXPECT_EQ(ftp.Transfer("RETR f", DataMode::kActive, nullptr, &download), 250);
  EXPECT_EQ(download.size(), 1000u);

  ftp.Close();  // one session at a time: let the next client in
  server_.SetDataFaults({.never_open = true});
  RawFtpClient impatient(300);
  Connect(impatient);
  std::string data = "x";
  // 150 arrives, the data connection never does, nor a final reply.
  EXPECT_EQ(impatient.Transfer("STOR g", DataMode::kActive, &data, nullptr), 0);
  EXPECT_THAT(impatient.error(), HasSubstr("timed out"));
  EXPECT_FALSE(server_.File("g"));
}

TEST_P(ScriptedFtpServerTest, PassiveReplyMayNameAForeignAddress) {
  server_.SetPassiveAddress("192.0.2.77");
  RawFtpClient ftp;
  Connect(ftp);
  if (GetParam() == Family::kIPv6) {
    EXPECT_EQ(ftp.Command("PASV"), 500);  // IPv4 only by default
    return;
  }
  EXPECT_EQ(ftp.Command("PASV"), 227);
  EXPECT_THAT(ftp.reply(), HasSubstr("(192,0,2,77,"));
}

TEST_P(ScriptedFtpServerTest, HandlerWordedPassiveReplyStillServesData) {
  server_.On("PASV", [](FtpSession& s, const std::string&) {
    int port = s.ListenPassive();
    s.Reply("227 Entering Passive Mode " + PasvNumbers("127.0.0.1", port));  // no parentheses
  });
  server_.On("EPSV", [](FtpSession& s, const std::string&) {
    s.Reply("229 Entering Extended Passive Mode (|||" + std::to_string(s.ListenPassive()) + "|)");
  });
  server_.PutFile("f", "data");
  RawFtpClient ftp;
  Connect(ftp);
  std::string download;
  if (GetParam() == Family::kIPv4) {
    ASSERT_EQ(ftp.Command("PASV"), 227);
    EXPECT_THAT(ftp.reply(), testing::MatchesRegex("227 Entering Passive Mode 127,0,0,1,.+,.+"));
  }
  EXPECT_EQ(ftp.Transfer("RETR f", DataMode::kPassive, nullptr, &download), 226) << ftp.error();
  EXPECT_EQ(download, "data");
}

TEST_P(ScriptedFtpServerTest, HandlersCanCloseOrGoSilent) {
  server_.On("QUIT", [](FtpSession& s, const std::string&) { s.GoSilent(); });
  server_.On("ABOR", [](FtpSession& s, const std::string&) { s.CloseControl(); });
  {
    RawFtpClient ftp(200);
    Connect(ftp);
    EXPECT_EQ(ftp.Command("QUIT"), 0);  // no answer
    ASSERT_TRUE(SendAll(ftp.fd(), "NOOP\r\n"));
    EXPECT_EQ(ftp.ReadReply(), 0);      // still none, but logged
    EXPECT_TRUE(server_.WaitForCommands(2, 5000));
  }
  RawFtpClient ftp;
  Connect(ftp);  // the silent session ended when its client closed
  // Telnet "IP, Synch" before ABOR is logged as sent and still means ABOR.
  const std::string kUrgentAbort = "\xff\xf4\xff\xf2" "ABOR";
  ASSERT_TRUE(SendAll(ftp.fd(), kUrgentAbort + "\r\n"));
  std::string rest;
  EXPECT_TRUE(RecvAll(ftp.fd(), &rest, 2000));
  EXPECT_EQ(rest, "");
  EXPECT_THAT(server_.Commands(), ElementsAre("QUIT", "NOOP", kUrgentAbort));
  EXPECT_EQ(server_.SessionCount(), 2);
}

TEST_P(ScriptedFtpServerTest, IdleClientAndBrokenLinesAreReported) {
  server_.set_idle_timeout_ms(100);
  RawFtpClient idle;
  Connect(idle);
  ASSERT_TRUE(server_.WaitForSessionsEnded(1, 5000));
  EXPECT_THAT(server_.Errors(), HasSubstr("no command within 100 ms"));
  RawFtpClient broken;
  Connect(broken);
  ASSERT_TRUE(SendAll(broken.fd(), "STOR half"));
  broken.Close();
  ASSERT_TRUE(server_.WaitForSessionsEnded(2, 5000));
  EXPECT_THAT(server_.Errors(), HasSubstr("incomplete command line \"STOR half\""));
}

INSTANTIATE_TEST_SUITE_P(Families, ScriptedFtpServerTest,
                         testing::Values(Family::kIPv4, Family::kIPv6),
                         [](const auto& info) { return FamilyName(info.param); });

TEST(ScriptedFtpServerPairTest, TwoInstancesServeAtOnce) {
  ScriptedFtpServer firewall;
  ScriptedFtpServer target;
  firewall.SetGreeting("220 firewall");
  target.SetGreeting("220 target");
  RawFtpClient a, b;
  ASSERT_TRUE(a.Connect(firewall.host(), firewall.port()));
  ASSERT_TRUE(b.Connect(target.host(), target.port()));
  EXPECT_EQ(a.reply(), "220 firewall");
  EXPECT_EQ(b.reply(), "220 target");
  EXPECT_EQ(a.Command("USER bob@target"), 331);
  EXPECT_EQ(b.Command("NOOP"), 200);
  EXPECT_THAT(firewall.Commands(), ElementsAre("USER bob@target"));
  EXPECT_THAT(target.Commands(), ElementsAre("NOOP"));
}

}  // namespace
}  // namespace zud::test
