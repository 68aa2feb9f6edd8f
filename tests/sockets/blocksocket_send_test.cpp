// TBlockSocket sending: chunking, wire layouts, the bandwidth limiter,
// StopFlag, failures, the would-block path and datagrams.
#include "sockets/blocksocket.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "blocksocket_test_peer.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud::blocksocket_test {
namespace {

// Connects a client to a peer that records every byte until the client
// closes; Received() is valid after Close().
class RecordingPeer {
 public:
  explicit RecordingPeer(Family family = Family::kIPv4) : peer_(family) {
    if (peer_.ok()) peer_.Run([this](Conn& c) { received_ = c.RecvAll(); });
  }
  bool Connect(TBlockSocket& sock) {
    sock.ConnectTo(peer_.host(), peer_.port());
    return sock.LastErrorCode() == 0;
  }
  // Closes the client and returns what the peer got.
  std::string CloseAndCollect(TBlockSocket& sock) {
    sock.Close();
    peer_.Join();
    return received_;
  }

 private:
  Peer peer_;
  std::string received_;
};

std::string Stars(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7);
  return s;
}

TEST(SendBytesTest, CutsIntoPiecesOfSendMaxChunkAndMonitorsOnce) {
  RecordingPeer peer;
  TTestSocket sock;
  StatusLog log;
  log.Attach(sock);
  std::vector<int> monitored;
  sock.OnMonitor = [&](TBlockSocket&, bool writing, const void*, int length) {
    if (writing) monitored.push_back(length);
  };
  ASSERT_TRUE(peer.Connect(sock));
  const std::string data = Stars(150000);
  EXPECT_EQ(sock.SendBytes(data.data(), static_cast<int>(data.size())), 150000);
  EXPECT_EQ(sock.LastErrorCode(), 0);
  EXPECT_EQ(monitored, std::vector<int>{150000});
  EXPECT_EQ(log.ValuesOf(SR_BytesWritten), (std::vector<std::string>{"65536", "65536", "18928"}));
  EXPECT_EQ(sock.BytesSent(), 150000);
  EXPECT_EQ(peer.CloseAndCollect(sock), data);
}

// The exact bytes each send form puts on the wire.
struct WireCase {
  const char* name;
  std::function<void(TBlockSocket&)> send;
  std::string wire;
  std::vector<std::string> pieces;  // SR_BytesWritten values
  std::vector<int> monitored;       // OnMonitor lengths: one per SendBytes call
};

