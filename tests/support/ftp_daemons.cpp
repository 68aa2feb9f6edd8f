#include "support/ftp_daemons.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace zud::test {
namespace {

// Passive data ports; daemons skip ports in use, so fixtures may share it.
constexpr int kPassiveMin = 40000;
constexpr int kPassiveMax = 59999;

bool ChownTree(const std::filesystem::path& path, uid_t uid, gid_t gid) {
  if (::lchown(path.c_str(), uid, gid) != 0) return false;
  std::error_code ec;
  if (!std::filesystem::is_directory(path, ec)) return true;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ec)) {
    if (::lchown(entry.path().c_str(), uid, gid) != 0) return false;
  }
  return !ec;
}

// Names for 127.0.0.1, ::1 and localhost, as clients may reach the servers.
constexpr const char* kLoopbackNames = "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost\n";

}  // namespace

TestCertificates::TestCertificates() : dir_("zud-certs") {
  if (!dir_.ok()) {
    error_ = dir_.error();
    return;
  }
  if (FindProgram("openssl").empty()) {
    error_ = "the openssl command is not installed";
    return;
  }
  dir_.Write("loopback.ext", kLoopbackNames);
  dir_.Write("other.ext", "subjectAltName=DNS:other.invalid\n");
  // EC keys: quick to make on a loaded machine.
  const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes ";
  const std::string d = dir_.path().string() + "/";
  auto request = [&](const std::string& name, const std::string& cn) {
    return Run("req -new " + key + "-keyout " + d + name + ".key -out " + d + name +
               ".csr -subj /CN=" + cn);
  };
  auto sign = [&](const std::string& name, const std::string& ca, const std::string& ext,
                  const std::string& days) {
    return Run("x509 -req -in " + d + name + ".csr -CA " + d + ca + ".pem -CAkey " + d + ca +
               ".key -CAcreateserial -days " + days + " -extfile " + d + ext + " -out " + d +
               name + ".pem");
  };
  bool made = Run("req -x509 " + key + "-keyout " + d + "ca.key -out " + d +
                  "ca.pem -days 3 -subj /CN=zud-test-CA") &&
              Run("req -x509 " + key + "-keyout " + d + "stranger-ca.key -out " + d +
                  "stranger-ca.pem -days 3 -subj /CN=zud-stranger-CA") &&
              request("good", "localhost") && sign("good", "ca", "loopback.ext", "3") &&
              request("other", "other.invalid") && sign("other", "ca", "other.ext", "3") &&
              // A negative validity: expired the moment it is made.
              request("expired", "localhost") && sign("expired", "ca", "loopback.ext", "-1") &&
              request("unknown", "localhost") &&
              sign("unknown", "stranger-ca", "loopback.ext", "3");
  if (!made && error_.empty()) error_ = "openssl failed";
}

bool TestCertificates::Run(const std::string& arguments) {
  const std::string log = (dir_ / "openssl.log").string();
  const std::string command = "openssl " + arguments + " >>" + log + " 2>&1";
  if (std::system(command.c_str()) == 0) return true;
  error_ = "\"" + command + "\" failed: " + dir_.Read("openssl.log").value_or("");
  return false;
}

TestCertificates::Pair TestCertificates::Get(Kind kind) const {
  static constexpr const char* kNames[] = {"good", "other", "expired", "unknown"};
  const std::string name = kNames[kind];
  return {(dir_ / (name + ".pem")).string(), (dir_ / (name + ".key")).string()};
}

const TestCertificates& SharedTestCertificates() {
  static const TestCertificates certificates;
  return certificates;
}

TlsEchoServer::TlsEchoServer(const TestCertificates::Pair& certificate,
                             const std::string& max_version)
    : DaemonFixture("openssl s_server", Family::kIPv4) {
  const std::string program = RequireProgram("openssl");
  if (program.empty()) return;
  Launch([&](int port) -> std::vector<std::string> {
    std::vector<std::string> argv = {program, "s_server", "-accept",
                                     std::string(host()) + ":" + std::to_string(port),
                                     "-cert", certificate.cert_file, "-key", certificate.key_file,
                                     "-rev", "-quiet"};
    if (!max_version.empty()) argv.insert(argv.end(), {"-max_protocol", max_version});
    return argv;
  });
}

FtpDaemonFixture::FtpDaemonFixture(std::string name, const FtpServerOptions& options)
    : DaemonFixture(std::move(name), options.family), options_(options) {}

