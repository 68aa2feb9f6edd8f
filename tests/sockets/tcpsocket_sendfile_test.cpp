// TTCPBlockSocket::SendStreamPlain with a local file: the zero-copy path must
// behave like the plain piecewise send in every way a caller can see (bytes,
// SR_BytesWritten reports of at most SendMaxChunk, BytesSent, the stream's
// position, StopFlag, the bandwidth limiter, errors), and a peer that goes
// away must end the send with an error, never with SIGPIPE.
#include "sockets/tcpsocket.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <future>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "sockets/tcpsocket_test_util.h"
#include "support/net.h"
#include "support/temp_dir.h"
#include "util/sockapi.h"
#include "util/stream.h"

namespace zud::test {
namespace {

using tcpsocket_test::StatusLog;

constexpr int kStopRequested = 10053;
constexpr int kPeerClosed = 10054;

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

// A connected pair: sock (under test) and the peer's raw descriptor.
class SendFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The default action: a SIGPIPE would end the test program.
    signal(SIGPIPE, SIG_DFL);
    ASSERT_TRUE(dir_.ok());
    std::string why;
    listener_ = ListenTcp("127.0.0.1", 0, &why);
    ASSERT_TRUE(listener_.valid()) << why;
    sock_.ConnectTo("127.0.0.1", std::to_string(LocalEndpoint(listener_.get()).port));
    ASSERT_EQ(sock_.LastErrorCode(), 0) << sock_.LastErrorText();
    peer_ = AcceptTcp(listener_.get(), kDefaultWaitMs, nullptr, &why);
    ASSERT_TRUE(peer_.valid()) << why;
  }

  std::string WriteFile(const std::string& bytes) {
    const std::string path = (dir_ / "source.bin").string();
    EXPECT_TRUE(dir_.Write("source.bin", bytes));
    return path;
  }

  // Everything the peer receives until sock closes.
  std::future<std::string> ReadAllAsync() {
    return std::async(std::launch::async, [fd = peer_.get()] {
      std::string received;
      RecvAll(fd, &received, kDefaultWaitMs);
      return received;
    });
  }

  TempDir dir_;
  UniqueFd listener_;
  UniqueFd peer_;
  TTCPBlockSocket sock_;
};

struct PieceCase {
  const char* name;
  int32_t chunk;
  int64_t start;
  bool monitor;  // an OnMonitor hook forces the plain send
};

class SendFilePieces : public SendFileTest, public ::testing::WithParamInterface<PieceCase> {};

