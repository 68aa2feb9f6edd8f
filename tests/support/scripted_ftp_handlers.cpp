// The default verb handlers of ScriptedFtpServer: plain, well-behaved answers
// in the style of vsftpd, so that a test overrides only the verbs it is about.
#include <cstdio>
#include <map>

#include "support/scripted_ftp_server.h"

namespace zud::test {
namespace {

FtpHandler Fixed(std::string reply) {
  return [reply = std::move(reply)](FtpSession& session, const std::string&) {
    session.Reply(reply);
  };
}

// "h1,h2,h3,h4,p1,p2" with every number 0..255 and nothing else.
bool ParsePortArgument(const std::string& argument, Endpoint* target) {
  int v[6];
  char tail;
  if (std::sscanf(argument.c_str(), "%d,%d,%d,%d,%d,%d%c", &v[0], &v[1], &v[2], &v[3], &v[4],
                  &v[5], &tail) != 6) {
    return false;
  }
  for (int n : v) {
    if (n < 0 || n > 255) return false;
  }
  target->host = std::to_string(v[0]) + "." + std::to_string(v[1]) + "." +
                 std::to_string(v[2]) + "." + std::to_string(v[3]);
  target->port = v[4] * 256 + v[5];
  return true;
}

// "<d>proto<d>address<d>port<d>", the delimiter being the first character.
bool ParseEprtArgument(const std::string& argument, Endpoint* target) {
  if (argument.size() < 2) return false;
  char d = argument[0];
  size_t a = argument.find(d, 1);
  size_t b = a == std::string::npos ? a : argument.find(d, a + 1);
  size_t c = b == std::string::npos ? b : argument.find(d, b + 1);
  if (c == std::string::npos || c + 1 != argument.size()) return false;
  std::string protocol = argument.substr(1, a - 1);
  std::string address = argument.substr(a + 1, b - a - 1);
  std::string port = argument.substr(b + 1, c - b - 1);
  if ((protocol != "1" && protocol != "2") || port.empty() ||
      port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5) {
    return false;
  }
  sockaddr_storage storage;
  socklen_t length;
  int number = std::stoi(port);
  if (number < 1 || number > 65535 || !MakeSockAddr(address, number, &storage, &length)) {
    return false;
  }
  *target = Endpoint{address, number};
  return true;
}

// A path argument made absolute against the session's directory.
std::string Resolve(const FtpSession& session, const std::string& argument) {
  if (!argument.empty() && argument[0] == '/') return argument;
  if (session.cwd.empty() || session.cwd.back() == '/') return session.cwd + argument;
  return session.cwd + "/" + argument;
}

std::string Parent(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

void Pasv(FtpSession& session, const std::string&) {
  if (session.family() == Family::kIPv6) {
    session.Reply("500 PASV is IPv4 only; use EPSV.");
    return;
  }
  int port = session.ListenPassive();
  if (port == 0) {
    session.Reply("425 Cannot open passive connection.");
    return;
  }
  std::string address = session.server().passive_address();
  if (address.empty()) address = "127.0.0.1";
  session.Reply("227 Entering Passive Mode (" + PasvNumbers(address, port) + ").");
}

void Epsv(FtpSession& session, const std::string&) {
  int port = session.ListenPassive();
  if (port == 0) {
    session.Reply("425 Cannot open passive connection.");
    return;
  }
  session.Reply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
}

void Port(FtpSession& session, const std::string& argument) {
  Endpoint target;
  if (!ParsePortArgument(argument, &target)) {
    session.Reply("501 Illegal PORT command.");
    return;
  }
  session.SetActiveTarget(target);
  session.Reply("200 PORT command successful. Consider using PASV.");
}

void Eprt(FtpSession& session, const std::string& argument) {
  Endpoint target;
  if (!ParseEprtArgument(argument, &target)) {
    session.Reply("501 Illegal EPRT command.");
    return;
  }
  session.SetActiveTarget(target);
  session.Reply("200 EPRT command successful. Consider using EPSV.");
}

void Retr(FtpSession& session, const std::string& argument) {
  std::optional<std::string> content = session.server().File(argument);
  if (!content) {
    session.Reply("550 Failed to open file.");
    return;
  }
  size_t offset = static_cast<size_t>(session.restart_offset);
  session.restart_offset = 0;
  session.RunDownload(offset < content->size() ? std::string_view(*content).substr(offset) : "");
}

void Stou(FtpSession& session, const std::string&) {
  std::string name;
  for (int n = 1;; ++n) {
    name = "stou." + std::to_string(n);
    if (!session.server().File(name)) break;
  }
  session.RunUpload(name, false, "150 FILE: " + name);
}

const std::map<std::string, FtpHandler>& Table() {
  static const std::map<std::string, FtpHandler> table{
      {"USER", Fixed("331 Please specify the password.")},
      {"PASS", Fixed("230 Login successful.")},
      {"ACCT", Fixed("202 ACCT command ignored.")},
      {"TYPE", [](FtpSession& s, const std::string& a) { s.Reply("200 Type set to " + a + "."); }},
      {"STRU", Fixed("200 Structure set to F.")},
      {"MODE", Fixed("200 Mode set to S.")},
      {"ALLO", Fixed("202 ALLO command ignored.")},
      {"REST",
       [](FtpSession& s, const std::string& a) {
         if (a.empty() || a.size() > 18 || a.find_first_not_of("0123456789") != std::string::npos) {
           s.Reply("501 REST needs a number.");
           return;
         }
         s.restart_offset = std::stoll(a);
         s.Reply("350 Restart position accepted (" + a + ").");
       }},
      {"NOOP", Fixed("200 NOOP ok.")},
      {"SYST", Fixed("215 UNIX Type: L8")},
      {"FEAT", Fixed("211-Features:\r\n EPRT\r\n EPSV\r\n PASV\r\n REST STREAM\r\n SIZE\r\n211 End")},
      {"HELP", Fixed("214 Help OK.")},
      {"PWD", [](FtpSession& s, const std::string&) {
         s.Reply("257 \"" + s.cwd + "\" is the current directory");
       }},
      {"CWD", [](FtpSession& s, const std::string& a) {
         s.cwd = Resolve(s, a);
         s.Reply("250 Directory successfully changed.");
       }},
      {"CDUP", [](FtpSession& s, const std::string&) {
         s.cwd = Parent(s.cwd);
         s.Reply("250 Directory successfully changed.");
       }},
      {"MKD", [](FtpSession& s, const std::string& a) {
         s.Reply("257 \"" + Resolve(s, a) + "\" created");
       }},
      {"RMD", Fixed("250 Remove directory operation successful.")},
      {"DELE", [](FtpSession& s, const std::string& a) {
         s.Reply(s.server().RemoveFile(a) ? "250 Delete operation successful."
                                          : "550 Delete operation failed.");
       }},
      {"RNFR", [](FtpSession& s, const std::string& a) {
         s.rename_from = a;
         s.Reply("350 Ready for RNTO.");
       }},
      {"RNTO", [](FtpSession& s, const std::string& a) {
         if (s.rename_from.empty()) {
           s.Reply("503 RNFR required first.");
           return;
         }
         s.server().RenameFile(s.rename_from, a);
         s.rename_from.clear();
         s.Reply("250 Rename successful.");
       }},
      {"SIZE", [](FtpSession& s, const std::string& a) {
         std::optional<std::string> content = s.server().File(a);
         s.Reply(content ? "213 " + std::to_string(content->size())
                         : std::string("550 Could not get file size."));
       }},
      {"ABOR", [](FtpSession& s, const std::string&) {
         s.CloseData();
         s.Reply("225 No transfer to ABOR.");
       }},
      {"QUIT", [](FtpSession& s, const std::string&) {
         s.Reply("221 Goodbye.");
         s.CloseControl();
       }},
      {"PASV", Pasv},
      {"EPSV", Epsv},
      {"PORT", Port},
      {"EPRT", Eprt},
      {"STOR", [](FtpSession& s, const std::string& a) { s.RunUpload(a, false); }},
      {"APPE", [](FtpSession& s, const std::string& a) { s.RunUpload(a, true); }},
      {"STOU", Stou},
      {"RETR", Retr},
      {"LIST", [](FtpSession& s, const std::string&) { s.RunDownload(s.server().listing(false)); }},
      {"NLST", [](FtpSession& s, const std::string&) { s.RunDownload(s.server().listing(true)); }},
  };
  return table;
}

}  // namespace

std::string PasvNumbers(const std::string& ipv4, int port) {
  std::string numbers = ipv4;
  for (char& c : numbers) {
    if (c == '.') c = ',';
  }
  return numbers + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

const FtpHandler* DefaultFtpHandler(const std::string& verb) {
  static const std::map<std::string, std::string> kAliases = {
      {"XPWD", "PWD"}, {"XCWD", "CWD"}, {"XCUP", "CDUP"}, {"XMKD", "MKD"}, {"XRMD", "RMD"}};
  auto alias = kAliases.find(verb);
  const std::string& name = alias == kAliases.end() ? verb : alias->second;
  auto it = Table().find(name);
  return it == Table().end() ? nullptr : &it->second;
}

}  // namespace zud::test
