// Feeds arbitrary text to the PASV and EPSV reply parsers of TFTPSend and
// checks what a data connection would be aimed at.
//
// Input layout: the first byte chooses the parser (even: PASV, odd: EPSV);
// the rest is the reply line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ftp/ftpclient.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

bool AllDigits(const std::string& s) {
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string reply(reinterpret_cast<const char*>(data) + 1, size - 1);
  zud::TFTPSend ftp;
  ftp.TargetHost = "ftp.example";
  if (data[0] % 2 == 0) {
    ftp.ParsePassiveReply(reply);
    // Four fields joined by dots, whatever they hold.
    size_t dots = 0;
    for (const char c : ftp.DataIP()) dots += c == '.';
    Check(dots >= 3, "a passive address has four fields");
    const std::string& port = ftp.DataPort();
    Check(!port.empty() && (AllDigits(port) || (port[0] == '-' && AllDigits(port.substr(1)))),
          "a passive port is a decimal number");
  } else {
    ftp.ParseExtendedPassiveReply(reply);
    Check(ftp.DataIP() == ftp.TargetHost, "an extended reply names no address");
    Check(AllDigits(ftp.DataPort()), "an extended port is digits only");
    Check(ftp.DataPort().size() <= reply.size(), "the port comes from the reply");
  }
  return 0;
}
