// TFTPSend against servers that let a wait run out: each failure must cost
// about one Timeout, not one per command that follows or per piece of data.
#include <chrono>
#include <string>
#include <vector>

#include "ftp/ftpclient.h"
#include "ftp/ftpclient_test_support.h"
#include "ftp/ftpclient_transfer_support.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "sockets/socketerrors.h"
#include "support/net.h"
#include "support/temp_dir.h"

namespace zud::test {
namespace {

using ::testing::StartsWith;

constexpr int32_t kTimeout = 2000;

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

struct PbszCase {
  const char* name;
  FtpHandler answer;
  bool signed_in;
  int error;                          // the control socket's
  std::vector<std::string> commands;  // from PBSZ on
};

class PbszAnswer : public ::testing::TestWithParam<PbszCase> {};

// No answer to PBSZ ends the login at once; a refusal is an answer, and PROT
// still decides as before.
TEST_P(PbszAnswer, DecidesWhetherTheLoginGoesOn) {
  const PbszCase& c = GetParam();
  ScopedDefaultTLSPlugin plugin(PluginClassOf<TAcceptingSSL>());
  ScriptedFtpServer server;
  server.ReplyTo("AUTH", "234 Go ahead");
  server.On("PBSZ", c.answer);
  server.ReplyTo("PROT", "200 Protected");
  TFTPSend ftp;
  AimAt(ftp, server, kTimeout);
  ftp.AutoTLS = true;
  ftp.LeanSignIn = true;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ftp.SignIn(), c.signed_in);
  EXPECT_LT(MillisecondsSince(start), kTimeout + kTimeout / 2);
  EXPECT_EQ(ftp.Sock().LastErrorCode(), c.error);
  ftp.Sock().CloseAtOnce();
  ASSERT_TRUE(server.WaitForSessionsEnded(1, kDefaultWaitMs));
  const std::vector<std::string> all = server.Commands();
  EXPECT_EQ(std::vector<std::string>(all.begin() + 3, all.end()), c.commands);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PbszAnswer,
    ::testing::Values(
        PbszCase{"Silence", [](FtpSession& s, const std::string&) { s.GoSilent(); }, false,
                 kErrTimedOut, {"PBSZ 0"}},
        PbszCase{"ConnectionLost", [](FtpSession& s, const std::string&) { s.CloseControl(); },
                 false, kErrPeerClosed, {"PBSZ 0"}},
        PbszCase{"Refused", [](FtpSession& s, const std::string&) { s.Reply("500 No PBSZ"); },
                 true, 0, {"PBSZ 0", "PROT P", "TYPE I"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The server takes the data connection and never reads from it: the stall is
// found one Timeout after the last bytes it took, the final reply is awaited
// only briefly, and so is the answer to QUIT.
TEST(StalledDataReceiver, TheWholeFailureTakesAboutOneTimeout) {
  const std::string data = RandomBytes(64 << 20);
  TempDir local;
  ASSERT_TRUE(local.Write("big", data));
  for (const bool passive : {true, false}) {
    for (const bool zero_copy : {true, false}) {
      SCOPED_TRACE(std::string(passive ? "passive" : "active") +
                   (zero_copy ? ", zero-copy" : ", buffered"));
      ScriptedConversation talk;
      ASSERT_TRUE(talk.SignIn());
      talk.ftp.Timeout = kTimeout;
      talk.ftp.PassiveMode = passive;
      talk.server.On("STOR", [](FtpSession& s, const std::string&) {
        s.Reply("150 Go ahead.");
        if (s.OpenData()) s.Sleep(60000);  // ended by the server's destructor
      });
      if (zero_copy) {
        talk.ftp.DirectFile = true;
        talk.ftp.DirectFileName = (local / "big").string();
      } else {
        talk.ftp.DataStream().Write(data.data(), static_cast<int64_t>(data.size()));
        talk.ftp.DataStream().SetPosition(0);
      }
      const auto start = std::chrono::steady_clock::now();
      EXPECT_FALSE(talk.ftp.UploadFile("big", false));
      EXPECT_EQ(talk.ftp.DSock().LastErrorCode(), kErrTimedOut);
      EXPECT_FALSE(talk.ftp.SignOff());
      EXPECT_LT(MillisecondsSince(start), kTimeout + 4000);
      // Nothing after the store: QUIT went into the server's silence.
      EXPECT_THAT(talk.Commands(), ::testing::Contains(StartsWith(passive ? "PASV" : "PORT")));
      EXPECT_EQ(talk.Commands().back(), "STOR big");
    }
  }
}

// A listener whose accept queue is full: the system drops further SYNs, so
// a connect to it hangs until someone gives up.
class FullListener {
 public:
  FullListener() {
    listener_ = ListenTcp("127.0.0.1", 0, nullptr, 1);
    port_ = LocalEndpoint(listener_.get()).port;
    for (int i = 0; i < 8; ++i) {
      UniqueFd queued = ConnectTcp("127.0.0.1", port_, 300);
      if (!queued.valid()) {
        full_ = true;
        break;
      }
      queued_[i] = std::move(queued);
    }
  }
  bool full() const { return full_; }
  std::string port() const { return std::to_string(port_); }

 private:
  UniqueFd listener_;
  int port_ = 0;
  UniqueFd queued_[8];
  bool full_ = false;
};

struct ConnectCase {
  const char* name;
  bool through_socks;    // the full listener plays the proxy
  int32_t own_timeout;   // the control socket's ConnectTimeout
  bool stop;             // the heartbeat asks for a stop
  int error;
};

class ConnectToFullQueue : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(ConnectToFullQueue, EndsWithinTheBound) {
  const ConnectCase& c = GetParam();
  FullListener full;
  if (!full.full()) GTEST_SKIP() << "the accept queue never filled";
  TFTPSend ftp;
  ftp.Timeout = c.own_timeout == 0 ? 1000 : 600000;
  ftp.TargetHost = "127.0.0.1";
  ftp.TargetPort = full.port();
  if (c.through_socks) {
    ftp.TargetPort = "21";
    ftp.Sock().SocksIP = "127.0.0.1";
    ftp.Sock().SocksPort = full.port();
  }
  ftp.Sock().ConnectTimeout = c.own_timeout;
  if (c.stop) {
    ftp.Sock().HeartbeatRate = 100;
    ftp.Sock().OnHeartbeat = [](TBlockSocket& s) { s.StopFlag = true; };
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ftp.SignIn());
  EXPECT_LT(MillisecondsSince(start), 20000);
  EXPECT_EQ(ftp.Sock().LastErrorCode(), c.error);
  EXPECT_EQ(ftp.Sock().ConnectTimeout, c.own_timeout);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectToFullQueue,
    ::testing::Values(ConnectCase{"FromClientTimeout", false, 0, false, kErrTimedOut},
                      ConnectCase{"ProxyConnect", true, 0, false, kErrTimedOut},
                      ConnectCase{"SocketsOwnBoundWins", false, 500, false, kErrTimedOut},
                      ConnectCase{"StopFlagEndsTheWait", false, 0, true, kErrStopRequested}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zud::test
