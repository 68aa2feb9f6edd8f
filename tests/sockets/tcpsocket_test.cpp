// TTCPBlockSocket on a live loopback connection: the TLS routing through a
// test plug-in that XORs every byte (the raw peer undoes it), TSSLNone
// keeping traffic plain, and the orderly close and the destructor.
#include "sockets/tcpsocket.h"

#include <algorithm>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "sockets/tcpsocket_test_util.h"
#include "support/net.h"
#include "support/scripted_peer.h"
#include "util/sockapi.h"

namespace zud {
namespace {

using tcpsocket_test::kProxyWaitMs;
using tcpsocket_test::StatusLog;
using test::UniqueFd;

constexpr char kXorKey = 0x5A;
constexpr const char* kCloseNotify = "<close_notify>";

std::string Xor(std::string s) {
  for (char& c : s) c = static_cast<char>(c ^ kXorKey);
  return s;
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
  return s;
}

// "Encrypts" by XOR over the owner's plain handle, and records every call.
class TXorSSL : public TCustomSSL {
 public:
  using TCustomSSL::TCustomSSL;

  // Knobs.
  bool refuse_handshake = false;
  bool take_nothing = false;  // SendData returns 0 without an error
  int take_at_most = 0;       // > 0: SendData takes at most this many bytes
  int pending_answer = 0;     // what PendingBytes says
  // Records.
  std::vector<int> send_calls;
  int receive_calls = 0;
  int close_calls = 0;

  bool ClientHandshake() override {
    if (refuse_handshake) {
      SetPluginError(42, "handshake refused by the test peer");
      return false;
    }
    ClearPluginError();
    SetSessionActive(true);
    return true;
  }
  int SendData(const void* buffer, int length) override {
    send_calls.push_back(length);
    if (take_nothing) return 0;
    const int n = take_at_most > 0 ? std::min(length, take_at_most) : length;
    const std::string out = Xor(std::string(static_cast<const char*>(buffer), n));
    const int sent = SendToSocket(OwnerSocket().Handle(), out.data(), n, 0);
    if (sent < 0) SetPluginError(LastSocketError(), "send failed");
    return sent;
  }
  int ReceiveData(void* buffer, int length) override {
    ++receive_calls;
    const int n = ReceiveFromSocket(OwnerSocket().Handle(), buffer, length, 0);
    if (n < 0) {
      SetPluginError(LastSocketError(), "receive failed");
      return -1;
    }
    auto* bytes = static_cast<char*>(buffer);
    for (int i = 0; i < n; ++i) bytes[i] = static_cast<char>(bytes[i] ^ kXorKey);
    return n;
  }
  int PendingBytes() override { return pending_answer; }
  bool CloseSession() override {
    ++close_calls;
    SendToSocket(OwnerSocket().Handle(), kCloseNotify, 14, 0);
    SetSessionActive(false);
    return true;
  }
};

// A socket connected to a raw peer on loopback.
class Connected : public testing::Test {
 protected:
  explicit Connected(TTLSPluginClass plugin_class = PluginClassOf<TXorSSL>())
      : sock_(plugin_class) {}

  void SetUp() override {
    std::string why;
    listener_ = test::ListenTcp("127.0.0.1", 0, &why);
    ASSERT_TRUE(listener_.valid()) << why;
    sock_.ConnectTo("127.0.0.1", std::to_string(test::LocalEndpoint(listener_.get()).port));
    ASSERT_EQ(sock_.LastErrorCode(), 0) << sock_.LastErrorText();
    peer_ = test::AcceptTcp(listener_.get(), kProxyWaitMs, nullptr, &why);
    ASSERT_TRUE(peer_.valid()) << why;
  }

