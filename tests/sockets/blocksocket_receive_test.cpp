// TBlockSocket receiving: LineBuffer, line reading across packet boundaries
// in both line modes, limits, timeouts, peer close, StopFlag, exact counts,
// integer, length-prefixed and stream forms, peeks and the read filter.
#include "sockets/blocksocket.h"

#include <sys/ioctl.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "blocksocket_test_peer.h"
#include "util/stream.h"

namespace zud::blocksocket_test {
namespace {

// A TCP client connected to a scripted loopback peer. The peer can pace its
// packets by what the client consumed (SendPackets), so packet boundaries are
// real; it keeps the connection open until the fixture ends.
class Connected {
 public:
  explicit Connected(Family family = Family::kIPv4) : peer_(family) {}
  ~Connected() {
    done_.Close();
    consumed_.Close();
    peer_.Join();
  }

  // Starts the peer script and connects; false when either failed.
  bool Start(std::function<void(Conn&)> script) {
    if (!peer_.ok()) return false;
    peer_.Run([this, script = std::move(script)](Conn& c) {
      script(c);
      done_.Acquire(60000);
    });
    sock.OnStatus = [this](TBlockSocket&, THookSocketReason reason, const std::string& value) {
      log.events.emplace_back(reason, value);
      if (reason == SR_BytesRead) consumed_.Release();
    };
    sock.ConnectTo(peer_.host(), peer_.port());
    return sock.LastErrorCode() == 0;
  }

  // Sends each packet once the client consumed the one before.
  void SendPackets(Conn& c, const std::vector<std::string>& packets) {
    for (size_t i = 0; i < packets.size(); ++i) {
      if (!c.Send(packets[i])) return;
      if (i + 1 < packets.size() && !consumed_.Acquire()) return;
    }
  }
  // Lets the peer script go past its end (to close the connection).
  void Finish() { done_.Close(); }
  Gate& consumed() { return consumed_; }
  int ReadCount() const { return static_cast<int>(log.ValuesOf(SR_BytesRead).size()); }

  TTestSocket sock;
  StatusLog log;

 private:
  Peer peer_;
  Gate consumed_;
  Gate done_;
};

// The lines a whole text holds when any of CR LF, LF CR, CR and LF ends a line.
std::vector<std::string> SplitAnyLineEnd(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  for (;;) {
    const size_t p = text.find_first_of("\r\n", pos);
    if (p == std::string::npos) break;
    lines.push_back(text.substr(pos, p - pos));
    const char other = text[p] == '\r' ? '\n' : '\r';
    pos = p + ((p + 1 < text.size() && text[p + 1] == other) ? 2 : 1);
  }
  return lines;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  for (size_t p; (p = text.find("\r\n", pos)) != std::string::npos; pos = p + 2) {
    lines.push_back(text.substr(pos, p - pos));
  }
  return lines;
}

// Every way to cut the dialogue into two packets, plus one byte per packet.
std::vector<std::vector<std::string>> Splits(const std::string& text) {
  std::vector<std::vector<std::string>> out;
  for (size_t i = 1; i < text.size(); ++i) out.push_back({text.substr(0, i), text.substr(i)});
  std::vector<std::string> bytes;
  for (char ch : text) bytes.emplace_back(1, ch);
  out.push_back(bytes);
  return out;
}

struct LineModeCase {
  const char* name;
  bool convert_line_end;
  std::string dialogue;
};

void PrintTo(const LineModeCase& mode, std::ostream* os) { *os << mode.name; }

class LineSplitTest : public ::testing::TestWithParam<std::tuple<Family, LineModeCase>> {};

TEST_P(LineSplitTest, EverySplitGivesTheSameLines) {
  const auto& [family, mode] = GetParam();
  const std::vector<std::string> expected =
      mode.convert_line_end ? SplitAnyLineEnd(mode.dialogue) : SplitCrLf(mode.dialogue);
  ASSERT_GT(expected.size(), 3u);
  for (const auto& packets : Splits(mode.dialogue)) {
    SCOPED_TRACE("first packet " + std::to_string(packets[0].size()) + " bytes of " +
                 std::to_string(packets.size()) + " packets");
    Connected c(family);
    c.sock.ConvertLineEnd = mode.convert_line_end;
    ASSERT_TRUE(c.Start([&](Conn& conn) { c.SendPackets(conn, packets); }));
    for (const auto& line : expected) {
      EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), line);
      ASSERT_EQ(c.sock.LastErrorCode(), 0) << c.sock.LastErrorText();
    }
  }
}