TEST_P(SendFilePieces, SendsTheRestInReportedPieces) {
  const PieceCase& c = GetParam();
  const std::string content = Pattern(300000);
  TFileStream file(WriteFile(content), TFileStream::Mode::kRead);
  file.SetPosition(c.start);
  sock_.SendMaxChunk = c.chunk;
  int64_t monitored = 0;
  if (c.monitor) {
    sock_.OnMonitor = [&](TBlockSocket&, bool writing, const void*, int length) {
      if (writing) monitored += length;
    };
  }
  StatusLog log;
  log.Attach(sock_);
  std::future<std::string> received = ReadAllAsync();

  sock_.SendStreamPlain(file);
  EXPECT_EQ(sock_.LastErrorCode(), 0) << sock_.LastErrorText();
  const int64_t expected = static_cast<int64_t>(content.size()) - c.start;
  EXPECT_EQ(sock_.BytesSent(), expected);
  EXPECT_EQ(file.Position(), static_cast<int64_t>(content.size()));
  int64_t reported = 0;
  for (const std::string& value : log.ValuesOf(SR_BytesWritten)) {
    const int64_t n = std::stoll(value);
    EXPECT_GT(n, 0);
    EXPECT_LE(n, c.chunk);
    reported += n;
  }
  EXPECT_EQ(reported, expected);
  if (c.monitor) {
    EXPECT_EQ(monitored, expected);
  }
  sock_.CloseAtOnce();
  EXPECT_EQ(received.get(), content.substr(static_cast<size_t>(c.start)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SendFilePieces,
    ::testing::Values(PieceCase{"WholeFile", 65536, 0, false},
                      PieceCase{"FromTheMiddle", 65536, 123457, false},
                      PieceCase{"SmallPieces", 1000, 5, false},
                      PieceCase{"AtTheEnd", 65536, 300000, false},
                      PieceCase{"MonitoredWholeFile", 65536, 0, true},
                      PieceCase{"MonitoredSmallPieces", 1000, 5, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SendFileTest, AStopRequestedBeforehandSendsNothing) {
  TFileStream file(WriteFile(Pattern(100000)), TFileStream::Mode::kRead);
  sock_.StopFlag = true;
  sock_.SendStreamPlain(file);
  EXPECT_EQ(sock_.LastErrorCode(), kStopRequested);
  EXPECT_FALSE(sock_.StopFlag);
  EXPECT_EQ(sock_.BytesSent(), 0);
  EXPECT_EQ(file.Position(), 0);
}

TEST_F(SendFileTest, AStopRequestedDuringTheSendEndsItAfterThatPiece) {
  TFileStream file(WriteFile(Pattern(500000)), TFileStream::Mode::kRead);
  sock_.SendMaxChunk = 10000;
  sock_.OnStatus = [](TBlockSocket& sender, THookSocketReason reason, const std::string&) {
    if (reason == SR_BytesWritten) sender.StopFlag = true;
  };
  std::future<std::string> received = ReadAllAsync();
  sock_.SendStreamPlain(file);
  EXPECT_EQ(sock_.LastErrorCode(), kStopRequested);
  EXPECT_GT(sock_.BytesSent(), 0);
  EXPECT_LE(sock_.BytesSent(), 10000);
  EXPECT_EQ(file.Position(), sock_.BytesSent());
  sock_.CloseAtOnce();
  EXPECT_EQ(static_cast<int64_t>(received.get().size()), file.Position());
}

TEST_F(SendFileTest, BoundsTheUnsentBytesOnlyWhileSendingAFile) {
  TFileStream file(WriteFile(Pattern(300000)), TFileStream::Mode::kRead);
  int previous = -1;
  if (ExchangeUnsentLimit(sock_.Handle(), 12345, previous) != 0) {
    GTEST_SKIP() << "this platform has no bound on unsent bytes";
  }
  std::vector<int> during;
  sock_.OnStatus = [&during](TBlockSocket& sender, THookSocketReason reason, const std::string&) {
    int bound = -1;
    if (reason != SR_BytesWritten) return;
    if (ExchangeUnsentLimit(sender.Handle(), 65536, bound) != 0) return;
    during.push_back(bound);
  };
  std::future<std::string> received = ReadAllAsync();
  sock_.SendStreamPlain(file);
  EXPECT_EQ(sock_.LastErrorCode(), 0);
  EXPECT_THAT(during, ::testing::Each(65536));
  EXPECT_FALSE(during.empty());
  ASSERT_EQ(ExchangeUnsentLimit(sock_.Handle(), 0, previous), 0);
  EXPECT_EQ(previous, 12345);
  sock_.CloseAtOnce();
  EXPECT_EQ(received.get().size(), 300000u);
}

TEST_F(SendFileTest, TheBandwidthLimitStillThrottles) {
  TFileStream file(WriteFile(Pattern(40000)), TFileStream::Mode::kRead);
  sock_.SendMaxChunk = 10000;
  sock_.MaxSendBandwidth = 1000000;
  StatusLog log;
  log.Attach(sock_);
  std::future<std::string> received = ReadAllAsync();
  sock_.SendStreamPlain(file);
  EXPECT_EQ(sock_.LastErrorCode(), 0);
  EXPECT_FALSE(log.ValuesOf(SR_Throttled).empty());
  sock_.CloseAtOnce();
  EXPECT_EQ(received.get().size(), 40000u);
}

struct BrokenCase {
  const char* name;
  bool reset_by_peer;  // else the sending side is already shut down (EPIPE)
  bool caller_blocks_sigpipe;
};

class SendFileOnBrokenConnection : public SendFileTest,
                                   public ::testing::WithParamInterface<BrokenCase> {};

// With SIGPIPE at its default action the signal would end the program; with
// SIGPIPE blocked by the caller it must not be left pending either.
TEST_P(SendFileOnBrokenConnection, EndsWithAnErrorNotASignal) {
  const BrokenCase& c = GetParam();
  sigset_t pipe_only;
  sigset_t previous;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(c.caller_blocks_sigpipe ? SIG_BLOCK : SIG_UNBLOCK, &pipe_only, &previous);
  if (c.reset_by_peer) {
    // Unread data on close makes the peer's kernel answer with a reset.
    ASSERT_TRUE(SendAll(sock_.Handle(), "unread"));
    ASSERT_TRUE(WaitFd(peer_.get(), POLLIN, kDefaultWaitMs) == WaitResult::kReady);
    peer_.reset();
  } else {
    ASSERT_EQ(::shutdown(sock_.Handle(), SHUT_WR), 0);
  }
  TFileStream file(WriteFile(Pattern(16 << 20)), TFileStream::Mode::kRead);
  sock_.SendStreamPlain(file);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool left_pending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#if defined(_WIN32)
  // Windows reports a send after the socket's own shutdown as such (10058).
  const int expected = c.reset_by_peer ? kPeerClosed : 10058;
#else
  const int expected = kPeerClosed;
#endif
  EXPECT_EQ(sock_.LastErrorCode(), expected) << sock_.LastErrorText();
  EXPECT_LT(sock_.BytesSent(), 16 << 20);
  EXPECT_FALSE(left_pending);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SendFileOnBrokenConnection,
    ::testing::Values(BrokenCase{"ResetByPeer", true, false},
                      BrokenCase{"ResetByPeerSigPipeBlocked", true, true},
                      BrokenCase{"ShutDown", false, false},
                      BrokenCase{"ShutDownSigPipeBlocked", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zud::test
