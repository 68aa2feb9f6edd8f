// One FTP transfer with TFTPSend, for bench/ftp_upload_bench.sh to time next
// to curl and ncftpput: signs in, stores or retrieves one file with
// DirectFile in binary type and passive mode, signs off. Prints nothing on
// success; exits 1 (with the last reply) on failure.
//
//   ftp_transfer_bench upload   HOST PORT USER PASS LOCAL-FILE REMOTE-NAME
//   ftp_transfer_bench download HOST PORT USER PASS REMOTE-NAME LOCAL-FILE
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "ftp/ftpclient.h"
#include "sockets/socketlayer.h"

int main(int argc, char** argv) {
  if (argc != 8 || (std::strcmp(argv[1], "upload") != 0 && std::strcmp(argv[1], "download") != 0)) {
    std::fprintf(stderr,
                 "usage: %s upload HOST PORT USER PASS LOCAL-FILE REMOTE-NAME\n"
                 "       %s download HOST PORT USER PASS REMOTE-NAME LOCAL-FILE\n",
                 argv[0], argv[0]);
    return 2;
  }
  const bool upload = std::strcmp(argv[1], "upload") == 0;
  int status = 0;
  try {
    zud::StartSocketLayer();
    zud::TFTPSend ftp;
    ftp.TargetHost = argv[2];
    ftp.TargetPort = argv[3];
    ftp.UserName = argv[4];
    ftp.Password = argv[5];
    ftp.Timeout = 120000;
    ftp.PassiveMode = true;
    ftp.BinaryMode = true;
    ftp.DirectFile = true;
    ftp.DirectFileName = upload ? argv[6] : argv[7];
    // Any monitor hook makes the socket hand every piece over in a buffer:
    // FTP_BENCH_PLAIN_SEND=1 measures that path instead of the zero-copy one.
    const char* plain = std::getenv("FTP_BENCH_PLAIN_SEND");
    if (plain != nullptr && std::strcmp(plain, "1") == 0) {
      ftp.DSock().OnMonitor = [](zud::TBlockSocket&, bool, const void*, int) {};
    }
    // Knobs for measuring the data connection: FTP_BENCH_CHUNK sets the
    // largest piece per send (SendMaxChunk), FTP_BENCH_SNDBUF the socket send
    // buffer (SO_SNDBUF) of every data connection made.
    if (const char* chunk = std::getenv("FTP_BENCH_CHUNK")) {
      ftp.DSock().SendMaxChunk = std::atoi(chunk);
    }
    if (const char* sndbuf = std::getenv("FTP_BENCH_SNDBUF")) {
      const int32_t bytes = std::atoi(sndbuf);
      ftp.DSock().OnCreateSocket = [bytes](zud::TBlockSocket& socket) {
        socket.ApplyOption({zud::OT_SendBufferSize, false, bytes});
      };
    }
    bool done = ftp.SignIn();
    if (done) done = upload ? ftp.UploadFile(argv[7], false) : ftp.DownloadFile(argv[6], false);
    const std::string last = ftp.ResultString();
    ftp.SignOff();
    if (!done) {
      std::fprintf(stderr, "transfer failed: %s\n", last.c_str());
      status = 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 1;
  }
  zud::StopSocketLayer();
  return status;
}