  TXorSSL& plugin() { return static_cast<TXorSSL&>(sock_.TLSPlugin()); }
  void StartTLS() {
    sock_.StartClientTLS();
    ASSERT_EQ(sock_.LastErrorCode(), 0) << sock_.LastErrorText();
    ASSERT_TRUE(sock_.TLSPlugin().SessionActive());
  }
  // Everything the peer gets until the socket closes.
  std::string PeerReceivesAll() {
    std::string all;
    EXPECT_TRUE(test::RecvAll(peer_.get(), &all, kProxyWaitMs));
    return all;
  }

  UniqueFd listener_;
  TTCPBlockSocket sock_;
  UniqueFd peer_;
};

// ---- Sends ------------------------------------------------------------------------------

struct ChunkCase {
  const char* name;
  int take_at_most;
  std::vector<int> calls;  // lengths handed to SendData
  std::vector<std::string> written;  // SR_BytesWritten reports
};

class TLSSend : public Connected, public testing::WithParamInterface<ChunkCase> {};

TEST_P(TLSSend, GoesThroughThePluginInSendMaxChunkPieces) {
  const ChunkCase& c = GetParam();
  StartTLS();
  plugin().take_at_most = c.take_at_most;
  sock_.SendMaxChunk = 4096;
  StatusLog log;
  log.Attach(sock_);
  int monitored = 0;
  sock_.OnMonitor = [&](TBlockSocket&, bool writing, const void*, int length) {
    EXPECT_TRUE(writing);
    EXPECT_EQ(length, 10000);
    ++monitored;
  };
  const std::string data = Pattern(10000);

  EXPECT_EQ(sock_.SendBytes(data.data(), 10000), 10000);
  EXPECT_EQ(sock_.LastErrorCode(), 0) << sock_.LastErrorText();
  EXPECT_EQ(plugin().send_calls, c.calls);
  EXPECT_EQ(log.ValuesOf(SR_BytesWritten), c.written);
  EXPECT_EQ(monitored, 1);
  EXPECT_EQ(sock_.BytesSent(), 10000);
  std::string wire;
  ASSERT_TRUE(test::RecvExact(peer_.get(), 10000, &wire, kProxyWaitMs));
  EXPECT_EQ(Xor(wire), data);
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, TLSSend,
    testing::Values(ChunkCase{"TakenWhole", 0, {4096, 4096, 1808}, {"4096", "4096", "1808"}},
                    ChunkCase{"TakenInPart",
                              3000,
                              {4096, 4096, 4000, 1000},
                              {"3000", "3000", "3000", "1000"}}),
    [](const testing::TestParamInfo<ChunkCase>& info) { return info.param.name; });

class TLS : public Connected {};

TEST_F(TLS, APluginThatTakesNothingFailsInsteadOfSpinning) {
  StartTLS();
  plugin().take_nothing = true;
  EXPECT_EQ(sock_.SendBytes("abc", 3), 0);
  EXPECT_EQ(sock_.LastErrorCode(), 10091);
  EXPECT_EQ(sock_.LastErrorText(), "Network subsystem is unusable")
      << "the plug-in has no error text to give";
  EXPECT_EQ(plugin().send_calls, std::vector<int>{3});
}

// ---- Receives, pending counts, close ----------------------------------------------------

TEST_F(TLS, ReceivesGoThroughThePlugin) {
  StartTLS();
  StatusLog log;
  log.Attach(sock_);
  ASSERT_TRUE(test::SendAll(peer_.get(), Xor("hello\r\nworld\r\n")));
  EXPECT_EQ(sock_.ReceiveLine(kProxyWaitMs), "hello");
  EXPECT_EQ(sock_.ReceiveLine(kProxyWaitMs), "world");
  EXPECT_GE(plugin().receive_calls, 1);
  EXPECT_EQ(sock_.BytesReceived(), 14);
  EXPECT_FALSE(log.ValuesOf(SR_BytesRead).empty());
}

TEST_F(TLS, PendingCountComesFromThePluginFirst) {
  StartTLS();
  plugin().pending_answer = 7;
  EXPECT_EQ(sock_.PendingByteCount(), 7);
  plugin().pending_answer = 1 << 30;
  EXPECT_EQ(sock_.PendingByteCount(), 65536) << "bounded like a platform count";
  // With nothing buffered in the plug-in the platform's count is used.
  plugin().pending_answer = 0;
  ASSERT_TRUE(test::SendAll(peer_.get(), "xyz"));
  ASSERT_TRUE(sock_.WaitReadable(kProxyWaitMs));
  EXPECT_EQ(sock_.PendingByteCount(), 3);
}

TEST_F(TLS, SessionEndedByThePeerIsAnEndOfStream) {
  StartTLS();
  plugin().pending_answer = 5;  // claims data, then the receive finds the end
  peer_.reset();
  EXPECT_EQ(sock_.ReceiveLine(kProxyWaitMs), "");
  EXPECT_EQ(sock_.LastErrorCode(), 10054) << sock_.LastErrorText();
}

TEST_F(TLS, CloseEndsTheSessionFirst) {
  StartTLS();
  sock_.Close();
  EXPECT_EQ(plugin().close_calls, 1);
  EXPECT_FALSE(sock_.TLSPlugin().SessionActive());
  EXPECT_EQ(PeerReceivesAll(), kCloseNotify);
  // Closed again without a session: the plug-in is not asked again.
  sock_.Close();
  EXPECT_EQ(plugin().close_calls, 1);
}

TEST_F(TLS, RefusedHandshakeIsDescribedByThePluginAndTrafficStaysPlain) {
  plugin().refuse_handshake = true;
  StatusLog log;
  log.Attach(sock_);
  sock_.StartClientTLS();
  EXPECT_EQ(sock_.LastErrorCode(), 10091);
  EXPECT_EQ(sock_.LastErrorText(), "handshake refused by the test peer");
  EXPECT_EQ(log.ValuesOf(SR_Error),
            std::vector<std::string>{"10091,handshake refused by the test peer"});
  sock_.SendText("plain");
  std::string wire;
  ASSERT_TRUE(test::RecvExact(peer_.get(), 5, &wire, kProxyWaitMs));
  EXPECT_EQ(wire, "plain");
  EXPECT_TRUE(plugin().send_calls.empty());
}

TEST_F(TLS, AProxyRefusalAfterAFailedHandshakeKeepsItsOwnText) {
  plugin().refuse_handshake = true;
  sock_.StartClientTLS();
  sock_.CloseAtOnce();
  test::ScriptedPeer proxy;
  proxy.Expect("CONNECT 127.0.0.1:21 HTTP/1.0\r\n\r\n").Send("HTTP/1.0 403 No\r\n\r\n");
  proxy.Start();
  tcpsocket_test::PointAtTunnel(sock_, proxy);
  sock_.ConnectTo("127.0.0.1", "21");
  EXPECT_EQ(sock_.LastErrorCode(), 10091);
  EXPECT_EQ(sock_.LastErrorText(), "HTTP proxy refused the tunnel: 403 No");
  EXPECT_EQ(sock_.LastErrorKind(), TFailureKind::TunnelRefused);
}

// ---- Without TLS ----------------------------------------------------------------------------

class NoTLS : public Connected {
 protected:
  NoTLS() : Connected(PluginClassOf<TSSLNone>()) {}
};

TEST_F(NoTLS, StartClientTLSFailsAndTrafficStaysPlain) {
  StatusLog log;
  log.Attach(sock_);
  sock_.StartClientTLS();
  EXPECT_EQ(sock_.LastErrorCode(), 10091);
  EXPECT_EQ(sock_.LastErrorText(), "SSL/TLS support is not compiled!");
  EXPECT_EQ(sock_.TLSPlugin().PluginErrorCode(), -1);
  EXPECT_FALSE(sock_.TLSPlugin().SessionActive());
  EXPECT_EQ(log.ValuesOf(SR_Error),
            std::vector<std::string>{"10091,SSL/TLS support is not compiled!"});

  sock_.SendText("USER x\r\n");
  EXPECT_EQ(sock_.LastErrorCode(), 0);
  std::string line;
  ASSERT_TRUE(test::RecvLine(peer_.get(), &line, kProxyWaitMs));
  EXPECT_EQ(line, "USER x");
  ASSERT_TRUE(test::SendAll(peer_.get(), "331 ok\r\n"));
  EXPECT_EQ(sock_.ReceiveLine(kProxyWaitMs), "331 ok");
}

TEST_F(NoTLS, StartClientTLSRaisesWithThePluginText) {
  sock_.RaiseExcept = true;
  try {
    sock_.StartClientTLS();
    FAIL() << "no exception";
  } catch (const EZudiravError& e) {
    EXPECT_STREQ(e.what(), "Zudirav TCP/IP Socket error 10091: SSL/TLS support is not compiled!");
    EXPECT_EQ(e.ErrorCode, 10091);
  }
}

// ---- Close and destruction --------------------------------------------------------------

TEST_F(NoTLS, OrderlyCloseDrainsSoThePeerSeesAnEnd) {
  ASSERT_TRUE(test::SendAll(peer_.get(), "unread"));
  ASSERT_TRUE(sock_.WaitReadable(kProxyWaitMs));
  sock_.Close();
  EXPECT_EQ(sock_.LastErrorCode(), 0);
  std::string rest;
  EXPECT_EQ(test::RecvSome(peer_.get(), &rest, kProxyWaitMs), 0) << "an end, not a reset";
}

TEST_F(NoTLS, CloseWithAnErrorRecordedSkipsShutdownAndDrain) {
#if defined(_WIN32)
  GTEST_SKIP() << "wine ends a connection closed with unread bytes in order, not with a reset";
#endif
  ASSERT_TRUE(test::SendAll(peer_.get(), "unread"));
  ASSERT_TRUE(sock_.WaitReadable(kProxyWaitMs));
  sock_.StopFlag = true;
  sock_.SendText("never sent");
  ASSERT_EQ(sock_.LastErrorCode(), 10053);
  sock_.Close();
  EXPECT_EQ(sock_.LastErrorCode(), 10053) << "Close keeps the error";
  // Closing with unread bytes and no drain resets the connection.
  std::string rest, why;
  EXPECT_EQ(test::RecvSome(peer_.get(), &rest, kProxyWaitMs, &why), -1);
  EXPECT_NE(why.find("reset"), std::string::npos) << why;
}

TEST(TCPBlockSocketLife, DestructorClosesInOrderWithoutHooks) {
  std::string why;
  UniqueFd listener = test::ListenTcp("127.0.0.1", 0, &why);
  ASSERT_TRUE(listener.valid()) << why;
  UniqueFd peer;
  int reports = 0;
  {
    auto sock = std::make_unique<TTCPBlockSocket>(PluginClassOf<TXorSSL>());
    sock->ConnectTo("127.0.0.1", std::to_string(test::LocalEndpoint(listener.get()).port));
    ASSERT_EQ(sock->LastErrorCode(), 0);
    peer = test::AcceptTcp(listener.get(), kProxyWaitMs, nullptr, &why);
    ASSERT_TRUE(peer.valid()) << why;
    sock->StartClientTLS();
    ASSERT_TRUE(test::SendAll(peer.get(), "unread"));
    ASSERT_TRUE(sock->WaitReadable(kProxyWaitMs));
    sock->OnStatus = [&](TBlockSocket&, THookSocketReason, const std::string&) { ++reports; };
    sock->RaiseExcept = true;
    reports = 0;
  }
  EXPECT_EQ(reports, 0) << "no hook runs in the destructor";
  std::string all;
  EXPECT_TRUE(test::RecvAll(peer.get(), &all, kProxyWaitMs)) << "an end, not a reset";
  EXPECT_EQ(all, kCloseNotify);
}

}  // namespace
}  // namespace zud
