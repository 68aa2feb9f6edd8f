// Sockets against peers that stall or trickle, and the exact outcomes of
// receives and stream sends that end early: a signed length prefix, the
// whole-call timeout of ReceiveExact, the stream position after a failed
// piece, and proxies whose whole answer outlasts its timeout.
#include <sys/socket.h>

#include <string>

#include "gtest/gtest.h"
#include "sockets/socketerrors.h"
#include "sockets/tcpsocket.h"
#include "support/net.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"
#include "tcpsocket_test_util.h"
#include "util/stream.h"

namespace zud::test {
namespace {

using tcpsocket_test::PointAtSocks;
using tcpsocket_test::PointAtTunnel;
using tcpsocket_test::StatusLog;

// A TTCPBlockSocket connected to a loopback peer that this test holds.
struct LoopbackPair {
  LoopbackPair() {
    listener = ListenTcp("127.0.0.1", 0);
    sock.ConnectTo("127.0.0.1", std::to_string(LocalEndpoint(listener.get()).port));
    peer = AcceptTcp(listener.get(), kDefaultWaitMs);
  }
  bool ok() const { return peer.valid() && sock.LastErrorCode() == 0; }

  UniqueFd listener;
  TTCPBlockSocket sock;
  UniqueFd peer;
};

TEST(LengthPrefixedStreams, ACountBelowOneReceivesNothing) {
  struct Case {
    const char* name;
    bool network_order;
    std::string prefix;
  };
  const Case cases[] = {
      {"MinusOne", false, std::string("\xFF\xFF\xFF\xFF", 4)},
      {"MinusOneNetworkOrder", true, std::string("\xFF\xFF\xFF\xFF", 4)},
      {"MostNegativeNetworkOrder", true, std::string("\x80\0\0\0", 4)},
      {"Zero", false, std::string(4, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    ASSERT_TRUE(SendAll(pair.peer.get(), c.prefix + "next"));
    TMemoryStream stream;
    if (c.network_order) {
      pair.sock.ReceiveStreamWithNetLength(stream, kDefaultWaitMs);
    } else {
      pair.sock.ReceiveStreamWithLength(stream, kDefaultWaitMs);
    }
    EXPECT_EQ(pair.sock.LastErrorCode(), 0);
    EXPECT_EQ(stream.Data(), "");
    EXPECT_EQ(pair.sock.ReceiveExactText(4, kDefaultWaitMs), "next") << "nothing swallowed";
  }
}

// The whole-call budget running out is recorded for the caller, with the
// bytes that did arrive counted, and neither reported nor raised.
TEST(ReceiveExactWholeCall, AnExhaustedBudgetIsOnlyRecorded) {
  LoopbackPair pair;
  ASSERT_TRUE(pair.ok());
  ASSERT_TRUE(SendAll(pair.peer.get(), "abcd"));
  ASSERT_TRUE(pair.sock.WaitReadable(kDefaultWaitMs));
  StatusLog log;
  log.Attach(pair.sock);
  pair.sock.RaiseExcept = true;
  pair.sock.InterPacketTimeout = false;
  char buffer[10] = {};
  int got = -1;
  EXPECT_NO_THROW(got = pair.sock.ReceiveExact(buffer, 10, 0));
  EXPECT_EQ(got, 4);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  EXPECT_EQ(pair.sock.LastErrorCode(), kErrTimedOut);
  EXPECT_TRUE(log.ValuesOf(SR_Error).empty());
}

// A peer that reads nothing: the send timeout ends the send, and the stream
// lies after the piece that failed, whichever way it was sent.
TEST(StalledReceiver, TheSendTimesOutAfterTheFailedPiece) {
  TempDir dir;
  ASSERT_TRUE(dir.Write("big", std::string(48 << 20, 'x')));
  for (const bool zero_copy : {true, false}) {
    SCOPED_TRACE(zero_copy ? "zero-copy" : "buffered");
    LoopbackPair pair;
    ASSERT_TRUE(pair.ok());
    pair.sock.ApplyOption({OT_SendTimeout, false, 200});
    // Nothing needs to see the bytes on the zero-copy path; a monitor does.
    if (!zero_copy) pair.sock.OnMonitor = [](TBlockSocket&, bool, const void*, int) {};
    TFileStream file((dir / "big").string(), TFileStream::Mode::kRead);
    pair.sock.SendStreamPlain(file);
    EXPECT_EQ(pair.sock.LastErrorCode(), kErrTimedOut);
    EXPECT_GT(file.Position(), pair.sock.BytesSent());
    EXPECT_LE(file.Position(), pair.sock.BytesSent() + pair.sock.SendMaxChunk);
  }
}

// Every part of the answer comes within the timeout; the answer does not.
TEST(TricklingProxy, TheWholeAnswerIsBounded) {
  {
    SCOPED_TRACE("SOCKS 5");
    ScriptedPeer proxy;
    proxy.Expect({0x05, 0x01, 0x00})
        .Send({0x05, 0x00})
        .Read(10)
        .Send({0x05, 0x00, 0x00, 0x03})
        .Sleep(200)
        .Send({0x07})
        .Sleep(200)
        .Send("example")
        .Sleep(200)
        .Send({0x00, 0x15})
        .GoSilent();
    proxy.Start();
    TTCPBlockSocket sock;
    PointAtSocks(sock, proxy, 450);
    sock.ConnectTo("127.0.0.1", "21");
    EXPECT_EQ(sock.LastErrorCode(), kErrTimedOut);
  }
  {
    SCOPED_TRACE("HTTP CONNECT");
    ScriptedPeer proxy;
    proxy.ReadUntil("\r\n\r\n")
        .SendInPieces("HTTP/1.0 200 OK\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n",
                      {17, 6, 6, 6, 6, 2}, 150)
        .GoSilent();
    proxy.Start();
    TTCPBlockSocket sock;
    PointAtTunnel(sock, proxy, 400);
    sock.ConnectTo("ftp.example", "21");
    EXPECT_EQ(sock.LastErrorCode(), kErrTimedOut);
    EXPECT_FALSE(sock.TunnelEstablished());
  }
}

}  // namespace
}  // namespace zud::test
