// What every upload job shares about a session: the client set up from the
// options, the login over every address of the host, the watch that reports
// the dialogue and the data connection and keeps the facts that explain a
// failure, and the orderly end after a stop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "deploy/deploy.h"
#include "deploy/failure.h"
#include "ftp/ftpclient.h"
#include "util/api.h"

namespace ZUD_API zud {

// line as a reader may see it: one beginning with "PASS " reads
// "PASS **********".
std::string MaskedLine(const std::string& line);

// Watches the session through the client's hooks: reports the dialogue and,
// while a file is sent, its data connection; asks for a password when the
// server wants one (OnPassword); keeps the facts that explain a failure (a
// command outside a transfer clears those of the last data connection).
// Sets the control connection's keep-alive and the heartbeat that lets a
// stop end a wait. Removes its hooks when destroyed.
class TSessionWatch {
 public:
  TSessionWatch(TFTPSend& ftp, const TDeployOptions& options);
  ~TSessionWatch();
  TSessionWatch(const TSessionWatch&) = delete;
  TSessionWatch& operator=(const TSessionWatch&) = delete;

  // Every command sent and reply line received, masked (MaskedLine).
  std::function<void(bool reply, const std::string& line)> OnDialogue;
  // Between BeginFile and EndFile: 0 when the data connection opens, then
  // each count of bytes sent over it.
  std::function<void(int64_t bytes)> OnFileData;
  // Asked once, when the server answers USER with 331: true with the
  // password to send.
  std::function<bool(std::string& password)> OnPassword;

  bool connected() const { return facts_.connected; }
  const std::string& last_command() const { return facts_.last_command; }
  // How long the session had been quiet (no reply since) when the last
  // command went out.
  uint32_t quiet_before_last_command_ms() const { return quiet_before_command_ms_; }

  // Starts the facts of one file's transfer afresh.
  void BeginFile(int64_t size);
  void EndFile() { in_file_ = false; }
  // Starts the facts of a new connection (after a reconnect).
  void BeginSession();
  // Between BeginProbe and EndProbe the dialogue is not reported: a question
  // the tool asks for its own explanation is no part of what the user sees.
  void BeginProbe() { probing_ = true; }
  void EndProbe() { probing_ = false; }

  TSessionFacts Facts() const;

 private:
  void OnReply(const std::string& value);
  void ClearDataFacts();

  TFTPSend& ftp_;
  TSessionFacts facts_;
  bool in_file_ = false;
  uint32_t last_reply_tick_ = 0;
  uint32_t quiet_before_command_ms_ = 0;
  bool probing_ = false;
};

// Arms the interrupt for its life: Ctrl-C then stops the waits and sends on
// both connections instead of ending the process (util/process.h).
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

// How soon a wait notices a stop: waits run in slices of this length.
inline constexpr int32_t kStopCheckMs = 100;
// ABOR and QUIT after an interrupt, or QUIT after a lost or silent control
// connection, wait no longer than this.
inline constexpr int32_t kCleanupTimeoutMs = 3000;
// The run's last steps after it stopped (the state file, the lock) wait no
// longer than this.
inline constexpr int32_t kLastStepsTimeoutMs = 15000;

// Sets the client up from the options: timeout, login, port, mode, type
// (binary unless Ascii) and TLS (the certificate checked against
// TLS.PeerName, or Host as given also when the client is aimed at one of its
// addresses).
void ConfigureClient(const TDeployOptions& options, TFTPSend& ftp);

// Logs in, trying each address of host until one could be reached. kNone
// after a good login, else why it failed; after a password refused over
// plain FTP it asks (FEAT, not reported) whether the server offers TLS.
TFailure SignInToHost(const std::string& host, TFTPSend& ftp, TSessionWatch& watch);
// Whether the server's FEAT names AUTH TLS (sends FEAT the first time).
bool OffersTLS(TFTPSend& ftp);

// Ends an interrupted transfer in an orderly way, briefly: ABOR and QUIT.
void AbortAfterInterrupt(TFTPSend& ftp);

// Whether the remote folder exists, asked with CWD (a relative folder is
// entered from the current one, which PWD names, and left again).
bool RemoteFolderExists(TFTPSend& ftp, const std::string& folder);

// The reason a local file cannot be read, from the open error's message
// ("Permission denied"), for "cannot read PATH: REASON".
std::string OpenFailureReason(const std::string& message);

// The addresses to try for host: host itself (without IPv6 brackets) when it
// is an address or a name with at most one address; else every address of
// the name, IPv4 first.
std::vector<std::string> HostAttempts(const std::string& host);

// The back-off before reconnect n (1-based): 1, 2, 4, ... seconds, at most 30.
int32_t ReconnectDelayMs(int n);

}  // namespace zud