bool FtpDaemonFixture::PrepareRoot(uid_t uid, gid_t gid) {
  owner_uid_ = uid;
  owner_gid_ = gid;
  root_ = dir_ / "root";
  std::error_code ec;
  // The daemon's user must be able to pass through the fixture's directory.
  std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755), ec);
  if (!dir_.MakeDir("root") || ::chown(root_.c_str(), uid, gid) != 0) {
    Fail("cannot prepare " + root_.string() + ": " + ErrnoText(errno));
    return false;
  }
  if (options_.read_only_dir && !dir_.MakeDir(std::string("root/") + kReadOnlyDir)) {
    Fail("cannot create the read-only directory");
    return false;
  }
  // The read-only directory stays with the fixture's own (root) account.
  return true;
}

std::optional<std::string> FtpDaemonFixture::ReadFile(std::string_view relative) const {
  return ReadFileBytes(PathBelow(root_, relative));
}

bool FtpDaemonFixture::WriteFile(std::string_view relative, std::string_view content) const {
  std::filesystem::path target = PathBelow(root_, relative);
  std::error_code ec;
  std::filesystem::create_directories(target.parent_path(), ec);
  if (!WriteFileBytes(target, content)) return false;
  // Hand every new component to the FTP account, so it may change them.
  for (std::filesystem::path p = target; p != root_ && p.has_relative_path();
       p = p.parent_path()) {
    if (::lchown(p.c_str(), owner_uid_, owner_gid_) != 0) return false;
  }
  return true;
}

bool FtpDaemonFixture::MakeDir(std::string_view relative) const {
  std::filesystem::path target = PathBelow(root_, relative);
  std::error_code ec;
  std::filesystem::create_directories(target, ec);
  return !ec && ChownTree(target, owner_uid_, owner_gid_);
}

bool FtpDaemonFixture::Exists(std::string_view relative) const {
  std::error_code ec;
  return std::filesystem::exists(PathBelow(root_, relative), ec);
}

VsftpdServer::VsftpdServer(const FtpServerOptions& options)
    : FtpDaemonFixture("vsftpd", options) {
  user_ = kUser;
  password_ = kPassword;
  std::string program = RequireProgram("vsftpd");
  if (program.empty()) return;
  // getpwnam's result lives in static storage: keep the ids at once.
  passwd* account = ::getpwnam(kUser);
  uid_t uid = account ? account->pw_uid : 0;
  gid_t gid = account ? account->pw_gid : 0;
  if (account == nullptr || !std::filesystem::exists(std::string("/etc/pam.d/") + kUser)) {
    Fail(std::string("the test account ") + kUser +
             " or its PAM service is missing (scripts/setup creates them)",
         true);
    return;
  }
  if (::geteuid() != 0) {
    Fail("vsftpd must run as root to log in a local account");
    return;
  }
  if (options.anonymous && ::getpwnam("ftp") == nullptr) {
    Fail("the \"ftp\" account for anonymous sessions is missing (the vsftpd package makes it)",
         true);
    return;
  }
  if (!PrepareRoot(uid, gid)) return;
  dir_.MakeDir("empty");  // secure_chroot_dir: vsftpd refuses to start without it
  set_own_log(dir_ / "vsftpd.log");
  bool ipv6 = options.family == Family::kIPv6;
  Launch([&](int port) -> std::vector<std::string> {
    std::string config =
        // listen=YES binds IPv4 only; listen_ipv6=YES is needed for ::1.
        std::string(ipv6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n"
                         : "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n") +
        "listen_port=" + std::to_string(port) + "\n" +
        "background=NO\n"
        "local_enable=YES\n"
        "write_enable=YES\n"
        "local_umask=022\n"
        "local_root=" + root_.string() + "\n"
        // The user's root is writable, which chroot refuses without this.
        "chroot_local_user=YES\n"
        "allow_writeable_chroot=YES\n"
        "pam_service_name=" + kUser + "\n"
        "userlist_enable=NO\n"
        // Sandboxing needs kernel features containers often lack.
        "seccomp_sandbox=NO\n"
        "isolate=NO\n"
        "isolate_network=NO\n"
        "secure_chroot_dir=" + (dir_ / "empty").string() + "\n"
        "pasv_enable=YES\n"
        "pasv_min_port=" + std::to_string(kPassiveMin) + "\n"
        "pasv_max_port=" + std::to_string(kPassiveMax) + "\n"
        "port_enable=YES\n"
        // Port 20 is privileged; connect back from any port instead.
        "connect_from_port_20=NO\n"
        "delay_failed_login=0\n"
        "max_login_fails=10\n"
        // A protocol log in the fixture's directory, nothing in /var/log.
        "xferlog_enable=YES\n"
        "xferlog_std_format=NO\n"
        "log_ftp_protocol=YES\n"
        "dual_log_enable=NO\n"
        "syslog_enable=NO\n"
        "vsftpd_log_file=" + (dir_ / "vsftpd.log").string() + "\n" +
        (options_.anonymous
             // vsftpd refuses an anonymous root its account can write to, so
             // anonymous sessions run as the package's "ftp" account, which
             // may read but not write the root.
             ? "anonymous_enable=YES\n"
               "anon_root=" + root_.string() + "\n"
               "no_anon_password=YES\n"
               "ftp_username=ftp\n"
               "anon_world_readable_only=NO\n"
             : "anonymous_enable=NO\n");
    if (options_.max_sessions_per_client > 0) {
      config += "max_per_ip=" + std::to_string(options_.max_sessions_per_client) + "\n";
    }
    if (options_.tls != FtpTls::kNone) {
      config +=
          "ssl_enable=YES\n"
          "rsa_cert_file=" + options_.certificate.cert_file + "\n"
          "rsa_private_key_file=" + options_.certificate.key_file + "\n"
          "force_local_logins_ssl=YES\n"
          "force_local_data_ssl=YES\n"
          // The default, spelled out: data connections must resume the
          // control connection's session.
          "require_ssl_reuse=YES\n"
          // The built-in default (one 3DES cipher) is refused by today's
          // OpenSSL: TLS 1.2 would find no common cipher.
          "ssl_ciphers=HIGH\n"
          "debug_ssl=YES\n" +
          std::string(options_.tls == FtpTls::kImplicit ? "implicit_ssl=YES\n" : "");
    }
    if (!dir_.Write("vsftpd.conf", config)) {
      Fail("cannot write vsftpd.conf");
      return {};
    }
    return {program, (dir_ / "vsftpd.conf").string()};
  });
}

