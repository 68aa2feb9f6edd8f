#include "support/ftp_daemons.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>

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

// Where scripts/setup unpacks the servers whose packages conflict with
// vsftpd's (ProFTPD, Pure-FTPd, inetutils ftpd).
std::filesystem::path UnpackedServersDir() {
  return std::filesystem::path(ZUD_SOURCE_DIR) / "build" / "ftp-daemons";
}

// The virtual user of ProFTPD and Pure-FTPd, and its password as crypt(3)
// SHA-512 ("openssl passwd -6 -salt zudtestsalt zud-secret"): both servers
// check such a hash in an instant.
constexpr const char* kVirtualUser = "zud";
constexpr const char* kVirtualPassword = "zud-secret";
constexpr const char* kVirtualPasswordCrypt =
    "$6$zudtestsalt$2AINPOUWD9U1R7I5oWsXpmBJAGD6nAVo1YvjdMn6J025rH0RKKtOmXsuRVhQfITqlWJjUNhc8oSh"
    "smlDa9NI50";
// The same password as pure-pw hashes it by default (argon2id, t=1023): what
// a host's Pure-FTPd spends on every login.
constexpr const char* kVirtualPasswordArgon2 =
    "$argon2id$v=19$m=8192,t=1023,p=1$uR+zNIgp48tLkLwiN+z/uA$"
    "Nd/aHgH0dfEb0jN1xiyEbnbE9KoADEF0DsSEBkhiqnA";

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

bool FtpDaemonFixture::RequireTestAccount(const std::string& server, uid_t* uid, gid_t* gid) {
  const char* name = VsftpdServer::kUser;
  // getpwnam's result lives in static storage: keep the ids at once.
  passwd* account = ::getpwnam(name);
  if (account == nullptr || !std::filesystem::exists(std::string("/etc/pam.d/") + name)) {
    Fail(std::string("the test account ") + name +
             " or its PAM service is missing (scripts/setup creates them)",
         true);
    return false;
  }
  *uid = account->pw_uid;
  *gid = account->pw_gid;
  if (::geteuid() != 0) {
    Fail(server + " must run as root to serve as the account " + name);
    return false;
  }
  return true;
}

std::string FtpDaemonFixture::RequireUnpacked(const std::string& relative) {
  const std::filesystem::path path = UnpackedServersDir() / relative;
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return path.string();
  Fail(path.string() + " is missing (scripts/setup unpacks the server there)", true);
  return "";
}

