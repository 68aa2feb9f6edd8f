// Real FTP servers on loopback for tests: vsftpd and pyftpdlib, and the
// servers shared hosts run, ProFTPD, Pure-FTPd and inetutils ftpd (unpacked
// into build/ftp-daemons by scripts/setup, since their packages conflict with
// vsftpd's). Each is started in the foreground on a free port of 127.0.0.1 or
// ::1 with a temporary directory as the FTP user's root ("/"; inetutils ftpd:
// remote_root()), write access, passive ports in a high range and active mode
// allowed, and stops (with everything it forked) in the destructor.
//
//   PyftpdlibServer server({.family = Family::kIPv6, .read_only_dir = true});
//   ZUD_REQUIRE_DAEMON(server);
//   server.WriteFile("existing.txt", "old");      // visible as /existing.txt
//   ... log in as server.user() / server.password() on server.port() ...
//   EXPECT_EQ(server.ReadFile("upload.bin"), expected);
//   // storing into "/readonly/..." is refused by the server
//
// vsftpd logs in real system accounts only: it uses the account
// "ftpupload-test" that scripts/setup creates, with a PAM service of the same
// name, and must run as root. Files it stores belong to that account.
// pyftpdlib has its own user table and runs as the calling user. ProFTPD
// (AuthUserFile) and Pure-FTPd (puredb) have virtual users of their own that
// run as that account; inetutils ftpd logs the account itself in. All three
// must run as root. An option a server does not have makes its fixture
// missing() (a skip), as implicit TLS does for pyftpdlib.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "support/daemon_fixture.h"

namespace zud::test {

// Server certificates for TLS tests, made with the openssl command into a
// temporary directory: a test CA, and certificates for 127.0.0.1, ::1 and
// localhost signed by it (kGood), signed by it for another name only
// (kOtherName), signed by it but already expired (kExpired), and signed by a
// second CA that nobody is told to trust (kUnknownCA).
//
//   const TestCertificates& certs = SharedTestCertificates();
//   ASSERT_TRUE(certs.ok()) << certs.error();
//   VsftpdServer server({.tls = FtpTls::kExplicit,
//                        .certificate = certs.Get(TestCertificates::kGood)});
//   ... trust certs.ca_file() ...
class TestCertificates {
 public:
  enum Kind { kGood, kOtherName, kExpired, kUnknownCA };
  struct Pair {
    std::string cert_file;  // PEM certificate
    std::string key_file;   // PEM private key, unencrypted
  };

  TestCertificates();
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // The test CA's certificate (what a client is told to trust).
  std::string ca_file() const { return (dir_ / "ca.pem").string(); }
  Pair Get(Kind kind) const;

 private:
  bool Run(const std::string& arguments);

  TempDir dir_;
  std::string error_;
};
// Made once per test program.
const TestCertificates& SharedTestCertificates();

// openssl s_server -rev on 127.0.0.1: a TLS peer that sends every line it
// receives back reversed ("abc\n" -> "cba\n"), with one of the test
// certificates; max_version (e.g. "TLSv1.2") caps the protocol.
class TlsEchoServer : public DaemonFixture {
 public:
  explicit TlsEchoServer(const TestCertificates::Pair& certificate,
                         const std::string& max_version = "");
};

enum class FtpTls {
  kNone,
  // AUTH TLS, required before login (Pure-FTPd: -Y 2) and, except on
  // Pure-FTPd and pyftpdlib, for every data connection
  kExplicit,
  kImplicit,  // TLS from the first byte (vsftpd only)
};

struct FtpServerOptions {
  Family family = Family::kIPv4;
  // With TLS the server requires it for logins; vsftpd and ProFTPD (mod_tls
  // with its defaults: TLS 1.3, TLSOptions without NoSessionReuseRequired)
  // also require every data connection to resume the control connection's
  // session.
  FtpTls tls = FtpTls::kNone;
  TestCertificates::Pair certificate{};
  // Also accept "anonymous" (any password) with the same root. pyftpdlib
  // gives it full rights; vsftpd refuses to serve an anonymous root that
  // anonymous can write to, so there it may only list and download.
  bool anonymous = false;
  // Creates kReadOnlyDir below the root, where the FTP user cannot store.
  bool read_only_dir = false;
  // Sessions the server allows from one address; 0 for its default.
  int max_sessions_per_client = 0;
  // pyftpdlib: the Nth STOR of the server's life closes its session's
  // control connection instead of storing (0: never).
  int drop_at_store = 0;

