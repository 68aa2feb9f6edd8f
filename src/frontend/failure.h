// Exit statuses by cause, and the one-line explanation of a failure that the
// echoed dialogue does not already give.
#pragma once

#include <cstdint>
#include <string>

#include "util/api.h"

namespace ZUD_API zud {

enum class TExitStatus : int {
  kStored = 0,          // stored (or usage / version shown)
  kLocalFile = 1,       // a local file missing or unreadable
  kCommandLine = 2,     // bad command line
  kNotResolved = 3,     // host name not resolved
  kConnectFailed = 4,   // connection refused, unreachable, closed, proxy
  kLoginRefused = 5,    // greeting or login refused
  kTLS = 6,             // TLS failure
  kRefused = 7,         // the server refused the directory or the store
  kTransferFailed = 8,  // data connection failed, transfer incomplete
  kTimeout = 9,         // no answer within the timeout
  kInterrupted = 130,   // Ctrl-C or SIGTERM
};

// What the session showed by the time an operation failed.
struct TSessionFacts {
  std::string host;  // as the user typed it
  std::string port;
  int32_t timeout_ms = 0;
  bool connected = false;    // the control connection was made
  int replies = 0;           // reply lines received, the greeting's included
  std::string last_command;  // the last command sent, without its argument masking
  int result_code = 0;       // of the last reply, 0 when none was read
  std::string result_line;   // the last reply line
  int control_error = 0;     // LastErrorCode of the control connection
  std::string control_error_text;
  bool store_started = false;   // the store command got its 1xx reply
  bool data_connected = false;  // the data connection was made
  int data_error = 0;           // LastErrorCode of the data connection
  std::string data_error_text;
  int64_t bytes_sent = 0;      // over the data connection
  int64_t bytes_to_send = -1;  // -1 when not known
  bool quiet = false;          // no dialogue on standard output to explain things
};

struct TFailure {
  TExitStatus status = TExitStatus::kStored;
  // For standard error; "" when the echoed dialogue already explains it.
  std::string message;
};

// Why connecting, the greeting or the login failed.
TFailure ClassifySignInFailure(const TSessionFacts& facts);
// Why storing file (its remote name) failed after a good login.
TFailure ClassifyStoreFailure(const TSessionFacts& facts, const std::string& file);

// The earlier failure wins: status unless first already records one.
void KeepFirstFailure(TExitStatus& first, TExitStatus status);

}  // namespace zud
