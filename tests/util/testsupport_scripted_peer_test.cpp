// Self-tests of ScriptedPeer: the byte-exact fake peer must report exactly
// what it got, fail loudly on anything else, and never hang a test.
#include "support/scripted_peer.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "gtest/gtest.h"

namespace zud::test {
namespace {

UniqueFd ConnectTo(const ScriptedPeer& peer) {
  std::string why;
  UniqueFd fd = ConnectTcp(peer.host(), peer.port(), 2000, &why);
  EXPECT_TRUE(fd.valid()) << why;
  return fd;
}

class ScriptedPeerTest : public testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    if (!LoopbackAvailable(GetParam())) GTEST_SKIP() << "no loopback for this family";
  }
};

TEST_P(ScriptedPeerTest, PlaysAByteDialogueAndRecordsIt) {
  ScriptedPeer peer(GetParam());
  const Bytes kGreeting = {
      0x05,  // Version
      0x01,  // One method
      0x00,  // No authentication
  };
  peer.Expect(kGreeting)
      .Send({0x05, 0x00})
      .ReadUntil("\r\n\r\n")
      .Read(2)
      .Send("done")
      .Close();
  peer.Start();
  UniqueFd client = ConnectTo(peer);
  ASSERT_TRUE(SendAll(client.get(), std::string("\x05\x01\x00", 3)));
  std::string got;
  ASSERT_TRUE(RecvExact(client.get(), 2, &got));
  EXPECT_EQ(got, std::string("\x05\x00", 2));
  // One send that spans two steps: ReadUntil must leave the rest for Read.
  ASSERT_TRUE(SendAll(client.get(), "Header: x\r\n\r\nAB"));
  got.clear();
  EXPECT_TRUE(RecvAll(client.get(), &got));
  EXPECT_EQ(got, "done");
  ASSERT_TRUE(peer.WaitDone(5000)) << peer.Error();
  EXPECT_EQ(peer.Error(), "");
  EXPECT_EQ(peer.Received(), std::string("\x05\x01\x00", 3) + "Header: x\r\n\r\nAB");
  EXPECT_EQ(peer.PeerOf(0).host, LoopbackHost(GetParam()));
}

TEST_P(ScriptedPeerTest, MismatchIsReportedWithDumpsAndClosesAtOnce) {
  ScriptedPeer peer(GetParam());
  peer.Expect({0x05, 0x01, 0x00}).Send({0x05, 0x00});
  peer.Start();
  UniqueFd client = ConnectTo(peer);
  ASSERT_TRUE(SendAll(client.get(), std::string("\x05\x02", 2)));
  // The peer must not wait for the third byte once the second is wrong.
  ASSERT_TRUE(peer.WaitDone(5000)) << peer.Error();
  std::string error = peer.Error();
  EXPECT_NE(error.find("step 1 (Expect): unexpected bytes"), std::string::npos) << error;
  EXPECT_NE(error.find("first difference at byte 1"), std::string::npos) << error;
  std::string rest;
  EXPECT_TRUE(RecvAll(client.get(), &rest, 2000));  // closed, nothing sent
  EXPECT_EQ(rest, "");
}

TEST_P(ScriptedPeerTest, StepTimeoutEndsTheScript) {
  ScriptedPeer peer(GetParam());
  peer.set_timeout_ms(100);
  peer.Expect("never sent");
  peer.Start();
  UniqueFd client = ConnectTo(peer);
  ASSERT_TRUE(peer.WaitDone(5000));
  EXPECT_NE(peer.Error().find("timed out"), std::string::npos) << peer.Error();
}

TEST_P(ScriptedPeerTest, SendsPiecesWithPausesBetweenThem) {
  ScriptedPeer peer(GetParam());
  peer.SendInPieces("abcdef", std::vector<size_t>{1, 2}, 100);
  peer.Start();
  UniqueFd client = ConnectTo(peer);
  auto begin = std::chrono::steady_clock::now();
  std::string got;
  ASSERT_TRUE(RecvExact(client.get(), 6, &got));
  EXPECT_EQ(got, "abcdef");
  // Three pieces (1, 2, the rest) mean two pauses before the last byte.
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(190));
}

