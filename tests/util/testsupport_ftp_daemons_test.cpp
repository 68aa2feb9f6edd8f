// Self-tests of the real FTP server fixtures: each must start, log in, store
// and serve files in both data modes, and honour its options, or later tests
// cannot trust what they report.
#include "support/ftp_daemons.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <functional>
#include <ostream>
#include <memory>

#include "gtest/gtest.h"
#include "support/raw_ftp_client.h"

namespace zud::test {
namespace {

// A minimal FTPS client on OpenSSL, independent of the library under test:
// AUTH TLS, login, PROT P, and passive data connections that each resume the
// control connection's session, as servers that require session reuse
// expect. TLS 1.3 servers send tickets after the control handshake; each data
// connection gets a copy of the newest, since OpenSSL marks a session object
// not resumable once a TLS 1.3 handshake has used it.
class FtpsProbe {
 public:
  FtpsProbe() : ctx_(SSL_CTX_new(TLS_client_method()), SSL_CTX_free) {
    SSL_CTX_load_verify_locations(ctx_.get(), SharedTestCertificates().ca_file().c_str(),
                                  nullptr);
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(ctx_.get(),
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_set_app_data(ctx_.get(), this);
    SSL_CTX_sess_set_new_cb(ctx_.get(), [](SSL* ssl, SSL_SESSION* session) {
      auto* probe = static_cast<FtpsProbe*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
      if (ssl != probe->control_ssl_) return 0;
      probe->ticket_.reset(session);  // takes the reference
      return 1;
    });
  }

  // Connects, reads the greeting and turns the control connection into TLS.
  bool Connect(const Endpoint& server) {
    server_ = server;
    control_fd_ = ConnectTcp(server.host, server.port, kDefaultWaitMs, &error_);
    if (!control_fd_.valid() || ReadReply(nullptr) != 220) return Failed("greeting");
    if (Command("AUTH TLS") != 234) return Failed("AUTH TLS");
    control_ = Handshake(control_fd_.get(), false);
    return control_ != nullptr;
  }
  // Sends line + CR LF on the TLS control connection; the reply code or 0.
  int Command(const std::string& line) {
    if (control_ && SSL_write(control_.get(), (line + "\r\n").data(),
                              static_cast<int>(line.size() + 2)) <= 0) {
      return 0;
    }
    if (!control_ && !SendAll(control_fd_.get(), line + "\r\n")) return 0;
    return ReadReply(control_.get());
  }
  // A passive transfer over TLS; the final reply code, or the failing one.
  int Transfer(const std::string& command, const std::string* upload, std::string* download) {
    bool ipv6 = server_.host.find(':') != std::string::npos;
    int port = Command(ipv6 ? "EPSV" : "PASV") ? PassiveReplyPort(reply_) : 0;
    if (port == 0) {
      Failed("passive reply");
      return 0;
    }
    UniqueFd fd = ConnectTcp(server_.host, port, kDefaultWaitMs, &error_);
    int code = Command(command);
    if (!fd.valid() || code < 100 || code >= 200) return code;
    auto data = Handshake(fd.get(), true);
    if (!data) return 0;
    resumed_all_ = resumed_all_ && SSL_session_reused(data.get());
    if (upload) {
      if (SSL_write(data.get(), upload->data(), static_cast<int>(upload->size())) <= 0) return 0;
    } else {
      char buffer[4096];
      for (int n; (n = SSL_read(data.get(), buffer, sizeof buffer)) > 0;) download->append(buffer, n);
    }
    // close_notify ends an upload; then the TCP half-close, and the rest is
    // read (the server's tickets, its close_notify): closing with unread
    // bytes would reset the connection and could cost the server the data.
    SSL_shutdown(data.get());
    ::shutdown(fd.get(), SHUT_WR);
    char rest[512];
    while (SSL_read(data.get(), rest, sizeof rest) > 0) {
    }
    data.reset();
    fd.reset();
    return ReadReply(control_.get());
  }

  const std::string& reply() const { return reply_; }
  const std::string& error() const { return error_; }
  // Whether every data connection resumed a session.
  bool resumed_all() const { return resumed_all_; }

 private:
  using SslPtr = std::unique_ptr<SSL, decltype(&SSL_free)>;

  bool Failed(const std::string& what) {
    error_ += what + " failed: " + reply_;
    return false;
  }
  SslPtr Handshake(int fd, bool resume) {
    timeval limit{kDefaultWaitMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    SslPtr ssl(SSL_new(ctx_.get()), SSL_free);
    if (!resume) control_ssl_ = ssl.get();
    SSL_set_fd(ssl.get(), fd);
    if (resume && ticket_) {
      SSL_SESSION* copy = SSL_SESSION_dup(ticket_.get());
      SSL_set_session(ssl.get(), copy);
      SSL_SESSION_free(copy);
    }
    if (SSL_connect(ssl.get()) != 1) {
      error_ += "TLS handshake failed: " + std::string(ERR_error_string(ERR_get_error(), nullptr));
      return SslPtr(nullptr, SSL_free);
    }
    return ssl;
  }
  // One reply, multi-line ones whole; its code or 0.
  int ReadReply(SSL* ssl) {
    reply_.clear();
    std::string line;
    std::string end;
    for (;;) {
      line.clear();
      char c = 0;
      while (c != '\n') {
        bool got = ssl ? SSL_read(ssl, &c, 1) == 1 : RecvExact(control_fd_.get(), 1, &line);
        if (!got) return 0;
        if (ssl) line += c;
        c = line.back();
      }
      reply_ += line;
      if (line.size() < 4) return 0;
      if (end.empty()) end = line.substr(0, 3) + " ";
      if (line.compare(0, 4, end) == 0) return std::atoi(line.c_str());
    }
  }

  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx_;
  std::unique_ptr<SSL_SESSION, decltype(&SSL_SESSION_free)> ticket_{nullptr, SSL_SESSION_free};
  Endpoint server_;
  UniqueFd control_fd_;
  SslPtr control_{nullptr, SSL_free};
  const SSL* control_ssl_ = nullptr;
  std::string reply_;
  std::string error_;
  bool resumed_all_ = true;
};

class FtpDaemonTest : public testing::TestWithParam<FtpServerKind> {
 protected:
  std::unique_ptr<FtpDaemonFixture> Start(FtpServerOptions options = {}) {
    options.family = GetParam().family;
    return GetParam().make(options);
  }
};

// A fixture whose program is installed must start; only absence may skip.
#define ASSERT_STARTED(server)                                            \
  do {                                                                    \
    if ((server)->missing()) GTEST_SKIP() << (server)->error();           \
    ASSERT_TRUE((server)->ok()) << (server)->error();                     \
  } while (0)

TEST_P(FtpDaemonTest, LogsInAndMovesFilesBothWays) {
  auto server = Start();
  ASSERT_STARTED(server);
  RawFtpClient ftp;
  ASSERT_TRUE(ftp.Connect(server->host(), server->port())) << ftp.error();
  EXPECT_EQ(ftp.reply_code(), 220);
  ASSERT_TRUE(ftp.Login(server->user(), server->password())) << ftp.reply();
  EXPECT_EQ(ftp.Command("PWD"), 257);
  // The root as the server shows it, without the trailing "/" but for "/".
  std::string root = server->remote_root();
  if (root.size() > 1) root.pop_back();
  EXPECT_NE(ftp.reply().find("\"" + root + "\""), std::string::npos) << ftp.reply();
  ASSERT_EQ(ftp.Command("TYPE I"), 200);

  const char kUpload[] = "binary\0\r\n\xff data";
  std::string upload(kUpload, sizeof(kUpload) - 1);
  EXPECT_EQ(ftp.Transfer("STOR up.bin", DataMode::kPassive, &upload, nullptr), 226)
      << ftp.reply() << ftp.error() << server->Log();
  EXPECT_EQ(server->ReadFile("/up.bin"), upload);
  std::string listing;
  EXPECT_EQ(ftp.Transfer("LIST", DataMode::kPassive, nullptr, &listing), 226) << ftp.reply();
  EXPECT_NE(listing.find("up.bin"), std::string::npos) << listing;

  ASSERT_TRUE(server->WriteFile("sub/down.txt", "served by the fixture"));
  std::string download;
  EXPECT_EQ(ftp.Transfer("RETR sub/down.txt", DataMode::kActive, nullptr, &download), 226)
      << ftp.reply() << ftp.error() << server->Log();
  EXPECT_EQ(download, "served by the fixture");
  // Files the fixture wrote belong to the FTP user: it may replace them.
  EXPECT_EQ(ftp.Command("DELE sub/down.txt"), 250) << ftp.reply();
  EXPECT_FALSE(server->Exists("sub/down.txt"));
  EXPECT_EQ(ftp.Command("QUIT"), 221);
}

TEST_P(FtpDaemonTest, RefusesWrongPasswordAndStoresInReadOnlyDir) {
  auto server = Start({.read_only_dir = true});
  ASSERT_STARTED(server);
  RawFtpClient wrong;
  ASSERT_TRUE(wrong.Connect(server->host(), server->port())) << wrong.error();
  EXPECT_FALSE(wrong.Login(server->user(), "not-the-password"));
  EXPECT_EQ(wrong.reply_code(), 530);

  RawFtpClient ftp;
  ASSERT_TRUE(ftp.Connect(server->host(), server->port())) << ftp.error();
  ASSERT_TRUE(ftp.Login(server->user(), server->password())) << ftp.reply();
  std::string data = "refused";
  int code = ftp.Transfer(std::string("STOR ") + FtpDaemonFixture::kReadOnlyDir + "/x.txt",
                          DataMode::kPassive, &data, nullptr);
  EXPECT_GE(code, 500) << ftp.reply();
  EXPECT_FALSE(server->Exists(std::string(FtpDaemonFixture::kReadOnlyDir) + "/x.txt"));
}

TEST_P(FtpDaemonTest, AnonymousOptionAdmitsAnonymous) {
  auto server = Start({.anonymous = true});
  ASSERT_STARTED(server);
  ASSERT_TRUE(server->WriteFile("public.txt", "for everyone"));
  RawFtpClient ftp;
  ASSERT_TRUE(ftp.Connect(server->host(), server->port())) << ftp.error();
  ASSERT_TRUE(ftp.Login("anonymous", "guest@example.com")) << ftp.reply() << server->Log();
  std::string download;
  EXPECT_EQ(ftp.Transfer("RETR public.txt", DataMode::kPassive, nullptr, &download), 226)
      << ftp.reply() << ftp.error();
  EXPECT_EQ(download, "for everyone");
  std::string data = "from anonymous";
  int code = ftp.Transfer("STOR anon.txt", DataMode::kPassive, &data, nullptr);
  if (server->anonymous_can_write()) {
    EXPECT_EQ(code, 226) << ftp.reply() << ftp.error() << server->Log();
    EXPECT_EQ(server->ReadFile("anon.txt"), data);
  } else {
    EXPECT_GE(code, 500) << ftp.reply();
    EXPECT_FALSE(server->Exists("anon.txt"));
  }
}

// FTPS where the server has it: the login is refused without TLS, and with
// it a series of stores (more data connections than a TLS 1.3 server sends
// tickets after the handshake) and a listing go through, every data
// connection resuming the session.
TEST_P(FtpDaemonTest, FtpsRequiredAndStoresWithResumedSessions) {
  if (!GetParam().tls) GTEST_SKIP() << GetParam().name << " has no TLS";
  ASSERT_TRUE(SharedTestCertificates().ok()) << SharedTestCertificates().error();
  auto server = Start({.tls = FtpTls::kExplicit,
                       .certificate = SharedTestCertificates().Get(TestCertificates::kGood)});
  ASSERT_STARTED(server);
  RawFtpClient plain;
  ASSERT_TRUE(plain.Connect(server->host(), server->port())) << plain.error();
  EXPECT_FALSE(plain.Login(server->user(), server->password())) << plain.reply();

  FtpsProbe ftps;
  ASSERT_TRUE(ftps.Connect(server->endpoint())) << ftps.error() << server->Log();
  EXPECT_EQ(ftps.Command("USER " + server->user()), 331) << ftps.reply();
  ASSERT_EQ(ftps.Command("PASS " + server->password()), 230) << ftps.reply();
  EXPECT_EQ(ftps.Command("PBSZ 0"), 200) << ftps.reply();
  EXPECT_EQ(ftps.Command("PROT P"), 200) << ftps.reply();
  EXPECT_EQ(ftps.Command("TYPE I"), 200) << ftps.reply();
  for (int i = 0; i < 4; ++i) {
    const std::string name = "tls" + std::to_string(i) + ".bin";
    const std::string content = "over TLS " + std::to_string(i);
    EXPECT_EQ(ftps.Transfer("STOR " + name, &content, nullptr), 226)
        << ftps.reply() << ftps.error() << server->Log();
    EXPECT_EQ(server->ReadFile(name), content);
  }
  std::string listing;
  EXPECT_EQ(ftps.Transfer("LIST", nullptr, &listing), 226) << ftps.reply() << ftps.error();
  EXPECT_NE(listing.find("tls3.bin"), std::string::npos) << listing;
  if (server->tls_requires_session_reuse()) EXPECT_TRUE(ftps.resumed_all());
  EXPECT_EQ(ftps.Command("QUIT"), 221) << ftps.reply();
}

// The hosts' habits that options switch on, each as a client meets it.
struct HostHabitCase {
  const char* name;
  FtpDaemonFactory make;
  FtpServerOptions options;
  // Runs on a logged-in session of a started server.
  std::function<void(FtpDaemonFixture&, RawFtpClient&)> check;
};

void StoreText(RawFtpClient& ftp, const std::string& name, const std::string& text) {
  EXPECT_EQ(ftp.Transfer("STOR " + name, DataMode::kPassive, &text, nullptr), 226) << ftp.reply();
}

// REST 4 then STOR: refused (451) or continued after the first 4 bytes.
void RestartedStore(FtpDaemonFixture& server, RawFtpClient& ftp, bool allowed) {
  StoreText(ftp, "part.bin", "0123456789");
  EXPECT_EQ(ftp.Command("REST 4"), 350) << ftp.reply();
  std::string rest = "abcdef";
  int code = ftp.Transfer("STOR part.bin", DataMode::kPassive, &rest, nullptr);
  EXPECT_EQ(code, allowed ? 226 : 451) << ftp.reply();
  EXPECT_EQ(server.ReadFile("part.bin"), allowed ? "0123abcdef" : "0123456789");
}

// Whether a listing (command: "LIST" or "LIST -a") shows the root's .htaccess.
bool ListsDotfile(FtpDaemonFixture& server, RawFtpClient& ftp, const std::string& command) {
  EXPECT_TRUE(server.WriteFile(".htaccess", "Deny from all\n"));
  std::string listing;
  EXPECT_EQ(ftp.Transfer(command, DataMode::kPassive, nullptr, &listing), 226) << ftp.reply();
  return listing.find(".htaccess") != std::string::npos;
}

// A second session from the same address is refused with the given code.
void SecondSessionRefused(FtpDaemonFixture& server, int code) {
  RawFtpClient second;
  ASSERT_TRUE(second.Connect(server.host(), server.port())) << second.error();
  if (second.reply_code() == 220) second.Login(server.user(), server.password());
  EXPECT_EQ(second.reply_code(), code) << second.reply();
}

const HostHabitCase kHostHabits[] = {
    {"ProftpdRefusesRestartedStore", MakeProftpd, {},
     [](FtpDaemonFixture& s, RawFtpClient& ftp) { RestartedStore(s, ftp, false); }},
    {"ProftpdAllowStoreRestart", MakeProftpd, {.allow_store_restart = true},
     [](FtpDaemonFixture& s, RawFtpClient& ftp) { RestartedStore(s, ftp, true); }},
    {"ProftpdListOnly", MakeProftpdListOnly, {},
     [](FtpDaemonFixture&, RawFtpClient& ftp) {
       EXPECT_EQ(ftp.Command("FEAT"), 211);
       EXPECT_EQ(ftp.reply().find("MLST"), std::string::npos) << ftp.reply();
       std::string listing;
       EXPECT_GE(ftp.Transfer("MLSD", DataMode::kPassive, nullptr, &listing), 500);
     }},
    {"ProftpdShowsDotfiles", MakeProftpd, {},
     [](FtpDaemonFixture& s, RawFtpClient& ftp) { EXPECT_TRUE(ListsDotfile(s, ftp, "LIST")); }},
    {"ProftpdHidesDotfilesUnlessAsked", MakeProftpd, {.list_hides_dotfiles = true},
     [](FtpDaemonFixture& s, RawFtpClient& ftp) {
       EXPECT_FALSE(ListsDotfile(s, ftp, "LIST"));
       EXPECT_TRUE(ListsDotfile(s, ftp, "LIST -a"));
     }},
    {"ProftpdHidesDotfilesAlways", MakeProftpd,
     {.list_hides_dotfiles = true, .list_ignores_client_options = true},
     [](FtpDaemonFixture& s, RawFtpClient& ftp) { EXPECT_FALSE(ListsDotfile(s, ftp, "LIST -a")); }},
    {"ProftpdClosesIdleSession", MakeProftpd, {.no_transfer_timeout_s = 1},
     [](FtpDaemonFixture&, RawFtpClient& ftp) {
       EXPECT_EQ(ftp.ReadReply(), 421) << ftp.reply() << ftp.error();
     }},
    {"ProftpdLimitsSessionsPerClient", MakeProftpd, {.max_sessions_per_client = 1},
     [](FtpDaemonFixture& s, RawFtpClient&) { SecondSessionRefused(s, 530); }},
    {"PureFtpdLimitsSessionsPerClient", MakePureFtpd, {.max_sessions_per_client = 1},
     [](FtpDaemonFixture& s, RawFtpClient&) { SecondSessionRefused(s, 421); }},
    {"PureFtpdKeepsQuotaFile", MakePureFtpd, {.quota = true},
     [](FtpDaemonFixture& s, RawFtpClient& ftp) {
       StoreText(ftp, "counted.txt", "counted");
       EXPECT_TRUE(s.Exists(".ftpquota"));
       std::string listing;
       EXPECT_EQ(ftp.Transfer("LIST", DataMode::kPassive, nullptr, &listing), 226);
       EXPECT_NE(listing.find(".ftpquota"), std::string::npos) << listing;
     }},
    // The login itself is the check: the argon2id hash is the password's.
    {"PureFtpdHostPasswordHash", MakePureFtpd, {.host_password_hash = true},
     [](FtpDaemonFixture&, RawFtpClient&) {}},
};

void PrintTo(const HostHabitCase& habit, std::ostream* os) { *os << habit.name; }

class HostHabitTest : public testing::TestWithParam<HostHabitCase> {};

TEST_P(HostHabitTest, OptionTakesEffect) {
  auto server = GetParam().make(GetParam().options);
  ASSERT_STARTED(server);
  RawFtpClient ftp;
  ASSERT_TRUE(ftp.Connect(server->host(), server->port())) << ftp.error();
  ASSERT_TRUE(ftp.Login(server->user(), server->password())) << ftp.reply() << server->Log();
  ASSERT_EQ(ftp.Command("TYPE I"), 200);
  GetParam().check(*server, ftp);
}

INSTANTIATE_TEST_SUITE_P(Hosts, HostHabitTest, testing::ValuesIn(kHostHabits),
                         [](const testing::TestParamInfo<HostHabitCase>& info) {
                           return std::string(info.param.name);
                         });

std::vector<FtpServerKind> EveryKind() {
  std::vector<FtpServerKind> kinds = AllFtpServerKinds();
  for (const FtpServerKind& kind : HostFtpServerKinds()) kinds.push_back(kind);
  return kinds;
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpDaemonTest, testing::ValuesIn(EveryKind()),
                         [](const testing::TestParamInfo<FtpServerKind>& info) {
                           return FtpServerKindName(info.param);
                         });

}  // namespace
}  // namespace zud::test