const LineModeCase kLineModes[] = {
    {"CrLf", false, "220-Welcome\r\n220 ready\r\n\r\nbare\rcr\nand lf\r\n331 pass\r\n"},
    {"AnyLineEnd", true, "220 a\r\nb\nc\rd\n\r\r\ne\r\r\nf\n\ng\r\n"},
};

INSTANTIATE_TEST_SUITE_P(
    Loopback, LineSplitTest,
    ::testing::Combine(::testing::Values(Family::kIPv4, Family::kIPv6),
                       ::testing::ValuesIn(kLineModes)),
    [](const auto& info) {
      return std::string(FamilyLabel(std::get<0>(info.param))) + std::get<1>(info.param).name;
    });

TEST(ReceiveLineTest, LinesOfOnePacketComeFromTheBufferWithoutAnotherRead) {
  Connected c;
  ASSERT_TRUE(c.Start([](Conn& conn) { conn.Send("abc\r\ndef\r\n"); }));
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "abc");
  EXPECT_EQ(c.sock.LineBuffer(), "def\r\n");
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "def");
  EXPECT_EQ(c.ReadCount(), 1);
  EXPECT_EQ(c.sock.BytesReceived(), 10);
}

TEST(ReceiveLineTest, LoneLineEndsAcrossPacketsSetAndClearTheFlags) {
  Connected c;
  c.sock.ConvertLineEnd = true;
  ASSERT_TRUE(c.Start([&](Conn& conn) { c.SendPackets(conn, {"a\n", "b\r", "\nc\r\n"}); }));
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "a");
  EXPECT_TRUE(c.sock.SawLF());
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "b");
  EXPECT_TRUE(c.sock.SawCR());
  EXPECT_FALSE(c.sock.SawLF());
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "c");
  EXPECT_FALSE(c.sock.SawCR());
  EXPECT_EQ(c.sock.LineBuffer(), "");
}

TEST(ReceiveUntilTest, TimeoutKeepsThePartialText) {
  Connected c;
  ASSERT_TRUE(c.Start([](Conn& conn) { conn.Send("partial"); }));
  // The bytes must be there before the short wait starts, however slow the
  // machine (or wine) is.
  ASSERT_TRUE(c.sock.WaitReadable(kPeerWaitMs));
  EXPECT_EQ(c.sock.ReceiveUntil(30, "END"), "");
  EXPECT_EQ(c.sock.LastErrorCode(), 10060);
  EXPECT_EQ(c.sock.LineBuffer(), "partial");
  // The buffer and the error survive a close; the buffer is handed out first.
  c.sock.Close();
  EXPECT_EQ(c.sock.LastErrorCode(), 10060);
  EXPECT_EQ(c.sock.ReceiveAvailable(0), "partial");
  EXPECT_EQ(c.sock.LastErrorCode(), 0);
}

TEST(ReceiveUntilTest, RaisedTimeoutStillKeepsThePartialText) {
  Connected c;
  ASSERT_TRUE(c.Start([](Conn& conn) { conn.Send("abc"); }));
  c.sock.RaiseExcept = true;
  EXPECT_THROW(c.sock.ReceiveLine(30), EZudiravError);
  EXPECT_EQ(c.sock.LineBuffer(), "abc");
}

TEST(ReceiveUntilTest, TerminatorSplitOverPacketsAndCustomTerminators) {
  Connected c;
  ASSERT_TRUE(c.Start([&](Conn& conn) { c.SendPackets(conn, {"one<E", "N", "D>two<END>"}); }));
  EXPECT_EQ(c.sock.ReceiveUntil(kPeerWaitMs, "<END>"), "one");
  EXPECT_EQ(c.sock.ReceiveUntil(kPeerWaitMs, "<END>"), "two");
  EXPECT_EQ(c.sock.ReceiveUntil(kPeerWaitMs, ""), "") << "an empty terminator returns at once";
  EXPECT_EQ(c.sock.LastErrorCode(), 0);
}

TEST(MaxLineLengthTest, AnOverlongLineFailsWithItsBytesKept) {
  Connected c;
  c.sock.MaxLineLength = 10;
  ASSERT_TRUE(c.Start([](Conn& conn) { conn.Send("123456789012"); }));
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "");
  EXPECT_EQ(c.sock.LastErrorCode(), 10055);
  EXPECT_EQ(c.sock.LastErrorText(), "No Buffer space available");
  EXPECT_EQ(c.sock.LineBuffer(), "123456789012");
}