TEST_P(ScriptedPeerTest, HalfCloseEndsOnlyThePeersDirection) {
  ScriptedPeer peer(GetParam());
  peer.Send("bye").HalfClose().Expect("still here").ExpectClosed();
  peer.Start();
  UniqueFd client = ConnectTo(peer);
  std::string got;
  ASSERT_TRUE(RecvAll(client.get(), &got));
  EXPECT_EQ(got, "bye");
  ASSERT_TRUE(SendAll(client.get(), "still here"));
  client.reset();
  ASSERT_TRUE(peer.WaitDone(5000));
  EXPECT_EQ(peer.Error(), "");
}

TEST_P(ScriptedPeerTest, ExpectClosedFailsWhenBytesArrive) {
  ScriptedPeer peer(GetParam());
  peer.ExpectClosed();
  peer.Start();
  UniqueFd client = ConnectTo(peer);
  ASSERT_TRUE(SendAll(client.get(), "oops"));
  ASSERT_TRUE(peer.WaitDone(5000));
  EXPECT_NE(peer.Error().find("bytes arrived instead of the close"), std::string::npos)
      << peer.Error();
}

TEST_P(ScriptedPeerTest, SilentPeerHoldsTheConnectionAndKeepsRecording) {
  ScriptedPeer peer(GetParam());
  peer.Expect("hello").GoSilent().Send("never");
  peer.Start();
  UniqueFd client = ConnectTo(peer);
  ASSERT_TRUE(SendAll(client.get(), "hello"));
  ASSERT_TRUE(peer.WaitDone(5000)) << peer.Error();
  ASSERT_TRUE(SendAll(client.get(), "more"));
  std::string got;
  EXPECT_EQ(RecvSome(client.get(), &got, 200), -1);  // no answer, no close
  for (int i = 0; i < 500 && peer.Received() != "hellomore"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(peer.Received(), "hellomore");
  EXPECT_EQ(peer.Error(), "");
}

TEST_P(ScriptedPeerTest, AcceptsASecondConnection) {
  ScriptedPeer peer(GetParam());
  peer.Expect("one").AcceptNext().Expect("two").Send("to second").Close();
  peer.Start();
  UniqueFd first = ConnectTo(peer);
  ASSERT_TRUE(SendAll(first.get(), "one"));
  UniqueFd second = ConnectTo(peer);
  ASSERT_TRUE(SendAll(second.get(), "two"));
  std::string got;
  ASSERT_TRUE(RecvAll(second.get(), &got));
  EXPECT_EQ(got, "to second");
  ASSERT_TRUE(peer.WaitDone(5000)) << peer.Error();
  EXPECT_EQ(peer.ConnectionCount(), 2);
  EXPECT_EQ(peer.ReceivedOn(0), "one");
  EXPECT_EQ(peer.ReceivedOn(1), "two");
}

TEST_P(ScriptedPeerTest, WaitDoneTellsAnUnfinishedScript) {
  ScriptedPeer peer(GetParam());
  peer.Expect("x");
  EXPECT_FALSE(peer.WaitDone(0));
  EXPECT_EQ(peer.Error(), "peer not started");
  peer.Start();
  UniqueFd client = ConnectTo(peer);
  EXPECT_FALSE(peer.WaitDone(100));
  EXPECT_NE(peer.Error().find("still at step 1 (Expect)"), std::string::npos) << peer.Error();
  // The destructor ends the waiting thread at once.
}

INSTANTIATE_TEST_SUITE_P(Families, ScriptedPeerTest,
                         testing::Values(Family::kIPv4, Family::kIPv6),
                         [](const auto& info) { return FamilyName(info.param); });

TEST(ScriptedPeerConnectingTest, ConnectsOutFromAChosenSource) {
  std::string why;
  UniqueFd listener = ListenTcp("127.0.0.1", 0, &why);
  ASSERT_TRUE(listener.valid()) << why;
  ScriptedPeer stranger("127.0.0.1", LocalEndpoint(listener.get()).port, "127.0.0.2");
  stranger.Send("knock").Close();
  stranger.Start();
  UniqueFd accepted = AcceptTcp(listener.get(), 2000, nullptr, &why);
  ASSERT_TRUE(accepted.valid()) << why;
  EXPECT_EQ(PeerEndpoint(accepted.get()).host, "127.0.0.2");
  std::string got;
  EXPECT_TRUE(RecvAll(accepted.get(), &got));
  EXPECT_EQ(got, "knock");
  EXPECT_TRUE(stranger.WaitDone(5000)) << stranger.Error();
}

}  // namespace
}  // namespace zud::test