bool FtpDaemonFixture::WriteConfig(const std::string& name, const std::string& text) {
  if (dir_.Write(name, text)) return true;
  Fail("cannot write " + (dir_ / name).string());
  return false;
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

int FtpDaemonFixture::KillSessions() const {
  // Parents from /proc/PID/stat ("PID (NAME) STATE PPID ..."; NAME may hold
  // blanks and parentheses, so the fields after the last ")").
  std::map<pid_t, pid_t> parent;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadFileBytes(entry.path() / "stat").value_or("");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2) {
      parent[static_cast<pid_t>(std::stoi(name))] = static_cast<pid_t>(ppid);
    }
  }
  const auto parent_of = [&parent](pid_t child) {
    const auto it = parent.find(child);
    return it == parent.end() ? 0 : it->second;
  };
  int killed = 0;
  for (const auto& [child, first_parent] : parent) {
    for (pid_t up = first_parent; up > 1; up = parent_of(up)) {
      if (up != pid()) continue;
      if (::kill(child, SIGKILL) == 0) ++killed;
      break;
    }
  }
  return killed;
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
  uid_t uid = 0;
  gid_t gid = 0;
  if (program.empty() || !RequireTestAccount("vsftpd", &uid, &gid)) return;
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
    if (options_.store_rate_kib > 0) {
      config += "local_max_rate=" + std::to_string(options_.store_rate_kib * 1024) + "\n";
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
    if (!WriteConfig("vsftpd.conf", config)) return {};
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

ProftpdServer::ProftpdServer(const FtpServerOptions& options)
    : FtpDaemonFixture("proftpd", options) {
  user_ = kVirtualUser;
  password_ = kVirtualPassword;
  const std::string program = RequireUnpacked("usr/sbin/proftpd");
  const std::string modules = RequireUnpacked("usr/lib/proftpd");
  if (program.empty() || modules.empty()) return;
  if (options.tls == FtpTls::kImplicit || options.anonymous || options.drop_at_store > 0) {
    Fail("the ProFTPD fixture offers neither implicit TLS, anonymous nor drop_at_store", true);
    return;
  }
  uid_t uid = 0;
  gid_t gid = 0;
  if (!RequireTestAccount("proftpd", &uid, &gid) || !PrepareRoot(uid, gid)) return;
  const std::string ids = std::to_string(uid) + ":" + std::to_string(gid);
  if (!WriteConfig("passwd", user_ + ":" + kVirtualPasswordCrypt + ":" + ids + "::" +
                                 root_.string() + ":/bin/false\n") ||
      !WriteConfig("group", user_ + ":x:" + std::to_string(gid) + ":\n")) {
    return;
  }
  // ProFTPD refuses a user file that others may read.
  std::error_code ec;
  std::filesystem::permissions(dir_ / "passwd", std::filesystem::perms::owner_read |
                                                    std::filesystem::perms::owner_write, ec);
  const std::string log = (dir_ / "proftpd.log").string();
  set_own_log(log);
  // ProFTPD lingers some 400 ms on SIGTERM; its log is written line by line.
  set_stop_grace_ms(0);
  // Its master pauses 400 ms after each session's end before it accepts
  // again: a probe connection would cost the test that.
  set_probe_without_connecting();
  const bool ipv6 = options.family == Family::kIPv6;
  Launch([&](int port) -> std::vector<std::string> {
    std::string config =
        "ServerType standalone\n"
        "ServerName \"zud test ProFTPD\"\n"
        "Port " + std::to_string(port) + "\n" +
        "DefaultAddress " + host() + "\n" +
        "UseIPv6 " + (ipv6 ? "on" : "off") + "\n" +
        "SocketBindTight on\n"
        "ModulePath " + modules + "\n" +
        "LoadModule mod_tls.c\n"
        "PidFile " + (dir_ / "proftpd.pid").string() + "\n" +
        "ScoreboardFile " + (dir_ / "proftpd.scoreboard").string() + "\n" +
        // No artificial delay on logins, no control socket in /run.
        "DelayEngine off\n"
        "ControlsEngine off\n"
        "User " + VsftpdServer::kUser + "\n" +
        "Group " + VsftpdServer::kUser + "\n" +
        "AuthOrder mod_auth_file.c\n"
        "AuthUserFile " + (dir_ / "passwd").string() + "\n" +
        "AuthGroupFile " + (dir_ / "group").string() + "\n" +
        "RequireValidShell off\n"
        "DefaultRoot ~\n"
        "PassivePorts " + std::to_string(kPassiveMin) + " " + std::to_string(kPassiveMax) + "\n" +
        "WtmpLog off\n"
        "UseLastlog off\n"
        "UseReverseDNS off\n"
        "Umask 022\n"
        "AllowOverwrite on\n"
        "MaxLoginAttempts 10\n"
        // One log: the server's messages, every command with its reply,
        // transfers and TLS.
        "SystemLog " + log + "\n" +
        "LogFormat zud \"%{iso8601} [%P] %a %r -> %s %S\"\n"
        "ExtendedLog " + log + " ALL zud\n" +
        "TransferLog " + log + "\n" +
        "AllowStoreRestart " + (options_.allow_store_restart ? "on" : "off") + "\n" +
        "ListOptions \"" + (options_.list_hides_dotfiles ? "" : "-a") + "\"" +
        (options_.list_ignores_client_options ? " strict" : "") + "\n";
    if (!options_.mlsd) {
      config +=
          "FactsAdvertise off\n"
          "<Limit MLSD MLST>\n  DenyAll\n</Limit>\n";
    }
    if (options_.store_rate_kib > 0) {
      config += "TransferRate STOR,APPE " + std::to_string(options_.store_rate_kib) + "\n";
    }
    if (options_.no_transfer_timeout_s > 0) {
      config += "TimeoutNoTransfer " + std::to_string(options_.no_transfer_timeout_s) + "\n";
    }
    if (options_.max_sessions_per_client > 0) {
      config += "MaxClientsPerHost " + std::to_string(options_.max_sessions_per_client) + "\n";
    }
    if (options_.tls != FtpTls::kNone) {
      // mod_tls's defaults otherwise: TLS 1.2 and 1.3, and data connections
      // must resume the control connection's session.
      config +=
          "TLSEngine on\n"
          "TLSRequired on\n"
          "TLSECCertificateFile " + options_.certificate.cert_file + "\n" +
          "TLSECCertificateKeyFile " + options_.certificate.key_file + "\n" +
          "TLSVerifyClient off\n"
          "TLSLog " + log + "\n";
    }
    if (!WriteConfig("proftpd.conf", config)) return {};
    // -n: in the foreground.
    return {program, "-n", "-c", (dir_ / "proftpd.conf").string()};
  });
}

PureFtpdServer::PureFtpdServer(const FtpServerOptions& options)
    : FtpDaemonFixture("pure-ftpd", options) {
  user_ = kVirtualUser;
  password_ = kVirtualPassword;
  const std::string program = RequireUnpacked("usr/sbin/pure-ftpd");
  const std::string pure_pw = RequireUnpacked("usr/bin/pure-pw");
  if (program.empty() || pure_pw.empty()) return;
  if (options.tls == FtpTls::kImplicit || options.anonymous || options.drop_at_store > 0) {
    Fail("the Pure-FTPd fixture offers neither implicit TLS, anonymous nor drop_at_store", true);
    return;
  }
  uid_t uid = 0;
  gid_t gid = 0;
  if (!RequireTestAccount("pure-ftpd", &uid, &gid) || !PrepareRoot(uid, gid)) return;
  // A home ending in "/./" is the user's chroot.
  const std::string line =
      user_ + ":" + (options.host_password_hash ? kVirtualPasswordArgon2 : kVirtualPasswordCrypt) +
      ":" + std::to_string(uid) + ":" + std::to_string(gid) + "::" + root_.string() +
      "/./::::::::::::\n";
  const std::string db = (dir_ / "pureftpd.pdb").string();
  if (!WriteConfig("pureftpd.passwd", line)) return;
  const std::string mkdb = pure_pw + " mkdb " + db + " -f " +
                           (dir_ / "pureftpd.passwd").string() + " >" +
                           (dir_ / "daemon.out").string() + " 2>&1";
  if (std::system(mkdb.c_str()) != 0) {
    Fail("\"" + mkdb + "\" failed: " + Log());
    return;
  }
  const std::string transfers = (dir_ / "transfers.log").string();
  set_own_log(transfers);
  Launch([&](int port) -> std::vector<std::string> {
    std::vector<std::string> argv = {
        program,
        "--bind", std::string(host()) + "," + std::to_string(port),
        "--login", "puredb:" + db,
        "--noanonymous",
        "--dontresolve",
        "--passiveportrange", std::to_string(kPassiveMin) + ":" + std::to_string(kPassiveMax),
        "--altlog", "w3c:" + transfers};
    if (options_.tls != FtpTls::kNone) {
      // -Y 2: TLS required for the session (data connections may be plain).
      argv.insert(argv.end(), {"--tls", "2", "--certfile",
                               options_.certificate.cert_file + "," +
                                   options_.certificate.key_file});
    }
    if (options_.max_sessions_per_client > 0) {
      argv.insert(argv.end(),
                  {"--maxclientsperip", std::to_string(options_.max_sessions_per_client)});
    }
    if (options_.quota) {
      argv.insert(argv.end(), {"--quota", "100000:10000", "--displaydotfiles"});
    }
    if (options_.store_rate_kib > 0) {
      // Upload:download bandwidth in KiB/s.
      argv.insert(argv.end(), {"--userbandwidth", std::to_string(options_.store_rate_kib) + ":"});
    }
    return argv;
  });
}

InetutilsFtpdServer::InetutilsFtpdServer(const FtpServerOptions& options)
    : FtpDaemonFixture("inetutils-ftpd", options) {
  user_ = VsftpdServer::kUser;
  password_ = VsftpdServer::kPassword;
  const std::string program = RequireUnpacked("usr/sbin/ftpd");
  const std::string activate = RequireProgram("systemd-socket-activate");
  const std::string unshare = RequireProgram("unshare");
  if (program.empty() || activate.empty() || unshare.empty()) return;
  if (options.tls != FtpTls::kNone || options.anonymous || options.drop_at_store > 0 ||
      options.max_sessions_per_client > 0) {
    Fail("inetutils ftpd has no TLS and no per-address limit; the fixture no anonymous "
         "login or drop_at_store",
         true);
    return;
  }
  uid_t uid = 0;
  gid_t gid = 0;
  if (!RequireTestAccount("inetutils ftpd", &uid, &gid) || !PrepareRoot(uid, gid)) return;
  passwd* account = ::getpwnam(VsftpdServer::kUser);
  if (account == nullptr) {
    Fail("the test account vanished");
    return;
  }
  const std::string home = account->pw_dir;
  const std::string shell = account->pw_shell;
  remote_root_ = home + "/";
  // ftpd admits only accounts whose shell /etc/shells lists.
  std::string shells = ReadFileBytes("/etc/shells").value_or("") + "\n" + shell + "\n";
  if (!WriteConfig("shells", shells)) return;
  Launch([&](int port) -> std::vector<std::string> {
    const std::string address = family() == Family::kIPv6
                                    ? "[::1]:" + std::to_string(port)
                                    : "127.0.0.1:" + std::to_string(port);
    // The mounts live in the namespace only and end with its last process.
    return {unshare, "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
            "mount --bind \"$1\" \"$2\" && mount --bind \"$3\" /etc/shells && "
            "exec \"$4\" --inetd --accept --listen=\"$5\" \"$6\" -a default -u 022 -l",
            "sh", root_.string(), home, (dir_ / "shells").string(), activate, address, program};
  });
}

std::unique_ptr<FtpDaemonFixture> MakeVsftpd(const FtpServerOptions& options) {
  return std::make_unique<VsftpdServer>(options);
}

std::unique_ptr<FtpDaemonFixture> MakePyftpdlib(const FtpServerOptions& options) {
  return std::make_unique<PyftpdlibServer>(options);
}

std::unique_ptr<FtpDaemonFixture> MakeProftpd(const FtpServerOptions& options) {
  return std::make_unique<ProftpdServer>(options);
}

std::unique_ptr<FtpDaemonFixture> MakeProftpdListOnly(const FtpServerOptions& options) {
  FtpServerOptions list_only = options;
  list_only.mlsd = false;
  return std::make_unique<ProftpdServer>(list_only);
}

std::unique_ptr<FtpDaemonFixture> MakePureFtpd(const FtpServerOptions& options) {
  return std::make_unique<PureFtpdServer>(options);
}

std::unique_ptr<FtpDaemonFixture> MakeInetutilsFtpd(const FtpServerOptions& options) {
  return std::make_unique<InetutilsFtpdServer>(options);
}

std::vector<FtpServerKind> AllFtpServerKinds() {
  return {{"Vsftpd", MakeVsftpd, Family::kIPv4},
          {"Vsftpd", MakeVsftpd, Family::kIPv6},
          {"Pyftpdlib", MakePyftpdlib, Family::kIPv4},
          {"Pyftpdlib", MakePyftpdlib, Family::kIPv6}};
}

std::vector<FtpServerKind> HostFtpServerKinds() {
  std::vector<FtpServerKind> kinds;
  for (Family family : {Family::kIPv4, Family::kIPv6}) {
    kinds.push_back({"Proftpd", MakeProftpd, family});
    kinds.push_back({"ProftpdListOnly", MakeProftpdListOnly, family});
    kinds.push_back({"PureFtpd", MakePureFtpd, family});
    kinds.push_back({"InetutilsFtpd", MakeInetutilsFtpd, family, false});
  }
  return kinds;
}

std::string FtpServerKindName(const FtpServerKind& kind) {
  return std::string(kind.name) + FamilyName(kind.family);
}

void PrintTo(const FtpServerKind& kind, std::ostream* os) {
  *os << kind.name << " " << FamilyName(kind.family);
}

}  // namespace zud::test