TEST(MaxLineLengthTest, ShortLinesPassAlthoughThePacketIsLonger) {
  Connected c;
  c.sock.MaxLineLength = 4;
  ASSERT_TRUE(c.Start([](Conn& conn) { conn.Send("ab\r\ncd\r\nlonger\r\nef\r\n"); }));
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "ab");
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "cd");
  // The overlong line is dropped with the error; reading goes on after it.
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "");
  EXPECT_EQ(c.sock.LastErrorCode(), 10055);
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "ef");
  EXPECT_EQ(c.sock.LastErrorCode(), 0);
}

TEST(MaxLineLengthTest, AnEndlessLineCannotGrowTheBufferPastTheLimit) {
  Connected c;
  c.sock.MaxLineLength = 1000;
  ASSERT_TRUE(c.Start([](Conn& conn) {
    const std::string flood(64 * 1024, 'x');
    for (int i = 0; i < 64 && conn.Send(flood); ++i) {
    }
    conn.Close();
  }));
  int too_long = 0;
  for (;;) {
    EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "");
    EXPECT_LE(c.sock.LineBuffer().size(), 1000u + 65536u);
    if (c.sock.LastErrorCode() != 10055) break;
    ++too_long;
    c.sock.DiscardPending();
  }
  EXPECT_EQ(c.sock.LastErrorCode(), 10054);
  EXPECT_GT(too_long, 0);
}

TEST(ReceiveErrorsTest, PeerCloseGives10054AndKeepsWhatArrived) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "orderly close");
    Connected c;
    ASSERT_TRUE(c.Start([&](Conn& conn) {
      conn.Send("x");
      c.consumed().Acquire();
      if (reset) {
        conn.Reset();
      } else {
        conn.Close();
      }
    }));
    EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "");
    EXPECT_EQ(c.sock.LastErrorCode(), 10054);
    EXPECT_EQ(c.sock.LastErrorText(), "Connection reset by peer");
    EXPECT_EQ(c.sock.LineBuffer(), "x");
    // Dropping input on a dead connection ends quietly.
    c.sock.DiscardPending();
    EXPECT_EQ(c.sock.LastErrorCode(), 0);
    EXPECT_EQ(c.sock.LineBuffer(), "");
  }
}

TEST(StopFlagTest, StopBeforeAReceiveGives10053AndIsCleared) {
  Connected c;
  ASSERT_TRUE(c.Start([](Conn& conn) { conn.Send("data\r\n"); }));
  ASSERT_TRUE(c.sock.WaitReadable(kPeerWaitMs));
  c.sock.StopFlag = true;
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "");
  EXPECT_EQ(c.sock.LastErrorCode(), 10053);
  EXPECT_EQ(c.sock.LastErrorText(), "Software caused connection abort");
  EXPECT_FALSE(c.sock.StopFlag);
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "data") << "nothing was lost";
}

TEST(StopFlagTest, AHeartbeatOrAnotherThreadEndsAWait) {
  {
    Connected c;
    ASSERT_TRUE(c.Start([](Conn&) {}));  // silent peer
    c.sock.HeartbeatRate = 10;
    int beats = 0;
    c.sock.OnHeartbeat = [&](TBlockSocket& s) {
      if (++beats == 3) s.StopFlag = true;
    };
    EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs * 6), "");
    EXPECT_EQ(c.sock.LastErrorCode(), 10053);
    EXPECT_EQ(beats, 3);
  }
  {
    Connected c;
    ASSERT_TRUE(c.Start([](Conn&) {}));
    c.sock.HeartbeatRate = 10;
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      c.sock.StopFlag = true;
    });
    EXPECT_EQ(c.sock.ReceiveAvailable(-1), "") << "no limit, yet stoppable";
    stopper.join();
    EXPECT_EQ(c.sock.LastErrorCode(), 10053);
  }
}

TEST(ReceiveExactTest, SurplusOfTheLastPacketStaysBuffered) {
  Connected c;
  ASSERT_TRUE(c.Start([&](Conn& conn) { c.SendPackets(conn, {"0123", "456789AB"}); }));
  char buffer[10];
  EXPECT_EQ(c.sock.ReceiveExact(buffer, 10, kPeerWaitMs), 10);
  EXPECT_EQ(std::string(buffer, 10), "0123456789");
  EXPECT_EQ(c.sock.LineBuffer(), "AB");
  EXPECT_EQ(c.sock.ReceiveOneByte(kPeerWaitMs), 'A');
  EXPECT_EQ(c.sock.ReceiveExactText(1, kPeerWaitMs), "B");
  EXPECT_EQ(c.sock.ReceiveExact(buffer, 0, kPeerWaitMs), 0);
  EXPECT_EQ(c.sock.ReceiveExactText(0, kPeerWaitMs), "");
}

