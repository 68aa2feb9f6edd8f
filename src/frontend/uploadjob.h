// The upload job: check the local file, log in, store the file under its own
// name in the remote directory and log out, echoing every command and reply
// line on standard output with the password masked.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "deploy/paths.h"
#include "deploy/session.h"
#include "frontend/failure.h"
#include "frontend/settings.h"
#include "ftp/ftpclient.h"
#include "util/api.h"

namespace ZUD_API zud {

// The tool's FTP client: a TFTPSend whose status reports are the echo.
class TMyFtp : public TFTPSend {
 public:
  // Sets OnStatus to EchoStatus.
  TMyFtp();

  // Writes value as one output line, commands and replies alike; a value
  // beginning with "PASS " is written as "PASS **********".
  static void EchoStatus(TFTPSend& sender, bool response, const std::string& value);
};

// A classic line on standard output; with /quiet, where the dialogue is not
// shown either, on standard error.
void ClassicLine(const std::string& text, bool quiet);

// RunUploadJob(UploadSettings), the classic job: uploads LocalPath to Server. Prints
// "File not found( <path> )" when the path is not a file (nothing is sent);
// otherwise the echoed dialogue, and an exception raised while storing as
// its message followed by the last reply. Makes UploadSettings.RemoteDir end
// in "/" (or a backslash). Sends QUIT only after a store attempt that raised
// nothing. True when the file was stored.
bool RunUpload();

// The upload job for every file in settings.Files (LocalPath when the
// list is empty), in one session: missing files are reported and skipped,
// each store failure is explained, and no file follows a failed login or a
// lost connection. With Resume, a file whose remote copy is shorter is
// continued (REST and STOR, or APPE where REST is refused), one whose remote
// copy has the same size is skipped, and a longer remote copy is replaced.
// Returns the status of the first failure (kStored when every file was
// stored); an interrupt stops the transfer (ABOR, QUIT) and gives
// kInterrupted.
TExitStatus RunUploadJob(const TUploadSettings& settings);

// Whether the first block of the file holds a NUL byte (a binary file);
// false for anything but a regular file, which is never read ahead.
bool LooksBinary(const std::string& path);

}  // namespace zud
