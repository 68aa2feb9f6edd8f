// TFTPSend: the file and directory operations a user calls after SignIn.
// Each is a short sequence of commands and, for transfers, one data
// connection (ftpclient_data.cpp). With DirectFile, transfers go to or from
// the local file DirectFileName, which the operation opens and closes itself
// (a TFileStream owned by the operation, so it is closed on every way out).
//
// Names and directories go into the commands as given, unquoted; SendCommand
// refuses a command with a line break in it. Sizes and offsets are 64-bit.
#include <memory>
#include <string>
#include <string_view>

#include "ftp/ftpclient.h"
#include "ftp/ftpclient_text.h"
#include "util/textutil.h"

namespace zud {

namespace {

using ftp_internal::ReplyClass;
using ftp_internal::TrimControlChars;

// At least one byte, each a decimal digit.
bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Sends "REST offset"; true when the transfer may go on. A refused "REST 0"
// asks for nothing the transfer needs: some servers refuse every REST in
// ASCII type, where a transfer from the start is still fine.
bool RequestRestart(TFTPSend& ftp, int64_t offset) {
  const bool accepted = ReplyClass(ftp.SendCommand("REST " + std::to_string(offset))) == 3;
  return accepted || offset == 0;
}

}  // namespace

// ---- Listing and transfers -------------------------------------------------------

bool TFTPSend::ListDirectory(const std::string& directory, bool names_only) {
  DataStream().Clear();
  FtpList().ClearListing();
  const std::string argument = directory.empty() ? std::string() : " " + directory;
  // Listings are text; the next transfer announces its own type again.
  SendCommand("TYPE A");
  if (!PrepareDataConnection()) return false;
  if (ReplyClass(SendCommand((names_only ? "NLST" : "LIST") + argument)) != 1) return false;
  const bool result = DownloadOverData(DataStream());
  if (result && !names_only) {
    DataStream().SetPosition(0);
    FtpList().LoadLinesFromText(DataStream().Data());
    FtpList().ParseLines();
  }
  DataStream().SetPosition(0);
  return result;
}

bool TFTPSend::DownloadFile(const std::string& remote_name, bool restart) {
  if (remote_name.empty()) return false;
  if (!PrepareDataConnection()) return false;
  const bool resume = restart && CanResume();
  std::unique_ptr<TFileStream> file;
  TStream* target = &DataStream();
  if (DirectFile) {
    const bool keep = resume && FileExists(DirectFileName);
    file = std::make_unique<TFileStream>(
        DirectFileName, keep ? TFileStream::Mode::kReadWrite : TFileStream::Mode::kCreate);
    target = file.get();
  }
  SendCommand(BinaryMode ? "TYPE I" : "TYPE A");
  if (resume) {
    // What is already here is kept; the server sends the rest. Unlike a
    // store, a refused "REST 0" fails here too: the restart was asked for.
    const int64_t have = target->Size();
    target->SetPosition(have);
    if (ReplyClass(SendCommand("REST " + std::to_string(have))) != 3) return false;
  } else if (!DirectFile) {
    DataStream().Clear();
  }
  if (ReplyClass(SendCommand("RETR " + remote_name)) != 1) return false;
  const bool result = DownloadOverData(*target);
  if (!DirectFile) DataStream().SetPosition(0);
  return result;
}

bool TFTPSend::UploadFromSource(const std::string& command, int64_t restart_offset) {
  std::unique_ptr<TFileStream> file;
  TStream* source = &DataStream();
  if (DirectFile) {
    if (!FileExists(DirectFileName)) return false;
    file = std::make_unique<TFileStream>(DirectFileName, TFileStream::Mode::kRead);
    source = file.get();
  }
  if (!PrepareDataConnection()) return false;
  SendCommand(BinaryMode ? "TYPE I" : "TYPE A");
  // A pipe, a FIFO or a pseudo file says nothing true about its size: it is
  // sent until it ends, from its start, and announced without a size.
  const bool size_known = source->SizeKnown();
  const int64_t size = source->Size();
  int64_t offset = CanResume() ? restart_offset : 0;
  if (!size_known || !source->Seekable()) offset = 0;
  // The remote copy is already whole: nothing to store.
  if (size_known && size > 0 && size == offset) return true;
  if (size < offset || offset < 0) offset = 0;
  if (size_known) SendCommand("ALLO " + std::to_string(size - offset));
  // A server that passed the restart probe gets "REST" before every store,
  // "REST 0" included, so that no marker of an earlier command survives.
  if (CanResume() && !RequestRestart(*this, offset)) return false;
  source->SetPosition(offset);
  if (ReplyClass(SendCommand(command)) != 1) return false;
  return UploadOverData(*source);
}

bool TFTPSend::UploadFile(const std::string& remote_name, bool restart) {
  if (remote_name.empty()) return false;
  int64_t offset = 0;
  if (restart && CanResume()) {
    offset = RemoteFileSize(remote_name);
    if (offset < 0) offset = 0;
  }
  return UploadFromSource("STOR " + remote_name, offset);
}

bool TFTPSend::UploadUniqueFile() { return UploadFromSource("STOU", 0); }

bool TFTPSend::AppendToFile(const std::string& remote_name) {
  if (remote_name.empty()) return false;
  return UploadFromSource("APPE " + remote_name, 0);
}

// ---- Files and directories ------------------------------------------------------

bool TFTPSend::RenameRemoteFile(const std::string& old_name, const std::string& new_name) {
  if (ReplyClass(SendCommand("RNFR " + old_name)) != 3) return false;
  return ReplyClass(SendCommand("RNTO " + new_name)) == 2;
}

bool TFTPSend::DeleteRemoteFile(const std::string& name) {
  return ReplyClass(SendCommand("DELE " + name)) == 2;
}

int64_t TFTPSend::RemoteFileSize(const std::string& name) {
  if (ReplyClass(SendCommand("SIZE " + name)) != 2) return -1;
  std::string s = TrimControlChars(TextAfterDelimiter(ResultString(), " "));
  s = TrimControlChars(TextBeforeDelimiter(s, " "));
  // What the server said, a negative number included; UploadFile treats any
  // negative size as "start from 0".
  return TextToInt64Def(s, -1);
}

int64_t TFTPSend::RemoteModifyTime(const std::string& name) {
  if (SendCommand("MDTM " + name) != 213) return -1;
  const std::string value = TrimControlChars(TextAfterDelimiter(ResultString(), " "));
  // Exactly 14 digits: a server with the old year-2000 bug sends "19100..."
  // for 2000, and a guess at what it meant would be a wrong time.
  const std::string_view text(value);
  const std::string_view fraction = text.size() > 14 ? text.substr(14) : std::string_view();
  if (text.size() < 14 || !AllDigits(text.substr(0, 14))) return -1;
  if (!fraction.empty() && (fraction[0] != '.' || !AllDigits(fraction.substr(1)))) return -1;
  const auto number = [&](size_t at, size_t size) {
    return TextToIntDef(text.substr(at, size), -1);
  };
  const TUtcTime time{number(0, 4), number(4, 2),  number(6, 2),
                      number(8, 2), number(10, 2), number(12, 2)};
  int64_t seconds = -1;
  if (!TryEncodeUnixTime(time, seconds)) return -1;
  return seconds;
}

bool TFTPSend::SetRemoteModifyTime(const std::string& name, int64_t unix_seconds) {
  TUtcTime time;
  if (!TryDecodeUnixTime(unix_seconds, time)) return false;
  std::string stamp;
  const auto put = [&stamp](int value, size_t width) {
    const std::string digits = std::to_string(value);
    stamp.append(width - digits.size(), '0').append(digits);
  };
  put(time.year, 4);
  for (const int part : {time.month, time.day, time.hour, time.minute, time.second}) put(part, 2);
  return ReplyClass(SendCommand("MFMT " + stamp + " " + name)) == 2;
}

bool TFTPSend::SendNoOp() { return ReplyClass(SendCommand("NOOP")) == 2; }

bool TFTPSend::ChangeDirectory(const std::string& directory) {
  return ReplyClass(SendCommand("CWD " + directory)) == 2;
}

bool TFTPSend::ChangeToParent() { return ReplyClass(SendCommand("CDUP")) == 2; }

bool TFTPSend::ChangeToRoot() { return ChangeDirectory("/"); }

bool TFTPSend::RemoveDirectory(const std::string& directory) {
  return ReplyClass(SendCommand("RMD " + directory)) == 2;
}

bool TFTPSend::MakeDirectory(const std::string& directory) {
  return ReplyClass(SendCommand("MKD " + directory)) == 2;
}

std::string TFTPSend::CurrentDirectory() {
  if (ReplyClass(SendCommand("PWD")) != 2) return std::string();
  const std::string quoted = TextAfterDelimiter(ResultString(), "\"");
  return TrimControlChars(TextBeforeDelimiter(quoted, "\""));
}

// ---- Abort ----------------------------------------------------------------------

void TFTPSend::AbortTransfer() {
  // Straight onto the control connection: the reply is left for the next
  // SendCommand to discard, and the transfer on DSock stops at its next step.
  Sock().SendText("ABOR\r\n");
  DSock().StopFlag = true;
}

void TFTPSend::TelnetAbortTransfer() {
  // Telnet IAC IP, IAC DM: the interrupt sequence of RFC 959.
  static constexpr char kInterrupt[] = {'\xFF', '\xF4', '\xFF', '\xF2'};
  Sock().SendText(std::string_view(kInterrupt, sizeof(kInterrupt)));
  AbortTransfer();
}

}  // namespace zud
