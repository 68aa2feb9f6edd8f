// What the two upload jobs (the classic one and folder mode) share about a
// session: the client set up from the settings, the login over every address
// of the host, the watch that echoes the dialogue and keeps the facts that
// explain a failure, the progress meter, and the orderly end after Ctrl-C.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frontend/failure.h"
#include "frontend/progressmeter.h"
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
  // The line EchoStatus writes for value, after prefix.
  static std::string EchoLine(const std::string& prefix, const std::string& value);
};

// A classic line on standard output; with /quiet, where the dialogue is not
// shown either, on standard error.
void ClassicLine(const std::string& text, bool quiet);

// A progress meter on the status line, on a terminal only (else every call
// does nothing). Ends with the summary of a finished transfer, or with the
// line as far as it got. prefix, when set, is put before each line (folder
// mode shows the files done there). Sessions in several threads may share one.
class TTransferMeter {
 public:
  explicit TTransferMeter(int64_t total, std::function<std::string()> prefix = nullptr);
  void Start();
  void Advance(int64_t bytes);
  void End(bool stored);

 private:
  std::mutex mutex_;
  std::unique_ptr<TProgressMeter> meter_;
  std::function<std::string()> prefix_;
  int64_t total_ = 0;
  bool ended_ = false;
};

// Watches the session through the client's hooks: echoes the dialogue
// (unless quiet), feeds the meter, asks for a password on the terminal when
// the server wants one and none was given (ask_password), and keeps the facts
// that explain a failure. Sets the control connection's keep-alive and the
// connect bound. Removes its hooks when destroyed.
class TSessionWatch {
 public:
  TSessionWatch(TMyFtp& ftp, const TUploadSettings& settings, bool ask_password = false);
  ~TSessionWatch();
  TSessionWatch(const TSessionWatch&) = delete;
  TSessionWatch& operator=(const TSessionWatch&) = delete;

  bool connected() const { return facts_.connected; }
  const std::string& last_command() const { return facts_.last_command; }

  // Starts the facts of one file's transfer afresh.
  void BeginFile(int64_t size, TTransferMeter* meter);
  void EndFile() { meter_ = nullptr; }
  // Starts the facts of a new connection (after a reconnect).
  void BeginSession();
  // While muted, the dialogue is not echoed (the classic transcript stays
  // as it always was around a probe the tool adds after a failure).
  void SetEchoMuted(bool muted) { muted_ = muted; }
  // Put before every echoed line ("[2] "), for runs with several sessions.
  void SetEchoPrefix(std::string prefix) { echo_prefix_ = std::move(prefix); }

  TSessionFacts Facts() const;

 private:
  void OnReply(const std::string& value);

  TMyFtp& ftp_;
  TSessionFacts facts_;
  TTransferMeter* meter_ = nullptr;
  bool ask_password_ = false;
  bool muted_ = false;
  std::string echo_prefix_;
};

// Arms the interrupt for its life: Ctrl-C then stops the waits and sends on
// both connections instead of ending the process.
class TInterruptArming {
 public:
  explicit TInterruptArming(TFTPSend& ftp);
  ~TInterruptArming();
  TInterruptArming(const TInterruptArming&) = delete;
  TInterruptArming& operator=(const TInterruptArming&) = delete;
};

// The class of a reply code: 1 preliminary, 2 done, 3 more input needed,
// 4 and 5 refused, 0 no reply.
inline int ReplyClassOf(int code) { return code / 100; }

// How soon a wait notices an interrupt: waits run in slices of this length.
inline constexpr int32_t kStopCheckMs = 100;
// ABOR and QUIT after an interrupt, or QUIT after a lost or silent control
// connection, wait no longer than this.
inline constexpr int32_t kCleanupTimeoutMs = 3000;

// Sets the client up from the settings: timeout, login, port, mode, type and
// TLS. The caller's settings must have passed the checks.
void ConfigureClient(const TUploadSettings& settings, TFTPSend& ftp);

// Logs in, trying each address of the host until one could be reached.
// On failure writes the explanation to standard error (unless report is
// false) and returns its status; kStored after a good login.
TExitStatus SignInToHost(const TUploadSettings& settings, TFTPSend& ftp, TSessionWatch& watch,
                         bool report = true);

// Ends an interrupted transfer in an orderly way, briefly: ABOR and QUIT.
void AbortAfterInterrupt(TFTPSend& ftp);

// Whether the remote folder exists, asked with CWD (a relative folder is
// entered from the current one, which PWD names, and left again).
bool RemoteFolderExists(TFTPSend& ftp, const std::string& folder);

// Whether the tool should ask for the password on the terminal when the
// server wants one: a user name but no password from any source, and
// standard input is a terminal.
bool ShouldAskPassword(const TUploadSettings& settings);

// For a local parameter that is no file: "cannot read PATH: REASON", or for
// a folder a line that names /recursive, on standard error.
void ReportMissingLocalPath(const std::string& path);

// The reason a local file cannot be read, from the open error's message
// ("Permission denied"), for "cannot read PATH: REASON".
std::string OpenFailureReason(const std::string& message);

// The addresses to try for host: host itself (without IPv6 brackets) when it
// is an address or a name with at most one address; else every address of
// the name, IPv4 first.
std::vector<std::string> HostAttempts(const std::string& host);

}  // namespace zud
