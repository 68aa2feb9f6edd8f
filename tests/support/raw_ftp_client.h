// A minimal FTP client over raw POSIX sockets, independent of the library:
// for fixture self-tests and for tests that prepare or inspect a server by
// hand. Blocking, with a timeout on every wait; it trusts nothing it reads.
//
//   RawFtpClient ftp;
//   ASSERT_TRUE(ftp.Connect(server.host(), server.port())) << ftp.error();
//   ASSERT_EQ(ftp.reply_code(), 220);                       // the greeting
//   ASSERT_TRUE(ftp.Login(server.user(), server.password())) << ftp.reply();
//   EXPECT_EQ(ftp.Command("PWD"), 257);
//   std::string data = "hello";
//   EXPECT_EQ(ftp.Transfer("STOR hello.txt", DataMode::kPassive, &data, nullptr), 226);
//   std::string listing;
//   EXPECT_EQ(ftp.Transfer("NLST", DataMode::kActive, nullptr, &listing), 226);
#pragma once

#include <string>
#include <string_view>

#include "support/net.h"

namespace zud::test {

enum class DataMode { kPassive, kActive };

// The port of a "227 ... (h1,h2,h3,h4,p1,p2)" or "229 ... (|||port|)" reply;
// 0 for any other reply or a malformed one.
int PassiveReplyPort(const std::string& reply);

class RawFtpClient {
 public:
  explicit RawFtpClient(int timeout_ms = kDefaultWaitMs) : timeout_ms_(timeout_ms) {}

  // Connects and reads the greeting (available as reply()).
  bool Connect(const std::string& host, int port);
  // Sends line + CR LF and reads the reply; its code, or 0 on failure.
  int Command(std::string_view line);
  // Reads one reply (all lines of a multi-line reply); its code or 0.
  int ReadReply();
  // USER, then PASS on 331; true on 230.
  bool Login(const std::string& user, const std::string& password);
  // Runs a data command (STOR x, APPE x, RETR x, LIST, NLST ...): opens the
  // data connection (passive: PASV on IPv4, EPSV on IPv6; active: PORT or
  // EPRT to a listener of ours), sends *upload (when given) and closes, or
  // collects everything into *download, then reads the final reply. Returns
  // the final reply code, or the failing reply's code (0 if none).
  int Transfer(std::string_view command, DataMode mode, const std::string* upload,
               std::string* download);
  void Close() { control_.reset(); }

  int reply_code() const { return reply_code_; }
  // The last reply, lines joined with "\n", without CR LF.
  const std::string& reply() const { return reply_; }
  const std::string& error() const { return error_; }
  int fd() const { return control_.get(); }

 private:
  UniqueFd control_;
  Family family_ = Family::kIPv4;
  std::string host_;
  int timeout_ms_;
  int reply_code_ = 0;
  std::string reply_;
  std::string error_;
};

}  // namespace zud::test
