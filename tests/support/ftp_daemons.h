// Real FTP servers on loopback for tests: vsftpd and pyftpdlib, each started
// on a free port of 127.0.0.1 or ::1 with a temporary directory as the FTP
// user's root ("/"), write access, passive ports in a high range and active
// mode allowed. Both stop (with everything they forked) in the destructor.
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
// pyftpdlib has its own user table and runs as the calling user.
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
  kExplicit,  // AUTH TLS, required before login and for every data connection
  kImplicit,  // TLS from the first byte (vsftpd only)
};

struct FtpServerOptions {
  Family family = Family::kIPv4;
  // With TLS the server requires it for logins and data; vsftpd also
  // requires data connections to resume the control connection's session.
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
};

class FtpDaemonFixture : public DaemonFixture {
 public:
  static constexpr const char* kReadOnlyDir = "readonly";

  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  // The local directory that the FTP user sees as "/".
  const std::filesystem::path& root() const { return root_; }
  // Files below root(), by path relative to it ("/x" means root()/x).
  std::optional<std::string> ReadFile(std::string_view relative) const;
  // Writes a file (parents created) that the FTP user may change and delete.
  bool WriteFile(std::string_view relative, std::string_view content) const;
  bool MakeDir(std::string_view relative) const;
  bool Exists(std::string_view relative) const;
  // Whether an anonymous session (options.anonymous) may store files.
  virtual bool anonymous_can_write() const = 0;

 protected:
  FtpDaemonFixture(std::string name, const FtpServerOptions& options);
  // Creates the root (and read-only directory) owned by the given account.
  bool PrepareRoot(uid_t uid, gid_t gid);

  FtpServerOptions options_;
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
};

class PyftpdlibServer : public FtpDaemonFixture {
 public:
  explicit PyftpdlibServer(const FtpServerOptions& options = {});
  bool anonymous_can_write() const override { return true; }
};

// Starts one kind of FTP daemon fixture: for tests parameterized over servers.
using FtpDaemonFactory =
    std::function<std::unique_ptr<FtpDaemonFixture>(const FtpServerOptions&)>;
std::unique_ptr<FtpDaemonFixture> MakeVsftpd(const FtpServerOptions& options);
std::unique_ptr<FtpDaemonFixture> MakePyftpdlib(const FtpServerOptions& options);

// One server program on one address family.
struct FtpServerKind {
  const char* name;  // "Vsftpd", "Pyftpdlib"
  FtpDaemonFactory make;
  Family family;
};
// vsftpd and pyftpdlib, each on IPv4 and on IPv6.
std::vector<FtpServerKind> AllFtpServerKinds();
// "VsftpdIPv4": a parameterized test's name suffix.
std::string FtpServerKindName(const FtpServerKind& kind);
void PrintTo(const FtpServerKind& kind, std::ostream* os);

}  // namespace zud::test