  // ProFTPD: MLSD and MLST offered (FactsAdvertise); false: LIST only, as
  // many hosts' ProFTPD answer.
  bool mlsd = true;
  // ProFTPD: AllowStoreRestart, REST before STOR and APPE (off is ProFTPD's
  // default: "451 Append/Restart not permitted").
  bool allow_store_restart = false;
  // ProFTPD: a plain LIST hides dotfiles (ListOptions "" without -a), as
  // ProFTPD does unless told otherwise; false shows them (ListOptions "-a").
  bool list_hides_dotfiles = false;
  // ProFTPD: options the client gives LIST ("LIST -a") are ignored
  // (ListOptions ... strict), so hidden dotfiles stay hidden.
  bool list_ignores_client_options = false;
  // Stores throttled to this many KiB/s (ProFTPD's TransferRate for STOR
  // and APPE, vsftpd's local_max_rate, Pure-FTPd's upload bandwidth), so
  // that a test can stop the server in the middle of a file; 0: unlimited.
  int store_rate_kib = 0;
  // ProFTPD: TimeoutNoTransfer in seconds: a session without a data transfer
  // for that long is closed ("421 No transfer timeout"); 0: its default.
  int no_transfer_timeout_s = 0;
  // Pure-FTPd: quotas on (-n), so the server keeps ".ftpquota" in the root as
  // cPanel's does; dotfiles are listed (-D), as cPanel sets it.
  bool quota = false;
  // Pure-FTPd: the password hashed as pure-pw hashes it (argon2id: seconds of
  // CPU a login) instead of a quick crypt hash.
  bool host_password_hash = false;
};

class FtpDaemonFixture : public DaemonFixture {
 public:
  static constexpr const char* kReadOnlyDir = "readonly";

  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  // The local directory that the FTP user sees as remote_root().
  const std::filesystem::path& root() const { return root_; }
  // Where root() appears in FTP paths, ending in "/": "/" except on inetutils
  // ftpd, which does not chroot and shows the account's home directory.
  const std::string& remote_root() const { return remote_root_; }
  // Files below root(), by path relative to it ("/x" means root()/x).
  std::optional<std::string> ReadFile(std::string_view relative) const;
  // Writes a file (parents created) that the FTP user may change and delete.
  bool WriteFile(std::string_view relative, std::string_view content) const;
  bool MakeDir(std::string_view relative) const;
  bool Exists(std::string_view relative) const;
  // Kills (SIGKILL) every process the server started for its sessions, as
  // a crash or an administrator would end them; the server itself goes on.
  // The number killed: 0 for pyftpdlib, which runs sessions in one process.
  int KillSessions() const;
  // Whether an anonymous session (options.anonymous) may store files.
  virtual bool anonymous_can_write() const = 0;
  // Whether, with TLS, a data connection that does not resume the control
  // connection's TLS session is refused (vsftpd, ProFTPD).
  virtual bool tls_requires_session_reuse() const { return false; }

 protected:
  FtpDaemonFixture(std::string name, const FtpServerOptions& options);
  // Creates the root (and read-only directory) owned by the given account.
  bool PrepareRoot(uid_t uid, gid_t gid);
  // The ids of the account scripts/setup makes (VsftpdServer::kUser), for
  // servers that must run as root; false (after Fail) without either.
  bool RequireTestAccount(const std::string& server, uid_t* uid, gid_t* gid);
  // A file of the servers scripts/setup unpacks, by its path in the package
  // ("usr/sbin/proftpd"); "" (a missing() failure) when absent.
  std::string RequireUnpacked(const std::string& relative);

  // Stores the servers' own configuration files in the fixture's directory.
  bool WriteConfig(const std::string& name, const std::string& text);

