// The OpenSSL plug-in through TTCPBlockSocket against a real TLS peer
// (openssl s_server, which sends every line back reversed): what is
// verified and how a refusal reads, the protocol versions, transfers with
// the socket's reports and bandwidth limit, and waits that a stalled peer
// cannot stretch past Timeout or StopFlag. An in-process OpenSSL peer plays
// what s_server will not: endless records without data, a peer that never
// reads.
#include "sockets/tls_openssl.h"

#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "sockets/socketerrors.h"
#include "sockets/tcpsocket.h"
#include "support/ftp_daemons.h"
#include "support/net.h"

namespace zud {
namespace {

using test::SharedTestCertificates;
using test::TestCertificates;
using test::TlsEchoServer;

constexpr int kWaitMs = 10000;

// One peer per certificate (and protocol cap), kept for the whole program.
TlsEchoServer& Peer(TestCertificates::Kind kind, const std::string& max_version = "") {
  static std::map<std::string, std::unique_ptr<TlsEchoServer>> peers;
  auto& slot = peers[std::to_string(kind) + max_version];
  if (!slot) {
    slot = std::make_unique<TlsEchoServer>(SharedTestCertificates().Get(kind), max_version);
  }
  return *slot;
}

// A socket with the OpenSSL plug-in, connected to peer under host.
std::unique_ptr<TTCPBlockSocket> Connect(const TlsEchoServer& peer, const std::string& host) {
  auto sock = std::make_unique<TTCPBlockSocket>(OpenSSLPluginClass());
  sock->ConvertLineEnd = true;  // the peer ends its lines with LF alone
  sock->ConnectTo(host, std::to_string(peer.port()));
  EXPECT_EQ(sock->LastErrorCode(), 0) << sock->LastErrorText();
  return sock;
}

#define REQUIRE_PEER(peer)                                                    \
  do {                                                                        \
    ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error(); \
    ZUD_REQUIRE_DAEMON(peer);                                                 \
  } while (0)

TEST(OpenSSLPlugin, VerifiesByDefaultAndReportsItsLibrary) {
  TTCPBlockSocket sock(OpenSSLPluginClass());
  TCustomSSL& tls = sock.TLSPlugin();
  EXPECT_TRUE(tls.VerifyCert);
  EXPECT_EQ(tls.LibraryName(), "openssl");
  EXPECT_EQ(tls.LibraryVersion().rfind("OpenSSL 3", 0), 0u) << tls.LibraryVersion();
  // Without a connection nothing starts, and traffic stays plain.
  sock.StartClientTLS();
  EXPECT_EQ(sock.LastErrorCode(), kErrRefused);
  EXPECT_EQ(sock.LastErrorText(), "not connected");
  EXPECT_FALSE(tls.SessionActive());
}

struct VerifyCase {
  const char* name;
  TestCertificates::Kind certificate;
  const char* host;       // what the socket connects to (and checks)
  bool trust_test_ca;     // CertCAFile := the test CA; else the system store
  bool verify;
  const char* error;      // "" when the handshake succeeds
};

class Verification : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(Verification, AcceptsOnlyTrustedCertificatesForTheHost) {
  const VerifyCase& c = GetParam();
  TlsEchoServer& peer = Peer(c.certificate);
  REQUIRE_PEER(peer);
  auto sock = Connect(peer, c.host);
  TCustomSSL& tls = sock->TLSPlugin();
  if (c.trust_test_ca) tls.CertCAFile = SharedTestCertificates().ca_file();
  tls.VerifyCert = c.verify;
  sock->StartClientTLS();
  if (*c.error != '\0') {
    EXPECT_EQ(sock->LastErrorCode(), kErrRefused);
    EXPECT_EQ(sock->LastErrorText(), c.error);
    EXPECT_EQ(sock->LastErrorKind(), TFailureKind::TLSCertificate);
    EXPECT_FALSE(tls.SessionActive());
    return;
  }
  ASSERT_EQ(sock->LastErrorCode(), 0) << sock->LastErrorText();
  sock->SendText("secret line\n");
  EXPECT_EQ(sock->ReceiveLine(kWaitMs), "enil terces") << sock->LastErrorText();
  EXPECT_EQ(tls.VerifyResult() == 0, c.verify);
  EXPECT_FALSE(tls.CipherName().empty());
  EXPECT_NE(tls.PeerSubject().find("localhost"), std::string::npos) << tls.PeerSubject();
  // The session never outlives the descriptor, however it is closed.
  sock->CloseAtOnce();
  EXPECT_FALSE(tls.SessionActive());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Verification,
    ::testing::Values(
        VerifyCase{"ByAddress", TestCertificates::kGood, "127.0.0.1", true, true, ""},
        VerifyCase{"ByName", TestCertificates::kGood, "localhost", true, true, ""},
        VerifyCase{"CAOnlyInTheSystemStore", TestCertificates::kGood, "127.0.0.1", false, true,
                   "certificate verify failed: unable to get local issuer certificate"},
        VerifyCase{"OtherNameByAddress", TestCertificates::kOtherName, "127.0.0.1", true, true,
                   "certificate verify failed: IP address mismatch"},
        VerifyCase{"OtherNameByName", TestCertificates::kOtherName, "localhost", true, true,
                   "certificate verify failed: hostname mismatch"},
        VerifyCase{"Expired", TestCertificates::kExpired, "127.0.0.1", true, true,
                   "certificate verify failed: certificate has expired"},
        VerifyCase{"UnknownCA", TestCertificates::kUnknownCA, "127.0.0.1", true, true,
                   "certificate verify failed: unable to get local issuer certificate"},
        VerifyCase{"UnknownCAWithoutVerification", TestCertificates::kUnknownCA, "127.0.0.1",
                   true, false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct VersionCase {
  const char* name;
  TSSLType type;
  const char* server_max;  // "" for the server's newest
  const char* result;      // SessionProtocol, or the error text
};

class Versions : public ::testing::TestWithParam<VersionCase> {};

TEST_P(Versions, TLS12IsTheFloor) {
  const VersionCase& c = GetParam();
  TlsEchoServer& peer = Peer(TestCertificates::kGood, c.server_max);
  REQUIRE_PEER(peer);
  auto sock = Connect(peer, "127.0.0.1");
  sock->TLSPlugin().CertCAFile = SharedTestCertificates().ca_file();
  sock->TLSPlugin().SSLType = c.type;
  sock->StartClientTLS();
  if (sock->LastErrorCode() != 0) {
    EXPECT_EQ(sock->LastErrorText().find(c.result), 0u) << sock->LastErrorText();
    EXPECT_EQ(sock->LastErrorKind(), TFailureKind::TLSHandshake);
  } else {
    EXPECT_EQ(sock->TLSPlugin().SessionProtocol(), c.result);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Versions,
    ::testing::Values(
        VersionCase{"Newest", LT_all, "", "TLSv1.3"},
        VersionCase{"ServerAtTLS12", LT_all, "TLSv1.2", "TLSv1.2"},
        VersionCase{"Only12", LT_TLSv1_2, "", "TLSv1.2"},
        VersionCase{"Only13AgainstA12Server", LT_TLSv1_3, "TLSv1.2", "TLS handshake failed"},
        VersionCase{"OldTLS", LT_TLSv1, "", "protocols older than TLS 1.2 are not offered"},
        VersionCase{"SSH", LT_SSHv2, "", "SSH is not offered"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenSSLTransfer, BytesGoThroughTheSessionWithTheSocketsReports) {
  TlsEchoServer& peer = Peer(TestCertificates::kGood);
  REQUIRE_PEER(peer);
  auto sock = Connect(peer, "127.0.0.1");
  sock->TLSPlugin().CertCAFile = SharedTestCertificates().ca_file();
  sock->StartClientTLS();
  ASSERT_EQ(sock->LastErrorCode(), 0) << sock->LastErrorText();
  int written_reports = 0;
  int throttled_reports = 0;
  sock->OnStatus = [&](TBlockSocket&, THookSocketReason reason, const std::string&) {
    if (reason == SR_BytesWritten) ++written_reports;
    if (reason == SR_Throttled) ++throttled_reports;
  };
  // Ten lines in pieces of 4096 bytes: 4096, 4096 and 2048, each taken whole,
  // at most 40000 bytes a second: the later pieces wait for their share.
  sock->SendMaxChunk = 4096;
  sock->MaxSendBandwidth = 40000;
  std::string text;
  for (char c = 'a'; c < 'k'; ++c) text += std::string(1022, c) + "z\n";
  sock->SendText(text);
  EXPECT_EQ(sock->LastErrorCode(), 0) << sock->LastErrorText();
  EXPECT_EQ(written_reports, 3);
  EXPECT_EQ(throttled_reports, 2);
  for (char c = 'a'; c < 'k'; ++c) {
    EXPECT_EQ(sock->ReceiveLine(kWaitMs), "z" + std::string(1022, c)) << sock->LastErrorText();
  }
  // Nothing more comes: an ordinary timeout, not a TLS failure.
  EXPECT_EQ(sock->ReceiveLine(300), "");
  EXPECT_EQ(sock->LastErrorCode(), kErrTimedOut);
  sock->Close();
  EXPECT_FALSE(sock->TLSPlugin().SessionActive());
}

struct StallCase {
  const char* name;
  bool stop_flag;    // else the plug-in's Timeout ends the wait
  int error;
  const char* text;  // start of LastErrorText
};

class StalledPeer : public ::testing::TestWithParam<StallCase> {};

TEST_P(StalledPeer, ASendThatCannotProceedEnds) {
  const StallCase& c = GetParam();
  // A peer of this test's own: it is paused and then thrown away.
  TlsEchoServer peer(SharedTestCertificates().Get(TestCertificates::kGood));
  REQUIRE_PEER(peer);
  auto sock = Connect(peer, "127.0.0.1");
  sock->TLSPlugin().CertCAFile = SharedTestCertificates().ca_file();
  sock->TLSPlugin().Timeout = 1500;
  sock->StartClientTLS();
  ASSERT_EQ(sock->LastErrorCode(), 0) << sock->LastErrorText();
  ASSERT_EQ(::kill(peer.pid(), SIGSTOP), 0);
  std::thread stopper;
  if (c.stop_flag) {
    sock->TLSPlugin().Timeout = -1;
    stopper = std::thread([&sock] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      sock->StopFlag = true;
    });
  }
  const auto start = std::chrono::steady_clock::now();
  sock->SendText(std::string(64 << 20, 'z'));
  const auto spent = std::chrono::steady_clock::now() - start;
  if (stopper.joinable()) stopper.join();
  ::kill(peer.pid(), SIGCONT);
  EXPECT_EQ(sock->LastErrorCode(), c.error);
  EXPECT_EQ(sock->LastErrorText().rfind(c.text, 0), 0u) << sock->LastErrorText();
  EXPECT_LT(spent, std::chrono::seconds(30));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StalledPeer,
    ::testing::Values(StallCase{"Timeout", false, kErrTimedOut, "TLS send timed out"},
                      StallCase{"StopFlag", true, kErrStopRequested, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenSSLTransfer, APeerThatVanishesWithoutClosingTheSessionIsALostConnection) {
  TlsEchoServer peer(SharedTestCertificates().Get(TestCertificates::kGood));
  REQUIRE_PEER(peer);
  auto sock = Connect(peer, "127.0.0.1");
  sock->TLSPlugin().CertCAFile = SharedTestCertificates().ca_file();
  sock->StartClientTLS();
  ASSERT_EQ(sock->LastErrorCode(), 0) << sock->LastErrorText();
  peer.Stop();  // the kernel closes its end: no close_notify
  EXPECT_EQ(sock->ReceiveLine(kWaitMs), "");
  // Lost as a plain connection would be (not a TLS failure), but not the
  // clean end that close_notify gives: the text says data may be missing,
  // whether the connection ended or (unread bytes at the peer) was reset.
  EXPECT_EQ(sock->LastErrorCode(), kErrPeerClosed);
  EXPECT_EQ(sock->LastErrorKind(), TFailureKind::Socket);
  const std::string text = sock->LastErrorText();
  EXPECT_TRUE(text.find("data may be missing") != std::string::npos ||
              text.find("reset") != std::string::npos)
      << text;
  // Closing does not wipe out why the transfer failed.
  sock->Close();
  EXPECT_EQ(sock->LastErrorText(), text);
  EXPECT_EQ(sock->TLSPlugin().PluginErrorText(), text);
}


// A TLS server on 127.0.0.1 in this process (the good test certificate):
// after its handshake it runs act on its own thread, over and over, until
// act returns false or the peer is destroyed.
class InProcessTlsPeer {
 public:
  using Act = std::function<bool(SSL*)>;
  // close_when_done: once act returns false the connection is closed
  // (without close_notify, with whatever linger act set), not kept open.
  explicit InProcessTlsPeer(Act act, bool close_when_done = false)
      : act_(std::move(act)), close_when_done_(close_when_done) {
    ::signal(SIGPIPE, SIG_IGN);  // OpenSSL writes with write(2)
    std::string why;
    listener_ = test::ListenTcp("127.0.0.1", 0, &why);
    port_ = listener_.valid() ? test::LocalEndpoint(listener_.get()).port : 0;
    thread_ = std::thread([this] { Run(); });
  }
  ~InProcessTlsPeer() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return port_; }

 private:
  void Run() {
    std::string why;
    test::UniqueFd fd = test::AcceptTcp(listener_.get(), kWaitMs, nullptr, &why);
    if (!fd.valid()) return;
    const TestCertificates::Pair pair = SharedTestCertificates().Get(TestCertificates::kGood);
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()),
                                                         SSL_CTX_free);
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION);
    SSL_CTX_use_certificate_chain_file(ctx.get(), pair.cert_file.c_str());
    SSL_CTX_use_PrivateKey_file(ctx.get(), pair.key_file.c_str(), SSL_FILETYPE_PEM);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
    SSL_set_fd(ssl.get(), fd.get());
    if (SSL_accept(ssl.get()) != 1) return;
    while (!stop_ && act_(ssl.get())) {
    }
    if (close_when_done_) fd.reset();
    while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  Act act_;
  bool close_when_done_;
  test::UniqueFd listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A client of peer, its handshake done, with plugin_timeout for its waits.
std::unique_ptr<TTCPBlockSocket> ClientOf(const InProcessTlsPeer& peer, int32_t plugin_timeout) {
  auto sock = std::make_unique<TTCPBlockSocket>(OpenSSLPluginClass());
  sock->ConnectTo("127.0.0.1", std::to_string(peer.port()));
  sock->TLSPlugin().CertCAFile = SharedTestCertificates().ca_file();
  sock->TLSPlugin().Timeout = plugin_timeout;
  sock->StartClientTLS();
  EXPECT_EQ(sock->LastErrorCode(), 0) << sock->LastErrorText();
  return sock;
}

int64_t MillisecondsOf(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

struct FloodCase {
  const char* name;
  InProcessTlsPeer::Act record;  // sends one record that carries no data
};

class NonDataFlood : public ::testing::TestWithParam<FloodCase> {};

// The client consumes every record it is sent; none holds data, and they never
// stop coming. The read ends by its own deadline all the same, not by the
// plug-in's longer Timeout (nor never).
TEST_P(NonDataFlood, EndsAReadByItsDeadline) {
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  constexpr int32_t kReadTimeout = 2000;
  const std::pair<const char*, std::function<void(TTCPBlockSocket&)>> reads[] = {
      {"ReceiveLine", [](TTCPBlockSocket& s) { s.ReceiveLine(kReadTimeout); }},
      {"ReceiveAvailable", [](TTCPBlockSocket& s) { s.ReceiveAvailable(kReadTimeout); }},
  };
  for (const auto& [name, read] : reads) {
    SCOPED_TRACE(name);
    InProcessTlsPeer peer(GetParam().record);
    auto sock = ClientOf(peer, 60000);
    ASSERT_EQ(sock->LastErrorCode(), 0);
    const int64_t spent = MillisecondsOf([&] { read(*sock); });
    EXPECT_EQ(sock->LastErrorCode(), kErrTimedOut) << sock->LastErrorText();
    EXPECT_LT(spent, 3 * kReadTimeout);
    // A peer that let the read run out gets no closing exchange to wait for.
    EXPECT_LT(MillisecondsOf([&] { sock->Close(); }), kReadTimeout);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Records, NonDataFlood,
    ::testing::Values(FloodCase{"SessionTickets",
                                [](SSL* ssl) {
                                  return SSL_new_session_ticket(ssl) == 1 &&
                                         SSL_do_handshake(ssl) == 1;
                                }},
                      FloodCase{"KeyUpdates",
                                [](SSL* ssl) {
                                  return SSL_key_update(ssl, SSL_KEY_UPDATE_NOT_REQUESTED) == 1 &&
                                         SSL_do_handshake(ssl) == 1;
                                }}),
    [](const auto& info) { return std::string(info.param.name); });

// How the connection under a session ends decides the code: a reset or an end
// without close_notify is a lost connection (10054, as without TLS: the
// tool's status 8), only a broken session is a TLS failure (10091, status 6).
struct CutCase {
  const char* name;
  InProcessTlsPeer::Act cut;  // runs once after the handshake; the peer then closes
  bool sending;               // the client sends (else it waits for data)
  int error;
  TFailureKind kind;
  const char* text;  // part of LastErrorText
};

bool ResetByPeer(SSL* ssl) {
  const linger at_once{1, 0};
  ::setsockopt(SSL_get_fd(ssl), SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
  return false;
}

bool ClosedByPeer(SSL*) { return false; }

bool GarbageFromPeer(SSL* ssl) {
  // A record of a content type that does not exist.
  const char garbage[] = "\x63\x03\x03\x00\x05hello";
  (void)::send(SSL_get_fd(ssl), garbage, sizeof garbage - 1, MSG_NOSIGNAL);
  return false;
}

class CutConnection : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutConnection, IsLostUnlessTheSessionItselfBroke) {
  const CutCase& c = GetParam();
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  InProcessTlsPeer peer(c.cut, true);
  auto sock = ClientOf(peer, kWaitMs);
  ASSERT_EQ(sock->LastErrorCode(), 0);
  if (c.sending) {
    sock->SendText(std::string(16 << 20, 'z'));
  } else {
    sock->ReceiveAvailable(kWaitMs);
  }
  EXPECT_EQ(sock->LastErrorCode(), c.error) << sock->LastErrorText();
  EXPECT_EQ(sock->LastErrorKind(), c.kind);
  EXPECT_NE(sock->LastErrorText().find(c.text), std::string::npos) << sock->LastErrorText();
  // A later transfer repeats the failure rather than inventing another.
  sock->SendText("more");
  EXPECT_EQ(sock->LastErrorCode(), c.error) << sock->LastErrorText();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CutConnection,
    ::testing::Values(
        CutCase{"ResetWhileReceiving", ResetByPeer, false, kErrPeerClosed, TFailureKind::Socket,
                "reset"},
        CutCase{"ResetWhileSending", ResetByPeer, true, kErrPeerClosed, TFailureKind::Socket,
                "reset"},
        CutCase{"ClosedWithoutCloseNotify", ClosedByPeer, false, kErrPeerClosed,
                TFailureKind::Socket, "without ending the TLS session"},
        CutCase{"BrokenRecord", GarbageFromPeer, false, kErrRefused, TFailureKind::TLSSession,
                "TLS receive failed"}),
    [](const auto& info) { return std::string(info.param.name); });

// A peer that never reads: the send that fills the buffers ends after one
// Timeout as a timeout (the tool's status 9, not a TLS failure), and the
// close neither sends close_notify into the full buffers nor waits for an
// answer.
TEST(OpenSSLTransfer, ADeadSessionClosesWithoutWaitingForThePeer) {
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  InProcessTlsPeer peer([](SSL*) { return false; });
  constexpr int32_t kTimeout = 2000;
  auto sock = ClientOf(peer, kTimeout);
  ASSERT_EQ(sock->LastErrorCode(), 0);
  const int64_t send = MillisecondsOf([&] { sock->SendText(std::string(64 << 20, 'z')); });
  EXPECT_EQ(sock->LastErrorCode(), kErrTimedOut) << sock->LastErrorText();
  EXPECT_EQ(sock->LastErrorText().rfind("TLS send timed out", 0), 0u) << sock->LastErrorText();
  EXPECT_LT(send, 3 * kTimeout);
  EXPECT_LT(MillisecondsOf([&] { sock->Close(); }), kTimeout / 2);
  EXPECT_FALSE(sock->TLSPlugin().SessionActive());
}

}  // namespace
}  // namespace zud
