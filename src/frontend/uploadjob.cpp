#include "frontend/uploadjob.h"

#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "frontend/console.h"
#include "frontend/program.h"
#include "frontend/progressmeter.h"
#include "util/compat.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {
namespace {

constexpr int32_t kUploadTimeoutMs = 120000;

// Shows the progress meter on standard error for as long as it lives, fed by
// the data socket's status reports. Only the status hook is used: a monitor
// hook would make the socket hand every buffer over, and the client may
// send a file without ever holding it in a buffer.
class TTransferDisplay {
 public:
  TTransferDisplay(TFTPSend& client, const std::string& local_path) : client_(client) {
    if (!StatusLineAvailable()) return;
    std::error_code error;
    const auto size = std::filesystem::file_size(local_path, error);
    meter_ = std::make_unique<TProgressMeter>(
        error ? 0 : static_cast<int64_t>(size),
        [](const std::string& line) {
          if (line.empty()) {
            ClearStatusLine();
          } else {
            ShowStatusLine(line);
          }
        },
        MonotonicMilliseconds);
    TProgressMeter& meter = *meter_;
    client_.DSock().OnStatus = [&meter](TBlockSocket&, THookSocketReason reason,
                                        const std::string& value) {
      switch (reason) {
        case SR_Connected:  // passive mode
        case SR_Accepted:   // active mode
          meter.Start();
          break;
        case SR_BytesWritten:
          meter.Advance(TextToInt64Def(value, 0));
          break;
        default:
          break;
      }
    };
  }
  ~TTransferDisplay() {
    if (!meter_) return;
    client_.DSock().OnStatus = nullptr;
    meter_->Finish();
  }
  TTransferDisplay(const TTransferDisplay&) = delete;
  TTransferDisplay& operator=(const TTransferDisplay&) = delete;

 private:
  TFTPSend& client_;
  std::unique_ptr<TProgressMeter> meter_;
};

// The exception's message, then every line of the last reply; one output line.
void ReportStoreException(const TFTPSend& client, const std::string& message) {
  std::string text = message + "\r\n";
  for (const std::string& line : client.FullResult()) text += line + "\r\n";
  WriteOutputLine(text);
}

}  // namespace

TMyFtp::TMyFtp() {
  OnStatus = [](TFTPSend& sender, bool response, const std::string& value) {
    EchoStatus(sender, response, value);
  };
}

void TMyFtp::EchoStatus(TFTPSend&, bool, const std::string& value) {
  if (value.starts_with("PASS ")) {
    WriteOutputLine("PASS **********");
  } else {
    WriteOutputLine(value);
  }
}

std::string WithDirectoryEnd(std::string dir) {
  if (dir.empty() || (dir.back() != '/' && dir.back() != '\\')) dir += '/';
  return dir;
}

std::string LocalFileNamePart(std::string_view path) {
  // Backslash and colon are the Windows delimiters of the paths the tool was
  // first written for; "/" is this platform's own separator.
  const size_t cut = path.find_last_of("\\:/");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string RemoteFileName(const std::string& remote_dir, std::string_view local_path) {
  return WithDirectoryEnd(remote_dir) + LocalFileNamePart(local_path);
}

bool RunUpload() {
  TUploadSettings& settings = UploadSettings;
  if (!FileExists(settings.LocalPath)) {
    WriteOutputLine("File not found( " + settings.LocalPath + " )");
    return false;
  }

  auto ftp = std::make_unique<TMyFtp>();
  ftp->Timeout = kUploadTimeoutMs;
  if (!settings.User.empty()) {
    ftp->UserName = settings.User;
    ftp->Password = settings.Pass;
  }
  ftp->TargetHost = settings.Server;
  ftp->TargetPort = std::to_string(settings.Port);
  ftp->PassiveMode = settings.Passive;
  ftp->BinaryMode = LowerCase8(settings.Mode) == "binary";

  // A failed login ends without QUIT: the client's destruction closes the
  // connection, and the echo has shown what happened.
  if (!ftp->SignIn()) return false;

  ftp->DirectFileName = settings.LocalPath;
  ftp->DirectFile = true;
  settings.RemoteDir = WithDirectoryEnd(settings.RemoteDir);
  const std::string remote_name = settings.RemoteDir + LocalFileNamePart(settings.LocalPath);

  bool stored = false;
  try {
    TTransferDisplay display(*ftp, settings.LocalPath);
    stored = ftp->UploadFile(remote_name, false);
  } catch (const std::exception& e) {
    ReportStoreException(*ftp, e.what());
    return false;
  } catch (...) {
    ReportStoreException(*ftp, "Unknown exception");
    return false;
  }

  ftp->SignOff();
  return stored;
}

}  // namespace zud