  FtpServerOptions options_;
  std::string remote_root_ = "/";
  std::string user_;
  std::string password_;
  std::filesystem::path root_;
  uid_t owner_uid_ = 0;
  gid_t owner_gid_ = 0;
};

class VsftpdServer : public FtpDaemonFixture {
 public:
  // The account scripts/setup creates; keep in step with it.
  static constexpr const char* kUser = "ftpupload-test";
  static constexpr const char* kPassword = "ftpupload-test-pw";

  explicit VsftpdServer(const FtpServerOptions& options = {});
  bool anonymous_can_write() const override { return false; }
  bool tls_requires_session_reuse() const override { return true; }
};

class PyftpdlibServer : public FtpDaemonFixture {
 public:
  explicit PyftpdlibServer(const FtpServerOptions& options = {});
  bool anonymous_can_write() const override { return true; }
};

// ProFTPD 1.3.8 with mod_tls loaded from the unpacked tree. Virtual user
// "zud" (AuthUserFile) chrooted to the root; the configuration, its log
// (commands with their replies, transfers, TLS) and pid file live in the
// fixture's directory.
class ProftpdServer : public FtpDaemonFixture {
 public:
  explicit ProftpdServer(const FtpServerOptions& options = {});
  bool anonymous_can_write() const override { return false; }
  bool tls_requires_session_reuse() const override { return true; }
};

// Pure-FTPd 1.0.50: virtual user "zud" in its own puredb (pure-pw mkdb),
// chrooted to the root; TLS is -Y 2 with the certificate given. It logs to
// syslog only: Log() holds its standard error and its transfer log (-O).
class PureFtpdServer : public FtpDaemonFixture {
 public:
  explicit PureFtpdServer(const FtpServerOptions& options = {});
  bool anonymous_can_write() const override { return false; }
};

// inetutils ftpd 2.4 (no TLS, no MLSD), one process per session as inetd
// runs it: its daemon mode takes port 21 on every address, so
// systemd-socket-activate accepts on the free loopback port instead. It logs
// the system account "ftpupload-test" in (crypt, -a default) without a
// chroot; a private mount namespace (unshare) shows root() as the account's
// home, remote_root(), and admits the account's nologin shell.
class InetutilsFtpdServer : public FtpDaemonFixture {
 public:
  explicit InetutilsFtpdServer(const FtpServerOptions& options = {});
  bool anonymous_can_write() const override { return false; }
};

// Starts one kind of FTP daemon fixture: for tests parameterized over servers.
using FtpDaemonFactory =
    std::function<std::unique_ptr<FtpDaemonFixture>(const FtpServerOptions&)>;
std::unique_ptr<FtpDaemonFixture> MakeVsftpd(const FtpServerOptions& options);
std::unique_ptr<FtpDaemonFixture> MakePyftpdlib(const FtpServerOptions& options);
std::unique_ptr<FtpDaemonFixture> MakeProftpd(const FtpServerOptions& options);
// ProFTPD without MLSD (options.mlsd = false).
std::unique_ptr<FtpDaemonFixture> MakeProftpdListOnly(const FtpServerOptions& options);
std::unique_ptr<FtpDaemonFixture> MakePureFtpd(const FtpServerOptions& options);
std::unique_ptr<FtpDaemonFixture> MakeInetutilsFtpd(const FtpServerOptions& options);

// One server program on one address family.
struct FtpServerKind {
  const char* name;  // "Vsftpd", "Pyftpdlib", "Proftpd", ...
  FtpDaemonFactory make;
  Family family;
  bool tls = true;  // has FTPS (explicit)
};
// vsftpd and pyftpdlib, each on IPv4 and on IPv6.
std::vector<FtpServerKind> AllFtpServerKinds();
// The hosts' servers: ProFTPD (with MLSD and LIST only), Pure-FTPd and
// inetutils ftpd, each on IPv4 and on IPv6.
std::vector<FtpServerKind> HostFtpServerKinds();
// "VsftpdIPv4": a parameterized test's name suffix.
std::string FtpServerKindName(const FtpServerKind& kind);
void PrintTo(const FtpServerKind& kind, std::ostream* os);

}  // namespace zud::test
