// TFTPSend with the OpenSSL plug-in against vsftpd (explicit and implicit
// TLS, with require_ssl_reuse, so every data connection must resume the
// control connection's session) and pyftpdlib's TLS handler: uploads and
// downloads compared byte for byte, passive and active, IPv4 and IPv6,
// binary and ASCII, TLS 1.2 and 1.3; hundreds of data connections in one
// session, each resuming it, and many sessions whose first command follows
// the handshake at once; a server refusing a data connection that did not
// resume; then the refusals: a server without TLS, a certificate for another
// name, an unknown CA, an expired certificate and a server that drops the
// handshake, none of which may see USER or PASS.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ftp/ftpclient.h"
#include "ftp/ftpclient_test_support.h"
#include "ftp/ftpclient_transfer_support.h"
#include "gtest/gtest.h"
#include "sockets/socketerrors.h"
#include "sockets/tls_openssl.h"
#include "support/ftp_daemons.h"
#include "support/scripted_ftp_server.h"

namespace zud::test {
namespace {

struct TlsServerKind {
  const char* name;
  FtpDaemonFactory make;
  FtpTls tls;
};

const TlsServerKind kVsftpdExplicit{"VsftpdExplicit", MakeVsftpd, FtpTls::kExplicit};
const TlsServerKind kVsftpdImplicit{"VsftpdImplicit", MakeVsftpd, FtpTls::kImplicit};
const TlsServerKind kPyftpdlib{"Pyftpdlib", MakePyftpdlib, FtpTls::kExplicit};
const TlsServerKind kProftpd{"Proftpd", MakeProftpd, FtpTls::kExplicit};
const TlsServerKind kPureFtpd{"PureFtpd", MakePureFtpd, FtpTls::kExplicit};

// One server per kind, family and certificate, kept for the whole program.
FtpDaemonFixture& Server(const TlsServerKind& kind, Family family,
                         TestCertificates::Kind certificate = TestCertificates::kGood) {
  static std::map<std::string, std::unique_ptr<FtpDaemonFixture>> servers;
  auto& slot = servers[std::string(kind.name) + FamilyName(family) + std::to_string(certificate)];
  if (!slot) {
    slot = kind.make({.family = family,
                      .tls = kind.tls,
                      .certificate = SharedTestCertificates().Get(certificate)});
  }
  return *slot;
}

// A client aimed at server, with TLS as the kind wants it and required.
void AimWithTls(TFTPSend& ftp, const FtpDaemonFixture& server, FtpTls tls) {
  ftp.TargetHost = server.host();
  ftp.TargetPort = std::to_string(server.port());
  ftp.Timeout = 20000;
  ftp.UserName = server.user();
  ftp.Password = server.password();
  ftp.AutoTLS = tls == FtpTls::kExplicit;
  ftp.FullSSL = tls == FtpTls::kImplicit;
  ftp.RequireTLS = true;
  ftp.Sock().TLSPlugin().CertCAFile = SharedTestCertificates().ca_file();
}

// No plug-in call at all: the default plug-in speaks TLS.
TEST(DefaultPlugin, SignsInWithTlsAndStores) {
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  FtpDaemonFixture& server = Server(kVsftpdExplicit, Family::kIPv4);
  ZUD_REQUIRE_DAEMON(server);
  TFTPSend ftp;
  AimWithTls(ftp, server, FtpTls::kExplicit);
  ASSERT_TRUE(ftp.SignIn()) << ftp.Sock().LastErrorText() << "\n" << server.Log();
  EXPECT_TRUE(ftp.IsTLS());
  EXPECT_TRUE(ftp.IsDataTLS());
  ftp.DataStream().Write("plain default", 13);
  ftp.DataStream().SetPosition(0);
  ASSERT_TRUE(ftp.UploadFile("default.txt", false)) << ftp.DSock().LastErrorText();
  EXPECT_EQ(server.ReadFile("default.txt"), "plain default");
  EXPECT_TRUE(ftp.SignOff());
}

struct TransferCase {
  const TlsServerKind* kind;
  Family family;
  bool passive;
  bool binary;
  TSSLType version;
};

std::string CaseName(const ::testing::TestParamInfo<TransferCase>& info) {
  const TransferCase& c = info.param;
  return std::string(c.kind->name) + FamilyName(c.family) + (c.passive ? "Passive" : "Active") +
         (c.binary ? "Binary" : "Ascii") +
         (c.version == LT_TLSv1_2 ? "Tls12" : c.version == LT_TLSv1_3 ? "Tls13" : "");
}

class TlsTransfer : public ::testing::TestWithParam<TransferCase> {
 protected:
  ScopedDefaultTLSPlugin plugin_{OpenSSLPluginClass()};
};

TEST_P(TlsTransfer, UploadsAndDownloadsTheSameBytes) {
  const TransferCase& c = GetParam();
  if (!LoopbackAvailable(c.family)) GTEST_SKIP() << FamilyName(c.family) << " unavailable";
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  FtpDaemonFixture& server = Server(*c.kind, c.family);
  ZUD_REQUIRE_DAEMON(server);
  const std::string dir = CaseName({c, 0});
  ASSERT_TRUE(server.MakeDir(dir));

  TFTPSend ftp;
  AimWithTls(ftp, server, c.kind->tls);
  ftp.Sock().TLSPlugin().SSLType = c.version;
  ftp.PassiveMode = c.passive;
  ftp.ActiveDataTLS = true;
  ftp.BinaryMode = c.binary;
  ASSERT_TRUE(ftp.SignIn()) << ftp.ResultString() << "\n" << ftp.Sock().LastErrorText() << "\n"
                            << server.Log();
  ASSERT_TRUE(ftp.IsTLS());
  ASSERT_TRUE(ftp.IsDataTLS());
  ASSERT_TRUE(ftp.ChangeDirectory(dir)) << ftp.ResultString();

  // Text without CR: both servers store it as sent in ASCII type.
  const std::string bytes = c.binary ? RandomBytes(300 * 1024) : std::string(2000, 'a') + "\nb\n";
  ftp.DataStream().Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  ftp.DataStream().SetPosition(0);
  ASSERT_TRUE(ftp.UploadFile("up.bin", false))
      << ftp.ResultString() << "\n" << ftp.DSock().LastErrorText() << "\n" << server.Log();
  EXPECT_EQ(ftp.PassiveMode, c.passive);
  EXPECT_EQ(server.ReadFile(dir + "/up.bin"), bytes);

  if (c.binary) {
    // A second data connection, this time ending on the server's side.
    ftp.DataStream().Clear();
    ASSERT_TRUE(ftp.DownloadFile("up.bin", false))
        << ftp.ResultString() << "\n" << ftp.DSock().LastErrorText() << "\n" << server.Log();
    EXPECT_TRUE(ftp.DataStream().Data() == bytes);
    // And a third: a server may accept each TLS 1.3 ticket only once.
    ftp.DataStream().SetPosition(0);
    ASSERT_TRUE(ftp.UploadFile("again.bin", false))
        << ftp.ResultString() << "\n" << ftp.DSock().LastErrorText() << "\n" << server.Log();
    EXPECT_EQ(server.ReadFile(dir + "/again.bin"), bytes);
  }
  EXPECT_TRUE(ftp.SignOff()) << ftp.ResultString();
}

INSTANTIATE_TEST_SUITE_P(
    Servers, TlsTransfer,
    ::testing::Values(
        TransferCase{&kVsftpdExplicit, Family::kIPv4, true, true, LT_all},
        TransferCase{&kVsftpdExplicit, Family::kIPv4, true, true, LT_TLSv1_2},
        TransferCase{&kVsftpdExplicit, Family::kIPv4, false, true, LT_TLSv1_3},
        TransferCase{&kVsftpdExplicit, Family::kIPv4, false, true, LT_TLSv1_2},
        TransferCase{&kVsftpdExplicit, Family::kIPv6, true, false, LT_all},
        TransferCase{&kVsftpdExplicit, Family::kIPv6, false, true, LT_all},
        TransferCase{&kVsftpdImplicit, Family::kIPv4, true, true, LT_all},
        TransferCase{&kVsftpdImplicit, Family::kIPv6, false, false, LT_TLSv1_2},
        TransferCase{&kPyftpdlib, Family::kIPv4, true, true, LT_all},
        TransferCase{&kPyftpdlib, Family::kIPv4, false, false, LT_TLSv1_2},
        TransferCase{&kPyftpdlib, Family::kIPv6, true, true, LT_TLSv1_3}),
    CaseName);

// ---- Session reuse ---------------------------------------------------------------------

struct ReuseCase {
  const TlsServerKind* kind;
  TSSLType version;
  // Pure-FTPd issues no TLS 1.3 ticket at all (nor needs one): nothing to
  // resume there.
  bool resumable = true;
};

class SessionReuse : public ::testing::TestWithParam<ReuseCase> {
 protected:
  ScopedDefaultTLSPlugin plugin_{OpenSSLPluginClass()};
};

// A deploy sends hundreds of files in one session: every data connection
// must resume the control connection's session, however many came before
// (vsftpd refuses one that does not; TLS 1.3 tickets are used up).
TEST_P(SessionReuse, EveryDataConnectionOfALongSessionResumes) {
  const ReuseCase& c = GetParam();
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  FtpDaemonFixture& server = Server(*c.kind, Family::kIPv4);
  ZUD_REQUIRE_DAEMON(server);
  const std::string dir = std::string("many") + c.kind->name + std::to_string(c.version);
  ASSERT_TRUE(server.MakeDir(dir));
  TFTPSend ftp;
  AimWithTls(ftp, server, c.kind->tls);
  ftp.Sock().TLSPlugin().SSLType = c.version;
  ftp.LeanSignIn = true;
  ASSERT_TRUE(ftp.SignIn()) << ftp.ResultString() << "\n" << ftp.Sock().LastErrorText();
  ASSERT_TRUE(ftp.ChangeDirectory(dir)) << ftp.ResultString();
  int32_t no_delay = 0;
  GetSocketOptionInt(ftp.Sock().Handle(), kIpProtoTcp, kTcpNoDelay, no_delay);
  EXPECT_EQ(no_delay, 1);
  constexpr int kFiles = 300;
  int resumed = 0;
  for (int i = 0; i < kFiles; ++i) {
    ftp.DataStream().Clear();
    const std::string body = "file " + std::to_string(i) + "\n";
    ftp.DataStream().Write(body.data(), static_cast<int64_t>(body.size()));
    ftp.DataStream().SetPosition(0);
    ASSERT_TRUE(ftp.UploadFile("f" + std::to_string(i), false))
        << "file " << i << ": " << ftp.LastFailure().text << "\n" << server.Log();
    resumed += ftp.DSock().TLSPlugin().SessionReused() ? 1 : 0;
  }
  if (c.resumable) {
    EXPECT_EQ(resumed, kFiles);
  }
  EXPECT_EQ(server.ReadFile(dir + "/f299"), "file 299\n");
  EXPECT_TRUE(ftp.SignOff());
}

INSTANTIATE_TEST_SUITE_P(Servers, SessionReuse,
                         ::testing::Values(ReuseCase{&kVsftpdExplicit, LT_TLSv1_3},
                                           ReuseCase{&kVsftpdExplicit, LT_TLSv1_2},
                                           ReuseCase{&kPyftpdlib, LT_TLSv1_3},
                                           ReuseCase{&kPyftpdlib, LT_TLSv1_2},
                                           ReuseCase{&kProftpd, LT_TLSv1_3},
                                           ReuseCase{&kProftpd, LT_TLSv1_2},
                                           ReuseCase{&kPureFtpd, LT_TLSv1_3, false},
                                           ReuseCase{&kPureFtpd, LT_TLSv1_2}),
                         [](const auto& info) {
                           return std::string(info.param.kind->name) +
                                  (info.param.version == LT_TLSv1_2 ? "Tls12" : "Tls13");
                         });

// Sessions whose first command follows the handshake at once (no pause
// before any command) and that end right after their few files: none may
// be reset, none may find its first data connection without a session to
// resume.
TEST(SessionReuse, ManyShortSessionsNeedNoPause) {
  ScopedDefaultTLSPlugin plugin(OpenSSLPluginClass());
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  FtpDaemonFixture& server = Server(kVsftpdExplicit, Family::kIPv4);
  ZUD_REQUIRE_DAEMON(server);
  ASSERT_TRUE(server.MakeDir("short"));
  for (int session = 0; session < 40; ++session) {
    TFTPSend ftp;
    AimWithTls(ftp, server, FtpTls::kExplicit);
    ftp.LeanSignIn = true;
    ftp.Sock().DiscardPauseMs = 0;
    ftp.DSock().DiscardPauseMs = 0;
    ASSERT_TRUE(ftp.SignIn()) << "session " << session << ": " << ftp.LastFailure().text;
    for (const std::string& body : {std::string(), std::string(300 * 1024, 'x')}) {
      ftp.DataStream().Clear();
      ftp.DataStream().Write(body.data(), static_cast<int64_t>(body.size()));
      ftp.DataStream().SetPosition(0);
      ASSERT_TRUE(ftp.UploadFile("short/s" + std::to_string(body.size()), false))
          << "session " << session << ": " << ftp.LastFailure().text << "\n" << server.Log();
    }
    ASSERT_TRUE(ftp.SignOff()) << "session " << session << ": " << ftp.LastFailure().text;
  }
}

// A data connection that does not resume the control connection's session
// (here: it is not given the session to resume) is refused by the server
// after its handshake. The failure says so and is a TLS failure, whatever
// the data connection met meanwhile. vsftpd then drops the session, which
// the next command finds as a lost connection; ProFTPD goes on.
struct RefusalForReuseCase {
  const TlsServerKind* kind;
  const char* reply;  // in the failure's text
  bool session_goes_on;
};

class RefusalForReuse : public ::testing::TestWithParam<RefusalForReuseCase> {
 protected:
  ScopedDefaultTLSPlugin plugin_{OpenSSLPluginClass()};
};

TEST_P(RefusalForReuse, IsATLSFailureThatSaysSo) {
  const RefusalForReuseCase& c = GetParam();
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  FtpDaemonFixture& server = Server(*c.kind, Family::kIPv4);
  ZUD_REQUIRE_DAEMON(server);
  TFTPSend ftp;
  AimWithTls(ftp, server, FtpTls::kExplicit);
  ASSERT_TRUE(ftp.SignIn()) << ftp.LastFailure().text;
  ftp.Sock().TLSPlugin().SessionShare.reset();
  ftp.DataStream().Write("x", 1);
  ftp.DataStream().SetPosition(0);
  EXPECT_FALSE(ftp.UploadFile("refused.txt", false));
  EXPECT_FALSE(ftp.DSock().TLSPlugin().SessionReused());
  const TFTPFailure failure = ftp.LastFailure();
  EXPECT_EQ(failure.code, kErrRefused);
  EXPECT_EQ(failure.kind, TFailureKind::TLSSession);
  EXPECT_EQ(failure.where, TFailureSite::TLS);
  EXPECT_NE(failure.text.find("TLS session reuse refused"), std::string::npos) << failure.text;
  EXPECT_NE(failure.text.find(c.reply), std::string::npos) << failure.text;
  EXPECT_EQ(ftp.SendNoOp(), c.session_goes_on) << ftp.LastFailure().text;
  if (!c.session_goes_on) {
    EXPECT_EQ(ftp.LastFailure().code, kErrPeerClosed) << ftp.LastFailure().text;
    EXPECT_EQ(ftp.LastFailure().where, TFailureSite::Control);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, RefusalForReuse,
    ::testing::Values(RefusalForReuseCase{&kVsftpdExplicit, "522 SSL connection failed", false},
                      RefusalForReuseCase{&kProftpd, "425 Unable to build data connection", true}),
    [](const auto& info) { return std::string(info.param.kind->name); });

// ---- Refusals ------------------------------------------------------------------------

struct RefusalCase {
  const char* name;
  const TlsServerKind* kind;            // nullptr: vsftpd without TLS
  TestCertificates::Kind certificate;
  const char* host;                     // what the client connects to
  const char* error;                    // start of the control socket's text; "" for none
};

class TlsRefusal : public ::testing::TestWithParam<RefusalCase> {
 protected:
  ScopedDefaultTLSPlugin plugin_{OpenSSLPluginClass()};
};

TEST_P(TlsRefusal, FailsBeforeAnyCredentialIsSent) {
  const RefusalCase& c = GetParam();
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  std::unique_ptr<FtpDaemonFixture> plain;
  FtpDaemonFixture* server = nullptr;
  if (c.kind == nullptr) {
    plain = MakeVsftpd({});
    server = plain.get();
  } else {
    server = &Server(*c.kind, Family::kIPv4, c.certificate);
  }
  ZUD_REQUIRE_DAEMON(*server);
  TFTPSend ftp;
  AimWithTls(ftp, *server, c.kind != nullptr ? c.kind->tls : FtpTls::kExplicit);
  ftp.TargetHost = c.host;
  EXPECT_FALSE(ftp.SignIn());
  EXPECT_FALSE(ftp.IsTLS());
  if (*c.error != '\0') {
    EXPECT_EQ(ftp.Sock().LastErrorCode(), kErrRefused);
    EXPECT_EQ(ftp.Sock().LastErrorText().rfind(c.error, 0), 0u) << ftp.Sock().LastErrorText();
  }
  // vsftpd logs every command it receives.
  ftp.Sock().CloseAtOnce();
  const std::string log = server->Log();
  EXPECT_EQ(log.find("\"USER "), std::string::npos) << log;
  EXPECT_EQ(log.find("\"PASS "), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsRefusal,
    ::testing::Values(
        RefusalCase{"ServerWithoutTls", nullptr, TestCertificates::kGood, "127.0.0.1", ""},
        RefusalCase{"OtherName", &kVsftpdExplicit, TestCertificates::kOtherName, "localhost",
                    "certificate verify failed: hostname mismatch"},
        RefusalCase{"UnknownCA", &kVsftpdExplicit, TestCertificates::kUnknownCA, "127.0.0.1",
                    "certificate verify failed: unable to get local issuer certificate"},
        RefusalCase{"Expired", &kVsftpdImplicit, TestCertificates::kExpired, "127.0.0.1",
                    "certificate verify failed: certificate has expired"}),
    [](const auto& info) { return std::string(info.param.name); });

struct DropCase {
  const char* name;
  bool garbage;  // answer the handshake with text instead of closing
  const char* error;
};

class DroppedHandshake : public ::testing::TestWithParam<DropCase> {
 protected:
  ScopedDefaultTLSPlugin plugin_{OpenSSLPluginClass()};
};

TEST_P(DroppedHandshake, FailsWithTheReasonAndSendsNothingMore) {
  const DropCase& c = GetParam();
  ScriptedFtpServer server;
  server.On("AUTH", [&c](FtpSession& s, const std::string&) {
    s.Reply("234 Proceed with negotiation.");
    if (c.garbage) s.SendRaw("500 Not really\r\n");
    s.CloseControl();
  });
  TFTPSend ftp;
  AimAt(ftp, server);
  ftp.AutoTLS = true;
  ftp.RequireTLS = true;
  EXPECT_FALSE(ftp.SignIn());
  EXPECT_EQ(ftp.Sock().LastErrorCode(), kErrRefused);
  EXPECT_EQ(ftp.Sock().LastErrorText().rfind(c.error, 0), 0u) << ftp.Sock().LastErrorText();
  EXPECT_EQ(server.Commands(), std::vector<std::string>{"AUTH TLS"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DroppedHandshake,
    ::testing::Values(
        DropCase{"Closed", false, "TLS handshake failed: the server closed the connection"},
        DropCase{"AnsweredInClear", true, "TLS handshake failed: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequireTls, RefusedProtectedDataEndsTheLogin) {
  ScopedDefaultTLSPlugin plugin(PluginClassOf<TAcceptingSSL>());
  ScriptedFtpServer server;
  server.ReplyTo("AUTH", "234 Go ahead");
  server.ReplyTo("PBSZ", "200 PBSZ=0");
  server.ReplyTo("PROT", "536 Not here");
  TFTPSend ftp;
  AimAt(ftp, server);
  ftp.Password = "pw";
  ftp.AutoTLS = true;
  ftp.RequireTLS = true;
  EXPECT_FALSE(ftp.SignIn());
  EXPECT_FALSE(ftp.IsDataTLS());
  EXPECT_EQ(server.Commands(),
            (std::vector<std::string>{"AUTH TLS", "USER anonymous", "PASS pw", "PBSZ 0",
                                      "PROT P"}));
}

}  // namespace
}  // namespace zud::test
