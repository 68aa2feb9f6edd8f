// Failures by kind, and the one-line explanation of a failure that the
// dialogue (when the reader sees it) does not already give. The command line
// turns the kinds into its exit statuses.
#pragma once

#include <cstdint>
#include <string>

#include "util/api.h"

namespace ZUD_API zud {

enum class TDeployFailure : uint8_t {
  kNone,            // nothing failed
  kLocalFile,       // a local file missing or unreadable
  kNotResolved,     // host name not resolved
  kConnectFailed,   // connection refused, unreachable, closed, proxy
  kLoginRefused,    // greeting or login refused
  kTLS,             // TLS failure
  kRefused,         // the server refused a folder, a store, a rename or a delete
  kTransferFailed,  // data connection failed, transfer incomplete, connection lost
  kTimeout,         // no answer within the timeout
  kInterrupted,     // stopped on request (Ctrl-C, SIGTERM, a cancel)
  kLocked,          // another run holds the deploy lock
  kHeldBack,        // stopped or held back where going on could make things worse
};

// The kind as one word for machines (a report): "none", "local-file",
// "not-resolved", "connect-failed", "login-refused", "tls", "refused",
// "transfer-failed", "timeout", "interrupted", "locked", "held-back".
const char* FailureWord(TDeployFailure kind);

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
  bool quiet = false;          // the reader sees no dialogue that explains things
  // How the session was set up, for what would help after a failure.
  bool implicit_tls = false;  // TLS.FullSSL
  bool explicit_tls = false;  // TLS.AutoTLS
  bool passive = false;
  bool offers_tls = false;  // after a refused plain login: FEAT named AUTH TLS
};

// Where a caller may want to say what would help in its own words (the
// command line names its switches there); message says it plainly.
enum class TDeployHint : uint8_t {
  kNone,
  kNoSource,             // a source path is empty
  kFolderSource,         // a source is a folder, and Recursive is off
  kRemoteFolderMissing,  // the remote folder is not there (MakeDirs makes it)
  kLocked,               // another run holds the lock (Force takes it)
  kTooManyDeletes,       // deletes held back by the guard (MaxDelete allows them)
  kOtherTreesState,      // the state file names another tree (StateFile names another)
  // What a failure of the session's setup suggests; the option named helps.
  kTLSRequired,           // the server wants TLS before the login (TLS.AutoTLS)
  kCertificateUntrusted,  // the certificate was not verified (TLS.CertCAFile, VerifyCert)
  kPlainFTPPort,          // implicit TLS met a port that speaks plain FTP first (AutoTLS)
  kNoGreeting,            // connected, but no greeting came: a port that waits for TLS? (FullSSL)
  kTLSOffered,            // a plain login refused by a server that offers TLS (AutoTLS)
  kConnectionLimit,       // the server takes no more connections now (Parallel)
  kActiveRefused,         // active mode refused, or the server could not connect back (Passive)
};

struct TFailure {
  TDeployFailure kind = TDeployFailure::kNone;
  // For people; "" when the dialogue the reader sees already explains it.
  std::string message;
  TDeployHint hint = TDeployHint::kNone;
};

// Why connecting, the greeting or the login failed.
TFailure ClassifySignInFailure(const TSessionFacts& facts);
// Why storing file (its remote name) failed after a good login.
TFailure ClassifyStoreFailure(const TSessionFacts& facts, const std::string& file);

// Why the local path cannot be sent as it is (kLocalFile): it is empty, a
// folder while recursive is false, or no readable file ("cannot read PATH:
// REASON").
TFailure ClassifySourceFailure(const std::string& path, bool recursive);

// The earlier failure wins: kind unless first already records one.
void KeepFirstFailure(TDeployFailure& first, TDeployFailure kind);

// Whether a failure means the connection itself is gone or stuck, which a
// reconnect may mend (a refused login, store or certificate never is, nor a
// data connection refused for its TLS, such as one that did not resume the
// control connection's session).
bool ConnectionLost(const TSessionFacts& facts);

}  // namespace zud
