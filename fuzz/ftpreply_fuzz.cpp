// Feeds arbitrary bytes to TFTPSend as what a server says on the control
// connection, which is a local socket pair whose other end this target plays.
//
// Input layout: the first byte chooses the run.
//   even  ReadReply over the rest of the input, then the end of the stream.
//   odd   RunLoginSequence with variant (byte / 2) % 11 (0 .. 9, and 10
//         standing for -1; 9 is unknown and falls back to 0). The rest
//         is cut at NUL bytes into replies: one piece is sent after each
//         command the client writes, and the stream ends after the last one.
//         For variant -1 the first 18 bytes of the rest are CustomLoginTable.
// Each piece is in the socket before the client reads, so the client reads
// with Timeout 0: a reply it would have to wait for fails at once.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftpclient.h"
#include "sockets/socketlayer.h"

namespace {

using zud::TFTPSend;

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

// Writes what fits without blocking; a reply larger than the socket buffer
// is cut, which is just another input.
void Offer(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) return;
    data.remove_prefix(static_cast<size_t>(n));
  }
}

// Drops the commands the client wrote, so that its sends never block.
void Drain(int fd) {
  char buffer[4096];
  while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
}

void CheckReply(const TFTPSend& ftp) {
  Check(!ftp.FullResult().empty(), "a reply read keeps at least one line");
  Check(ftp.ResultString() == ftp.FullResult().back(), "ResultString is the last line");
  Check(ftp.ResultCode() >= -99 && ftp.ResultCode() <= 999, "code comes from three characters");
  size_t bytes = 0;
  for (const std::string& line : ftp.FullResult()) bytes += line.size() + 2;
  Check(bytes <= TFTPSend::kMaxReplyBytes + TFTPSend::kMaxReplyLineLength + 2,
        "a reply stays within its bound");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = (zud::StartSocketLayer(), true);
  (void)started;
  if (size == 0) return 0;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  const int server = fds[1];
  const uint8_t selector = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);

  {
    TFTPSend ftp;
    ftp.Timeout = 0;
    ftp.Sock().AdoptHandle(fds[0]);  // the client owns and closes it

    if (selector % 2 == 0) {
      Offer(server, rest);
      shutdown(server, SHUT_WR);
      ftp.ReadReply();
      CheckReply(ftp);
    } else {
      const int variant = (selector / 2) % 11 == 10 ? -1 : (selector / 2) % 11;
      if (variant == -1) {
        for (size_t i = 0; i < ftp.CustomLoginTable.size() && i < rest.size(); ++i) {
          ftp.CustomLoginTable[i] = static_cast<uint8_t>(rest[i]);
        }
        rest.remove_prefix(std::min(rest.size(), ftp.CustomLoginTable.size()));
      }
      std::vector<std::string_view> replies;
      for (size_t start = 0; start <= rest.size();) {
        size_t end = rest.find('\0', start);
        if (end == std::string_view::npos) end = rest.size();
        replies.push_back(rest.substr(start, end - start));
        start = end + 1;
      }
      ftp.FWHost = "fw.example";
      ftp.TargetHost = "ftp.example";
      ftp.TargetPort = selector & 0x80 ? "2121" : "21";
      ftp.FWUsername = "fwuser";
      ftp.FWPassword = "fwpass";
      ftp.Account = "acct";
      size_t next = 0;
      int commands = 0;
      ftp.OnStatus = [&](TFTPSend&, bool response, const std::string& value) {
        if (response) return;
        ++commands;
        Check(value.find_first_of("\r\n") == std::string::npos, "one command per line");
        Drain(server);
        if (next < replies.size()) Offer(server, replies[next++]);
        if (next == replies.size()) shutdown(server, SHUT_WR);
      };
      const bool logged_in = ftp.RunLoginSequence(variant);
      Check(commands <= TFTPSend::kMaxLoginSteps, "a login is bounded");
      if (commands > 0) CheckReply(ftp);
      if (logged_in) Check(ftp.ResultCode() / 100 == 2 || ftp.ResultCode() / 100 == 3,
                           "a login ends on class 2 or 3");
    }
  }
  close(server);
  return 0;
}
