// Uploads one file over explicit FTPS ("AUTH TLS"), with the server's
// certificate checked against a private certificate authority.
//
//   ftps_upload HOST PORT USER PASSWORD CA_FILE LOCAL_FILE REMOTE_NAME
//
// The server's certificate must be signed by CA_FILE and name HOST. Nothing
// goes in clear: with RequireTLS a server that refuses TLS fails the login
// before the password is sent, and TLSonData (on by default) protects the
// file's data connection too.
#include <cstdio>
#include <string>

#include "ftp/ftpclient.h"

namespace {

// LastFailure says what ended the last call, whichever part recorded it:
// the server's reply, the control or data connection, the proxy or TLS.
int Fail(const zud::TFTPSend& ftp, const char* step) {
  std::fprintf(stderr, "ftps_upload: %s failed: %s\n", step, ftp.LastFailure().text.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8) {
    std::fprintf(stderr,
                 "usage: ftps_upload HOST PORT USER PASSWORD CA_FILE LOCAL_FILE REMOTE_NAME\n");
    return 2;
  }
  zud::TFTPSend ftp;
  ftp.TargetHost = argv[1];
  ftp.TargetPort = argv[2];
  ftp.UserName = argv[3];
  ftp.Password = argv[4];
  ftp.Timeout = 15000;  // every wait for the server, the connect included
  ftp.AutoTLS = true;
  ftp.RequireTLS = true;
  // The certificate check is on by default; this names whom to trust.
  ftp.Sock().TLSPlugin().CertCAFile = argv[5];
  // Send straight from the file rather than from DataStream().
  ftp.DirectFile = true;
  ftp.DirectFileName = argv[6];

  if (!ftp.SignIn()) return Fail(ftp, "login");
  if (!ftp.UploadFile(argv[7], false)) return Fail(ftp, "upload");
  std::printf("sent %s as %s over %s\n", argv[6], argv[7],
              ftp.Sock().TLSPlugin().SessionProtocol().c_str());
  ftp.SignOff();
  return 0;
}
