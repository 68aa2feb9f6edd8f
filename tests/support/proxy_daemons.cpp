#include "support/proxy_daemons.h"

#include <pwd.h>
#include <unistd.h>

namespace zud::test {

DanteServer::DanteServer() : DaemonFixture("danted", Family::kIPv4) {
  std::string program = RequireProgram("danted");
  if (program.empty()) return;
  set_own_log(dir_ / "danted.log");
  // As root, dante wants an unprivileged account for its helpers; running
  // them as root works too but is warned about.
  std::string users;
  if (::geteuid() == 0 && ::getpwnam("nobody") != nullptr) {
    users = "user.privileged: root\nuser.unprivileged: nobody\n";
  }
  Launch([&](int port) -> std::vector<std::string> {
    std::string config =
        "logoutput: " + (dir_ / "danted.log").string() + "\n" +
        "internal: 127.0.0.1 port = " + std::to_string(port) + "\n" +
        "external: 127.0.0.1\n"
        "clientmethod: none\n"
        "socksmethod: none\n" +
        users +
        "client pass {\n"
        "  from: 127.0.0.0/8 to: 127.0.0.0/8\n"
        "  log: error\n"
        "}\n"
        "socks pass {\n"
        "  from: 127.0.0.0/8 to: 127.0.0.0/8\n"
        "  command: connect bind bindreply\n"
        "  log: error connect disconnect\n"
        "}\n"
        // A host name in a request is matched as a name, not as the
        // address it resolves to: allow "localhost" by name.
        "socks pass {\n"
        "  from: 127.0.0.0/8 to: localhost\n"
        "  command: connect bind\n"
        "  log: error connect disconnect\n"
        "}\n"
        // Everything else is refused, and logged so tests can show why.
        "socks block {\n"
        "  from: 0.0.0.0/0 to: 0.0.0.0/0\n"
        "  log: connect error\n"
        "}\n";
    if (!dir_.Write("danted.conf", config)) {
      Fail("cannot write danted.conf");
      return {};
    }
    // -N 1: one accepting process is plenty; dante still forks its helpers.
    return {program, "-f", (dir_ / "danted.conf").string(), "-N", "1",
            "-p", (dir_ / "danted.pid").string()};
  });
}

PerlSocksServer::PerlSocksServer() : DaemonFixture("perl-socks", Family::kIPv4) {
  std::string perl = RequireProgram("perl");
  if (perl.empty()) return;
  std::string script = std::string(ZUD_SOURCE_DIR) + "/tests/support/socks_server.pl";
  Launch([&](int port) -> std::vector<std::string> {
    return {perl, script, host(), std::to_string(port)};
  });
  // The script says so when the module is missing.
  if (!ok() && Log().find("IO::Socket::Socks is not installed") != std::string::npos) {
    Fail("libio-socket-socks-perl is not installed (scripts/setup installs it)", true);
  }
}

MicrosocksServer::MicrosocksServer(const ProxyCredentials& credentials)
    : DaemonFixture("microsocks", Family::kIPv4), credentials_(credentials) {
  std::string program = RequireProgram("microsocks");
  if (program.empty()) return;
  Launch([&](int port) -> std::vector<std::string> {
    std::vector<std::string> argv = {program, "-i", host(), "-p", std::to_string(port)};
    if (!credentials_.user.empty()) {
      argv.insert(argv.end(), {"-u", credentials_.user, "-P", credentials_.password});
    }
    return argv;
  });
}

TinyproxyServer::TinyproxyServer(const ProxyCredentials& credentials)
    : DaemonFixture("tinyproxy", Family::kIPv4), credentials_(credentials) {
  std::string program = RequireProgram("tinyproxy");
  if (program.empty()) return;
  Launch([&](int port) -> std::vector<std::string> {
    // No ConnectPort line: CONNECT may reach any port (the packaged config
    // allows only 443 and 563). Logs go to standard output with -d.
    std::string config = "Port " + std::to_string(port) + "\n" +
                         "Listen 127.0.0.1\n"
                         "Allow 127.0.0.0/8\n"
                         "Timeout 60\n"
                         "MaxClients 32\n"
                         "LogLevel Info\n"
                         "DisableViaHeader Yes\n";
    if (!credentials_.user.empty()) {
      config += "BasicAuth " + credentials_.user + " " + credentials_.password + "\n";
    }
    if (!dir_.Write("tinyproxy.conf", config)) {
      Fail("cannot write tinyproxy.conf");
      return {};
    }
    return {program, "-d", "-c", (dir_ / "tinyproxy.conf").string()};
  });
}

}  // namespace zud::test
