// TFTPSend against sources and servers that used to cost data or time: a
// source that is not a regular file, a data receiver that stops reading, a
// server that trickles or falls silent, and a passive reply naming a port
// beyond 16 bits.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "ftp/ftpclient.h"
#include "ftp/ftpclient_test_support.h"
#include "ftp/ftpclient_transfer_support.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "sockets/socketerrors.h"
#include "support/ftp_daemons.h"
#include "support/temp_dir.h"

namespace zud::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void SetDataStream(TFTPSend& ftp, const std::string& bytes) {
  ftp.DirectFile = false;
  ftp.DataStream().Clear();
  ftp.DataStream().Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  ftp.DataStream().SetPosition(0);
}

// ---- Sources that are not regular files, to a real server -------------------------

TEST(NonRegularSource, IsSentUntilItEndsWithoutASize) {
  std::unique_ptr<FtpDaemonFixture> server = MakeVsftpd({});
  ZUD_REQUIRE_DAEMON(*server);
  TempDir local;
  ASSERT_TRUE(local.ok());
  const std::string fifo = (local / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string piped = RandomBytes(300000);

  struct Case {
    const char* name;
    std::string path;
    std::string expected;
  };
  const Case cases[] = {
      {"Fifo", fifo, piped},
      // A pseudo file: its size reads 0, its content does not.
      {"ProcFile", "/proc/version", ReadWholeFile("/proc/version")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.expected.empty());
    std::thread writer;
    if (c.path == fifo) {
      writer = std::thread([&] { std::ofstream(fifo, std::ios::binary) << piped; });
    }
    TFTPSend ftp;
    StatusRecorder status;
    ftp.TargetHost = server->host();
    ftp.TargetPort = std::to_string(server->port());
    ftp.UserName = server->user();
    ftp.Password = server->password();
    ftp.Timeout = 20000;
    ASSERT_TRUE(ftp.SignIn()) << ftp.ResultString();
    status.Attach(ftp);
    ftp.DirectFile = true;
    ftp.DirectFileName = c.path;
    EXPECT_TRUE(ftp.UploadFile(c.name, false)) << ftp.ResultString();
    if (writer.joinable()) writer.join();
    ftp.SignOff();
    EXPECT_EQ(server->ReadFile(c.name), c.expected);
    for (const std::string& command : status.Commands()) {
      EXPECT_NE(command.rfind("ALLO", 0), 0u) << "no size is known to announce";
    }
  }
}

// A file cut short while it is sent leaves an incomplete copy: a failure.
TEST(ShrinkingSource, AnIncompleteCopyIsNoSuccess) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  TempDir local;
  ASSERT_TRUE(local.Write("shrinks", RandomBytes(1 << 20)));
  const std::filesystem::path path = local / "shrinks";
  talk.ftp.DirectFile = true;
  talk.ftp.DirectFileName = path.string();
  talk.ftp.DSock().OnStatus = [&path](TBlockSocket&, THookSocketReason reason, const std::string&) {
    if (reason == SR_BytesWritten) std::filesystem::resize_file(path, 1000);
  };
  EXPECT_FALSE(talk.ftp.UploadFile("f", false));
}

// ---- Hostile scripted servers ------------------------------------------------------

// A data receiver that takes the connection and then reads nothing.
TEST(StalledDataReceiver, TheSendEndsAfterTheTimeout) {
  for (const bool zero_copy : {true, false}) {
    SCOPED_TRACE(zero_copy ? "zero-copy" : "buffered");
    ScriptedConversation talk;
    ASSERT_TRUE(talk.SignIn());
    talk.ftp.Timeout = 500;
    talk.server.On("STOR", [](FtpSession& s, const std::string&) {
      s.Reply("150 Go ahead.");
      if (s.OpenData()) s.Sleep(60000);  // ended by the server's destructor
    });
    const std::string data = RandomBytes(64 << 20);
    TempDir local;
    if (zero_copy) {
      ASSERT_TRUE(local.Write("big", data));
      talk.ftp.DirectFile = true;
      talk.ftp.DirectFileName = (local / "big").string();
    } else {
      talk.ftp.DataStream().Write(data.data(), static_cast<int64_t>(data.size()));
      talk.ftp.DataStream().SetPosition(0);
    }
    EXPECT_FALSE(talk.ftp.UploadFile("big", false));
    EXPECT_EQ(talk.ftp.DSock().LastErrorCode(), kErrTimedOut);
  }
}

// Each piece comes well within the timeout, the whole greeting does not.
TEST(TricklingServer, TheGreetingIsBoundedAsAWhole) {
  const std::pair<const char*, FtpHandler> cases[] = {
      {"ByteByByte",
       [](FtpSession& s, const std::string&) {
         s.SendInPieces("220 Welcome to a very slow server indeed.\r\n", 1, 50);
       }},
      {"WaitRepliesOneAfterAnother",
       [](FtpSession& s, const std::string&) {
         for (int i = 0; i < 10; ++i) {
           s.Reply("120 Ready in a moment.");
           s.Sleep(200);
         }
         s.Reply("220 Ready.");
       }},
  };
  for (const auto& [name, greeting] : cases) {
    SCOPED_TRACE(name);
    ScriptedFtpServer server;
    server.OnConnect(greeting);
    TFTPSend ftp;
    AimAt(ftp, server, 600);
    EXPECT_FALSE(ftp.SignIn());
    EXPECT_EQ(ftp.Sock().LastErrorCode(), kErrTimedOut);
    EXPECT_EQ(ftp.ResultCode(), 0);
  }
}

TEST(SilentServer, TheLogoutDoesNotWaitAnotherFullTimeout) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  constexpr int kTimeout = 2500;
  talk.ftp.Timeout = kTimeout;
  talk.server.On("STOR", [](FtpSession& s, const std::string&) { s.GoSilent(); });
  SetDataStream(talk.ftp, "data");
  EXPECT_FALSE(talk.ftp.UploadFile("f", false));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(talk.ftp.SignOff());
  EXPECT_LT(MillisecondsSince(start), kTimeout - 500);
  EXPECT_TRUE(talk.WaitForCommands(6));
  EXPECT_THAT(talk.Commands(), Contains("QUIT"));
}

// A passive port of 16 bits plus 65536 must not reach the 16-bit port.
TEST(PassivePortBeyond16Bits, IsABadReply) {
  for (const Family family : {Family::kIPv4, Family::kIPv6}) {
    SCOPED_TRACE(FamilyName(family));
    if (!LoopbackAvailable(family)) continue;
    ScriptedConversation talk(family);
    ASSERT_TRUE(talk.SignIn());
    const char* verb = family == Family::kIPv4 ? "PASV" : "EPSV";
    talk.server.On(verb, [family](FtpSession& s, const std::string&) {
      const int port = s.ListenPassive() + 65536;
      if (family == Family::kIPv4) {
        s.Reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                std::to_string(port % 256) + ")");
      } else {
        s.Reply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
      }
    });
    SetDataStream(talk.ftp, "data");
    EXPECT_FALSE(talk.ftp.UploadFile("f", false));
    EXPECT_THAT(talk.Commands(), ElementsAre(family == Family::kIPv4 ? "PASV" : "EPSV 2"));
    EXPECT_THAT(talk.server.Files(), Not(Contains(::testing::Key("f"))));
  }
}

}  // namespace
}  // namespace zud::test