PyftpdlibServer::PyftpdlibServer(const FtpServerOptions& options)
    : FtpDaemonFixture("pyftpdlib", options) {
  user_ = "zud";
  password_ = "zud-secret";
  // The distribution's python3, which has python3-pyftpdlib; PATH may lead to
  // another interpreter without it.
  std::string python = FindProgram("/usr/bin/python3");
  if (python.empty()) python = RequireProgram("python3");
  if (python.empty()) return;
  if (options.tls == FtpTls::kImplicit) {
    Fail("pyftpdlib offers no implicit TLS", true);
    return;
  }
  std::string script = std::string(ZUD_SOURCE_DIR) + "/tests/support/pyftpd_server.py";
  if (!std::filesystem::exists(script)) {
    Fail("missing " + script);
    return;
  }
  if (!PrepareRoot(::geteuid(), ::getegid())) return;
  set_own_log(dir_ / "pyftpd.log");
  Launch([&](int port) -> std::vector<std::string> {
    std::vector<std::string> argv = {
        python, script,
        "--host", host(),
        "--port", std::to_string(port),
        "--dir", root_.string(),
        "--user", user_,
        "--password", password_,
        "--passive-ports", std::to_string(kPassiveMin) + "-" + std::to_string(kPassiveMax),
        "--log", (dir_ / "pyftpd.log").string()};
    if (options_.anonymous) argv.push_back("--anonymous");
    if (options_.tls != FtpTls::kNone) {
      argv.insert(argv.end(), {"--certfile", options_.certificate.cert_file, "--keyfile",
                               options_.certificate.key_file});
    }
    if (options_.read_only_dir) {
      argv.push_back("--read-only-dir");
      argv.push_back(kReadOnlyDir);
    }
    if (options_.max_sessions_per_client > 0) {
      argv.insert(argv.end(), {"--max-per-ip", std::to_string(options_.max_sessions_per_client)});
    }
    if (options_.drop_at_store > 0) {
      argv.insert(argv.end(), {"--drop-at-stor", std::to_string(options_.drop_at_store)});
    }
    return argv;
  });
  // The script says so when the module is missing (see pyftpd_server.py).
  if (!ok() && Log().find("pyftpdlib is not installed") != std::string::npos) {
    Fail("python3-pyftpdlib is not installed", true);
  }
}

std::unique_ptr<FtpDaemonFixture> MakeVsftpd(const FtpServerOptions& options) {
  return std::make_unique<VsftpdServer>(options);
}

std::unique_ptr<FtpDaemonFixture> MakePyftpdlib(const FtpServerOptions& options) {
  return std::make_unique<PyftpdlibServer>(options);
}

std::vector<FtpServerKind> AllFtpServerKinds() {
  return {{"Vsftpd", MakeVsftpd, Family::kIPv4},
          {"Vsftpd", MakeVsftpd, Family::kIPv6},
          {"Pyftpdlib", MakePyftpdlib, Family::kIPv4},
          {"Pyftpdlib", MakePyftpdlib, Family::kIPv6}};
}

std::string FtpServerKindName(const FtpServerKind& kind) {
  return std::string(kind.name) + FamilyName(kind.family);
}

void PrintTo(const FtpServerKind& kind, std::ostream* os) {
  *os << kind.name << " " << FamilyName(kind.family);
}

}  // namespace zud::test
