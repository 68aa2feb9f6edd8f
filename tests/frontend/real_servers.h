// The real servers the acceptance tests deploy to: vsftpd, pyftpdlib,
// ProFTPD (with MLSD, and LIST only), Pure-FTPd and inetutils ftpd, each
// plain and, where the server has it, with explicit FTPS. A server without
// options of its own is started once per test program and shared.
#pragma once

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/ftp_daemons.h"

namespace zud::testing_support {

struct RealServer {
  const char* name;  // "ProftpdTls": a test name's suffix
  test::FtpDaemonFactory make;
  bool tls = false;
};

inline void PrintTo(const RealServer& server, std::ostream* os) { *os << server.name; }

inline std::vector<RealServer> RealServers() {
  return {{"Vsftpd", test::MakeVsftpd},
          {"VsftpdTls", test::MakeVsftpd, true},
          {"Pyftpdlib", test::MakePyftpdlib},
          {"PyftpdlibTls", test::MakePyftpdlib, true},
          {"Proftpd", test::MakeProftpd},
          {"ProftpdTls", test::MakeProftpd, true},
          {"ProftpdListOnly", test::MakeProftpdListOnly},
          {"PureFtpd", test::MakePureFtpd},
          {"PureFtpdTls", test::MakePureFtpd, true},
          {"InetutilsFtpd", test::MakeInetutilsFtpd}};
}

// The row of that name ("ProftpdTls").
inline RealServer RealServerNamed(const std::string& name) {
  for (const RealServer& server : RealServers()) {
    if (name == server.name) return server;
  }
  return {"Unknown", nullptr};
}

// The server's options with its TLS (a certificate the test CA signed).
inline test::FtpServerOptions WithTls(const RealServer& server, test::FtpServerOptions options = {}) {
  if (server.tls) {
    options.tls = test::FtpTls::kExplicit;
    options.certificate = test::SharedTestCertificates().Get(test::TestCertificates::kGood);
  }
  return options;
}

inline std::unique_ptr<test::FtpDaemonFixture> StartServer(const RealServer& server,
                                                           test::FtpServerOptions options = {}) {
  return server.make(WithTls(server, options));
}

// The server of that row with no options of its own, started on first use.
inline test::FtpDaemonFixture& SharedServer(const RealServer& server) {
  static std::map<std::string, std::unique_ptr<test::FtpDaemonFixture>> started;
  auto& slot = started[server.name];
  if (!slot) slot = StartServer(server);
  return *slot;
}

// The switches that reach server: host, port, login, passive mode, and with
// tls FTPS that trusts the test CA.
inline std::vector<std::string> LoginSwitches(const test::FtpDaemonFixture& server, bool tls) {
  std::vector<std::string> args = {std::string("/host:") + server.host(),
                                   "/port:" + std::to_string(server.port()),
                                   "/user:" + server.user(), "/pass:" + server.password(), "/pasv"};
  if (tls) args.insert(args.end(), {"/tls", "/cacert:" + test::SharedTestCertificates().ca_file()});
  return args;
}

}  // namespace zud::testing_support
