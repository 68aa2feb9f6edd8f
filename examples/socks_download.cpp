// Downloads one file through a SOCKS 5 proxy, the control connection and
// the data connection alike.
//
//   socks_download PROXY_HOST PROXY_PORT PROXY_USER PROXY_PASSWORD
//                  HOST PORT USER PASSWORD REMOTE_FILE LOCAL_FILE
//
// An empty PROXY_USER ("") logs in to the proxy without a name. The proxy
// resolves HOST itself, so the name never has to resolve where this runs.
#include <cstdio>
#include <string>

#include "ftp/ftpclient.h"

namespace {

// LastFailure says what ended the last call, whichever part recorded it:
// the server's reply, the control or data connection, the proxy or TLS.
int Fail(const zud::TFTPSend& ftp, const char* step) {
  std::fprintf(stderr, "socks_download: %s failed: %s\n", step, ftp.LastFailure().text.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 11) {
    std::fprintf(stderr,
                 "usage: socks_download PROXY_HOST PROXY_PORT PROXY_USER PROXY_PASSWORD "
                 "HOST PORT USER PASSWORD REMOTE_FILE LOCAL_FILE\n");
    return 2;
  }
  zud::TFTPSend ftp;
  // Set on the control socket, the proxy serves the passive data
  // connections too.
  ftp.Sock().SocksType = zud::ST_Socks5;
  ftp.Sock().SocksIP = argv[1];
  ftp.Sock().SocksPort = argv[2];
  ftp.Sock().SocksUsername = argv[3];
  ftp.Sock().SocksPassword = argv[4];
  ftp.TargetHost = argv[5];
  ftp.TargetPort = argv[6];
  ftp.UserName = argv[7];
  ftp.Password = argv[8];
  ftp.Timeout = 15000;
  ftp.PassiveMode = true;  // the proxy connects out; nobody connects back
  ftp.DirectFile = true;
  ftp.DirectFileName = argv[10];

  if (!ftp.SignIn()) return Fail(ftp, "login");
  if (!ftp.DownloadFile(argv[9], false)) return Fail(ftp, "download");
  std::printf("received %s as %s\n", argv[9], argv[10]);
  ftp.SignOff();
  return 0;
}