TEST(SendFormsTest, WireLayouts) {
  const std::vector<WireCase> cases = {
      {"LengthPrefixed", [](TBlockSocket& s) { s.SendLengthPrefixed("abc"); },
       std::string("\x03\x00\x00\x00"
                   "abc", 7),
       {"7"}, {7}},
      {"Int32", [](TBlockSocket& s) { EXPECT_EQ(s.SendInt32(0x01020304), 4); },
       "\x04\x03\x02\x01", {"4"}, {4}},
      {"OneByte", [](TBlockSocket& s) { EXPECT_EQ(s.SendOneByte(0xFF), 1); }, "\xFF", {"1"}, {1}},
      {"EmptyText", [](TBlockSocket& s) { s.SendText(""); }, "", {}, {0}},
      {"StreamWithNetLength",
       [](TBlockSocket& s) {
         TMemoryStream stream("abcde");
         s.SendStreamWithNetLength(stream);
       },
       std::string("\x00\x00\x00\x05"
                   "abcde", 9),
       {"9"}, {9}},
      {"StreamWithLength",
       [](TBlockSocket& s) {
         TMemoryStream stream("abcde");
         s.SendStreamWithLength(stream);
       },
       std::string("\x05\x00\x00\x00"
                   "abcde", 9),
       {"9"}, {9}},
      {"StreamAtItsEnd",
       [](TBlockSocket& s) {
         TMemoryStream stream("abcde");
         stream.SetPosition(5);
         s.SendStreamWithLength(stream);
         s.SendStreamWithNetLength(stream);
         s.SendStreamPlain(stream);
       },
       "", {}, {}},
      {"StreamPlainFromItsPosition",
       [](TBlockSocket& s) {
         TMemoryStream stream("abcde");
         stream.SetPosition(2);
         s.SendStreamPlain(stream);
         EXPECT_EQ(stream.Position(), 5);
       },
       "cde", {"3"}, {3}},
      {"StreamInPieces",  // the prefix travels with the first piece
       [](TBlockSocket& s) {
         s.SendMaxChunk = 4;
         TMemoryStream stream("0123456789");
         s.SendStreamWithLength(stream);
       },
       std::string("\x0A\x00\x00\x00"
                   "0123456789", 14),
       {"4", "4", "4", "2"}, {8, 4, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingPeer peer;
    TTestSocket sock;
    StatusLog log;
    log.Attach(sock);
    std::vector<int> monitored;
    sock.OnMonitor = [&](TBlockSocket&, bool, const void*, int length) {
      monitored.push_back(length);
    };
    ASSERT_TRUE(peer.Connect(sock));
    c.send(sock);
    EXPECT_EQ(sock.LastErrorCode(), 0);
    EXPECT_EQ(log.ValuesOf(SR_BytesWritten), c.pieces);
    EXPECT_TRUE(log.ValuesOf(SR_Error).empty());
    EXPECT_EQ(monitored, c.monitored);
    EXPECT_EQ(peer.CloseAndCollect(sock), c.wire);
  }
}

TEST(SendFormsTest, StreamsRoundTripBetweenTwoSockets) {
  TTestSocket listener;
  listener.BindTo("::1", "0");
  listener.StartListening();
  ASSERT_EQ(listener.LastErrorCode(), 0) << listener.LastErrorText();
  const std::string port = std::to_string(listener.LocalPortNumber());
  const std::string payload = Stars(200000);

  std::thread sender([&] {
    TTestSocket client;
    client.ConnectTo("::1", port);
    TMemoryStream a(payload);
    client.SendStreamWithLength(a);
    TMemoryStream b(payload.substr(0, 70000));
    client.SendStreamWithNetLength(b);
    client.SendLengthPrefixed("done");
    // Stay connected until the receiver has everything.
    client.ReceiveAvailable(kPeerWaitMs);
  });
  ASSERT_TRUE(listener.WaitReadable(kPeerWaitMs));
  TTestSocket server;
  server.AdoptHandle(listener.AcceptConnection());
  TMemoryStream a;
  server.ReceiveStreamWithLength(a, kPeerWaitMs);
  TMemoryStream b;
  server.ReceiveStreamWithNetLength(b, kPeerWaitMs);
  EXPECT_EQ(server.ReceiveLengthPrefixed(kPeerWaitMs), "done");
  EXPECT_EQ(server.LastErrorCode(), 0);
  server.SendText("x");
  sender.join();
  EXPECT_EQ(a.Data(), payload);
  EXPECT_EQ(b.Data(), payload.substr(0, 70000));
}

// The limiter never delays a transfer by its own size: the first send goes at
// once and sets the earliest start of the next one.
TEST(LimiterTest, ReportsTheWaitAndStopFlagEndsItAtTheNextSlice) {
  RecordingPeer peer;
  TTestSocket sock;
  ASSERT_TRUE(peer.Connect(sock));
  std::vector<std::string> throttled;
  sock.OnStatus = [&](TBlockSocket& s, THookSocketReason reason, const std::string& value) {
    if (reason != SR_Throttled) return;
    throttled.push_back(value);
    s.StopFlag = true;  // instead of waiting out several seconds
  };
  sock.MaxSendBandwidth = 10000;
  const std::string data = Stars(65536);

  const uint32_t before = ReadTickCounter();
  EXPECT_EQ(sock.SendBytes(data.data(), 65536), 65536);
  const uint32_t after = ReadTickCounter();
  EXPECT_TRUE(throttled.empty());
  // 65536 bytes at 10000 bytes/s: the next send may start 6553 ms later.
  EXPECT_GE(static_cast<int32_t>(sock.NextSendTime() - before), 6553);
  EXPECT_LE(static_cast<int32_t>(sock.NextSendTime() - after), 6553);

  sock.SendMaxChunk = 32768;  // two pieces: the second goes unthrottled
  EXPECT_EQ(sock.SendBytes(data.data(), 65536), 65536);
  ASSERT_EQ(throttled.size(), 1u);
  const int wait = std::stoi(throttled[0]);
  EXPECT_GT(wait, 0);
  EXPECT_LE(wait, 6553);
  EXPECT_TRUE(sock.StopFlag) << "the limiter does not clear the stop request";

  // The next call finds the stop request and sends nothing.
  EXPECT_EQ(sock.SendBytes(data.data(), 10), 0);
  EXPECT_EQ(sock.LastErrorCode(), 10053);
  EXPECT_FALSE(sock.StopFlag);
  EXPECT_EQ(peer.CloseAndCollect(sock).size(), 2u * 65536u);
}

TEST(LimiterTest, ReceivesAreThrottledByTheSizeAsked) {
  Peer peer(Family::kIPv4);
  ASSERT_TRUE(peer.ok());
  peer.Run([](Conn& c) {
    c.Send("abc");
    c.RecvAll();
  });
  TTestSocket sock;
  sock.ConnectTo(peer.host(), peer.port());
  sock.MaxRecvBandwidth = 1000;
  ASSERT_TRUE(sock.WaitReadable(kPeerWaitMs));
  char buffer[500];
  const uint32_t before = ReadTickCounter();
  EXPECT_EQ(sock.ReceiveRaw(buffer, 500), 3);
  const uint32_t after = ReadTickCounter();
  EXPECT_GE(static_cast<int32_t>(sock.NextReceiveTime() - before), 500);
  EXPECT_LE(static_cast<int32_t>(sock.NextReceiveTime() - after), 500);
  EXPECT_EQ(sock.NextSendTime(), 0u);
  sock.Close();
}

TEST(SendFailureTest, StopFlagBeforeASendSendsNothing) {
  RecordingPeer peer;
  TTestSocket sock;
  ASSERT_TRUE(peer.Connect(sock));
  sock.StopFlag = true;
  sock.SendText("never");
  EXPECT_EQ(sock.LastErrorCode(), 10053);
  EXPECT_FALSE(sock.StopFlag);
  sock.SendText("after");
  EXPECT_EQ(sock.LastErrorCode(), 0);
  EXPECT_EQ(peer.CloseAndCollect(sock), "after");
}

TEST(SendFailureTest, SendingToAClosedPeerFailsWith10054AndNoSignal) {
  Peer peer(Family::kIPv6);
  ASSERT_TRUE(peer.ok());
  peer.Run([](Conn& c) { c.Reset(); });
  TTestSocket sock;
  StatusLog log;
  log.Attach(sock);
  sock.ConnectTo(peer.host(), peer.port());
  ASSERT_EQ(sock.LastErrorCode(), 0);
  peer.Join();
  const std::string data = Stars(65536);
  for (int i = 0; i < 200 && sock.LastErrorCode() == 0; ++i) {
    sock.SendBytes(data.data(), static_cast<int>(data.size()));
  }
  EXPECT_EQ(sock.LastErrorCode(), 10054);
  EXPECT_EQ(log.ValuesOf(SR_Error).back(), "10054,Connection reset by peer");
  sock.RaiseExcept = true;
  EXPECT_THROW(sock.SendText("more"), EZudiravError);
}

TEST(SendFailureTest, WouldBlockWaitsThenTimesOut) {
  Gate release;
  Peer peer(Family::kIPv4);
  ASSERT_TRUE(peer.ok());
  peer.Run([&](Conn& c) {
    release.Acquire();  // read nothing until the client gave up
    c.RecvAll(1000);
  });
  TTestSocket sock;
  StatusLog log;
  log.Attach(sock);
  sock.QueueOption(TSocketOption{OT_SendBufferSize, false, 65536});
  sock.QueueOption(TSocketOption{OT_NonBlocking, true, 0});
  sock.ConnectTo(peer.host(), peer.port());
  // A non-blocking connect may still be under way on some platforms.
  if (sock.LastErrorCode() == 10036) {
    ASSERT_TRUE(sock.WaitWritable(kPeerWaitMs));
  }
  ASSERT_TRUE(sock.NonBlocking());
  sock.NonblockSendTimeout = 50;
  const std::string data = Stars(64 * 1024 * 1024);
  const int sent = sock.SendBytes(data.data(), static_cast<int>(data.size()));
  release.Release();
  if (sent == static_cast<int>(data.size())) {
    GTEST_SKIP() << "the platform buffered 64 MiB";
  }
  EXPECT_EQ(sock.LastErrorCode(), 10060);
  EXPECT_EQ(sock.BytesSent(), sent);
  EXPECT_EQ(log.ValuesOf(SR_Error), std::vector<std::string>{"10060,Connection timed out"});
  sock.Close();
}

TEST(WaitWritableTest, ReportsWriteReady) {
  RecordingPeer peer;
  TTestSocket sock;
  StatusLog log;
  ASSERT_TRUE(peer.Connect(sock));
  log.Attach(sock);
  EXPECT_TRUE(sock.WaitWritable(0));
  EXPECT_EQ(log.Reasons(), std::vector<THookSocketReason>{SR_WriteReady});
  peer.CloseAndCollect(sock);
  EXPECT_FALSE(sock.WaitWritable(0)) << "no handle after close";
  EXPECT_NE(sock.LastErrorCode(), 0);
}

class DatagramTest : public ::testing::TestWithParam<Family> {};

TEST_P(DatagramTest, SendToTheRemoteAddressAndLearnTheSender) {
  const std::string loopback = LoopbackText(GetParam());
  TTestDatagramSocket receiver;
  receiver.BindTo(loopback, "0");
  ASSERT_EQ(receiver.LastErrorCode(), 0) << receiver.LastErrorText();
  TTestDatagramSocket sender;
  sender.ConnectTo(loopback, std::to_string(receiver.LocalPortNumber()));
  ASSERT_EQ(sender.LastErrorCode(), 0) << sender.LastErrorText();

  StatusLog log;
  log.Attach(receiver);
  EXPECT_EQ(sender.SendDatagram("ping", 4), 4);
  EXPECT_EQ(sender.SendDatagram("", 0), 0) << "an empty datagram is no error";
  EXPECT_EQ(sender.BytesSent(), 4);
  char buffer[64];
  ASSERT_TRUE(receiver.WaitReadable(kPeerWaitMs));
  EXPECT_EQ(receiver.ReceiveDatagram(buffer, sizeof(buffer)), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  EXPECT_EQ(receiver.RemoteAddressText(), loopback);
  EXPECT_EQ(receiver.RemotePortNumber(), sender.LocalPortNumber());
  ASSERT_TRUE(receiver.WaitReadable(kPeerWaitMs));
  EXPECT_EQ(receiver.ReceiveDatagram(buffer, sizeof(buffer)), 0);
  EXPECT_EQ(receiver.LastErrorCode(), 0);
  EXPECT_EQ(log.ValuesOf(SR_BytesRead), (std::vector<std::string>{"4", "0"}));

  // The receiver answers whoever sent last.
  EXPECT_EQ(receiver.SendDatagram("pong", 4), 4);
  ASSERT_TRUE(sender.WaitReadable(kPeerWaitMs));
  EXPECT_EQ(sender.ReceiveDatagram(buffer, sizeof(buffer)), 4);
  EXPECT_EQ(std::string(buffer, 4), "pong");
}

INSTANTIATE_TEST_SUITE_P(Loopback, DatagramTest, ::testing::Values(Family::kIPv4, Family::kIPv6),
                         [](const auto& info) { return std::string(FamilyLabel(info.param)); });

}  // namespace
}  // namespace zud::blocksocket_test
