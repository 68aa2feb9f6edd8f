// Lists a folder twice: with LIST, whose text the library's parser reads
// (Unix, DOS, VMS and other formats), and with MLSD, the machine listing,
// when the server has it.
//
//   list_directory HOST PORT USER PASSWORD [FOLDER]
//
// LIST times are the server's local time, often without seconds or year;
// MLSD times are UTC. Each entry says which it has.
#include <chrono>
#include <cstdio>
#include <string>

#include "ftp/ftpclient.h"
#include "ftp/ftplist.h"

namespace {

// LastFailure says what ended the last call, whichever part recorded it:
// the server's reply, the control or data connection, the proxy or TLS.
int Fail(const zud::TFTPSend& ftp, const char* step) {
  std::fprintf(stderr, "list_directory: %s failed: %s\n", step, ftp.LastFailure().text.c_str());
  return 1;
}

// The time as an instant: MLSD gives UTC, LIST the server's local time,
// here taken to be UTC too (pass the server's offset when it is known).
std::string TimeText(const zud::TFTPListRec& entry) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(entry.ModifiedTimePoint());
  const std::chrono::year_month_day day{std::chrono::floor<std::chrono::days>(seconds)};
  const std::chrono::hh_mm_ss time{seconds - std::chrono::floor<std::chrono::days>(seconds)};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02ld:%02ld %s", static_cast<int>(day.year()),
                static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()),
                static_cast<long>(time.hours().count()), static_cast<long>(time.minutes().count()),
                entry.ModifiedIsUtc ? "UTC  " : "local");
  return text;
}

void Print(const char* how, const zud::TFTPList& list) {
  for (int i = 0; i < list.EntryCount(); ++i) {
    const zud::TFTPListRec& entry = *list.GetEntry(i);
    std::printf("%s %s %12lld %s %s\n", how, entry.IsDirectory ? "dir " : "file",
                static_cast<long long>(entry.SizeBytes), TimeText(entry).c_str(),
                entry.EntryName.str().c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: list_directory HOST PORT USER PASSWORD [FOLDER]\n");
    return 2;
  }
  const std::string folder = argc == 6 ? argv[5] : "";
  zud::TFTPSend ftp;
  ftp.TargetHost = argv[1];
  ftp.TargetPort = argv[2];
  ftp.UserName = argv[3];
  ftp.Password = argv[4];
  ftp.Timeout = 15000;

  if (!ftp.SignIn()) return Fail(ftp, "login");
  if (!ftp.ListDirectory(folder, false)) return Fail(ftp, "LIST");
  Print("LIST", ftp.FtpList());
  if (ftp.HasMachineListing()) {
    if (!ftp.ListMachineDirectory(folder)) return Fail(ftp, "MLSD");
    Print("MLSD", ftp.FtpList());
  }
  ftp.SignOff();
  return 0;
}