// With InterPacketTimeout clear, a trickle that would satisfy every per-packet
// wait runs out of the whole-call budget.
TEST(ReceiveExactTest, WholeCallTimeoutEndsATrickle) {
  for (bool per_packet : {true, false}) {
    SCOPED_TRACE(per_packet ? "per packet" : "whole call");
    Connected c;
    ASSERT_TRUE(c.Start([&](Conn& conn) {
      for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (!conn.Send("x") || !c.consumed().Acquire()) return;
      }
    }));
    c.sock.InterPacketTimeout = per_packet;
    const std::string text = c.sock.ReceiveExactText(8, per_packet ? kPeerWaitMs : 100);
    if (per_packet) {
      EXPECT_EQ(text, "xxxxxxxx");
      EXPECT_EQ(c.sock.LastErrorCode(), 0);
    } else {
      EXPECT_EQ(text, "");
      EXPECT_EQ(c.sock.LastErrorCode(), 10060);
    }
  }
}

TEST(ReceiveUntilTest, WholeCallTimeoutEndsATrickleWithoutTerminator) {
  Connected c;
  ASSERT_TRUE(c.Start([&](Conn& conn) {
    for (int i = 0; i < 8; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      if (!conn.Send("y") || !c.consumed().Acquire()) return;
    }
  }));
  c.sock.InterPacketTimeout = false;
  EXPECT_EQ(c.sock.ReceiveLine(100), "");
  EXPECT_EQ(c.sock.LastErrorCode(), 10060);
  EXPECT_FALSE(c.sock.LineBuffer().empty());
}

TEST(ReceiveFormsTest, IntegersAndLengthPrefixedBlocks) {
  Connected c;
  ASSERT_TRUE(c.Start([](Conn& conn) {
    conn.Send(std::string("\x04\x03\x02\x01", 4) + std::string("\x03\0\0\0abc", 7) +
              std::string("\xFF\xFF\xFF\x7F", 4) + "short");
    conn.ShutdownWrite();
  }));
  EXPECT_EQ(c.sock.ReceiveInt32(kPeerWaitMs), 0x01020304);
  EXPECT_EQ(c.sock.ReceiveLengthPrefixed(kPeerWaitMs), "abc");
  // A hostile length: the text grows only with what arrives, then the end.
  EXPECT_EQ(c.sock.ReceiveLengthPrefixed(kPeerWaitMs), "");
  EXPECT_EQ(c.sock.LastErrorCode(), 10054);
  EXPECT_EQ(c.sock.ReceiveInt32(kPeerWaitMs), 0);
  EXPECT_EQ(c.sock.LastErrorCode(), 10054);
}

TEST(ReceiveFormsTest, StreamToEndCollectsEverythingUntilThePeerCloses) {
  std::string payload;
  for (int i = 0; i < 300000; ++i) payload.push_back(static_cast<char>('a' + i % 26));
  Connected c;
  ASSERT_TRUE(c.Start([&](Conn& conn) {
    conn.Send(payload);
    conn.Close();
  }));
  c.sock.ReceiveLine(kPeerWaitMs);  // nothing ends a line: all of it stays buffered
  TMemoryStream stream;
  c.sock.ReceiveStreamToEnd(stream, kPeerWaitMs);
  EXPECT_EQ(c.sock.LastErrorCode(), 10054);
  EXPECT_EQ(stream.Data(), payload);
  EXPECT_EQ(c.sock.BytesReceived(), 300000);
}

TEST(ReceiveFormsTest, StreamsWithLengthPrefixes) {
  Connected c;
  c.sock.SendMaxChunk = 3;  // several pieces per stream
  ASSERT_TRUE(c.Start([](Conn& conn) {
    conn.Send(std::string("\x05\0\0\0abcde", 9) + std::string("\0\0\0\x07", 4) + "1234567" + "tail");
  }));
  TMemoryStream little;
  c.sock.ReceiveStreamWithLength(little, kPeerWaitMs);
  EXPECT_EQ(little.Data(), "abcde");
  TMemoryStream big;
  c.sock.ReceiveStreamWithNetLength(big, kPeerWaitMs);
  EXPECT_EQ(big.Data(), "1234567");
  EXPECT_EQ(c.sock.LastErrorCode(), 0);
  EXPECT_EQ(c.sock.ReceiveExactText(4, kPeerWaitMs), "tail");
}

TEST(PeekTest, PeekLeavesTheByteAndTimesOut) {
  Connected c;
  ASSERT_TRUE(c.Start([&](Conn& conn) {
    c.consumed().Acquire();  // nothing until the first peek timed out
    conn.Send("Q");
  }));
  EXPECT_EQ(c.sock.PeekOneByte(10), 0);
  EXPECT_EQ(c.sock.LastErrorCode(), 10060);
  c.consumed().Release();
  EXPECT_EQ(c.sock.PeekOneByte(kPeerWaitMs), 'Q');
  EXPECT_EQ(c.sock.LastErrorCode(), 0);
  EXPECT_EQ(c.sock.ReceiveOneByte(kPeerWaitMs), 'Q');
}

TEST(PendingTest, CountIsCappedAtOnePacket) {
  Connected c;
  ASSERT_TRUE(c.Start([](Conn& conn) { conn.Send(std::string(100000, 'p')); }));
  int pending = 0;
  for (int i = 0; i < 500 && pending < 100000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    QueryPendingBytes(c.sock.Handle(), pending);
  }
  if (pending < 100000) GTEST_SKIP() << "the platform never held 100000 bytes at once";
  EXPECT_EQ(c.sock.PendingByteCount(), 65536);
  EXPECT_EQ(c.sock.ReceiveAvailable(0).size(), 65536u);
}

TEST(WaitTest, BufferedDataCountsAsReadableWithoutAReport) {
  Connected c;
  ASSERT_TRUE(c.Start([](Conn& conn) { conn.Send("line\r\nrest"); }));
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "line");
  const size_t before = c.log.events.size();
  EXPECT_TRUE(c.sock.WaitReadableOrBuffered(0));
  EXPECT_EQ(c.log.events.size(), before);
  EXPECT_FALSE(c.sock.WaitReadable(0)) << "the platform holds nothing more";
  EXPECT_EQ(c.log.events.size(), before);
}

TEST(ReadFilterTest, TheFilterMayShortenButNeverLengthen) {
  Connected c;
  ASSERT_TRUE(c.Start([&](Conn& conn) { c.SendPackets(conn, {"abc", "drop me"}); }));
  std::string monitored;
  c.sock.OnMonitor = [&](TBlockSocket&, bool writing, const void* buffer, int length) {
    if (!writing) monitored.append(static_cast<const char*>(buffer), static_cast<size_t>(length));
  };
  c.sock.OnReadFilter = [](TBlockSocket&, std::string& value) {
    value = value == "abc" ? "ABCDEF" : "";
  };
  char buffer[16];
  ASSERT_TRUE(c.sock.WaitReadable(kPeerWaitMs));
  EXPECT_EQ(c.sock.ReceiveRaw(buffer, sizeof(buffer)), 3);
  EXPECT_EQ(std::string(buffer, 3), "ABC");
  ASSERT_TRUE(c.sock.WaitReadable(kPeerWaitMs));
  EXPECT_EQ(c.sock.ReceiveRaw(buffer, sizeof(buffer)), 0);
  EXPECT_EQ(c.sock.LastErrorCode(), 0);
  EXPECT_EQ(monitored, "abcdrop me") << "the monitor sees the unfiltered bytes";
  EXPECT_EQ(c.sock.BytesReceived(), 10);
}

TEST(DiscardPendingTest, DropsBufferedAndPendingInput) {
  Gate more;
  Gate fresh;
  Connected c;
  ASSERT_TRUE(c.Start([&](Conn& conn) {
    conn.Send("stale line\r\nmore stale");
    if (!more.Acquire()) return;
    conn.Send("still more");
    if (!fresh.Acquire()) return;
    conn.Send("fresh\r\n");
  }));
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "stale line");
  EXPECT_EQ(c.sock.LineBuffer(), "more stale");
  more.Release();
  for (int i = 0; i < 1000 && c.sock.PendingByteCount() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_GT(c.sock.PendingByteCount(), 0);
  c.sock.DiscardPending();
  EXPECT_EQ(c.sock.LastErrorCode(), 0);
  EXPECT_EQ(c.sock.LineBuffer(), "");
  EXPECT_EQ(c.sock.PendingByteCount(), 0);
  fresh.Release();
  EXPECT_EQ(c.sock.ReceiveLine(kPeerWaitMs), "fresh");
  more.Close();
  fresh.Close();
}

TEST(DiscardPendingTest, AFloodingPeerCannotHoldIt) {
  Connected c;
  ASSERT_TRUE(c.Start([](Conn& conn) {
    const std::string flood(64 * 1024, 'f');
    while (conn.Send(flood)) {
    }
  }));
  ASSERT_TRUE(c.sock.WaitReadable(kPeerWaitMs));
  c.sock.DiscardPending();
  EXPECT_EQ(c.sock.LastErrorCode(), 0);
  c.sock.Close();
}

}  // namespace
}  // namespace zud::blocksocket_test
