#include "deploy/failure.h"

#include "sockets/socketerrors.h"
#include "util/sockapi.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {
namespace {

// Resolver codes of the socket layer's code space.
constexpr int kErrHostNotFound = 11001;
constexpr int kErrNoData = 11004;

// The error for people: the system's words where the library's text is its
// generic one for the code, and the number only where people know them.
std::string WithCode(const std::string& text, int code) {
  const std::string generic = GetErrorDesc(code);
  std::string words = text.empty() || text == generic ? SystemErrorWords(code) : text;
  if (words.empty()) words = text.empty() ? generic : text;
  if (!kErrorNumbersForPeople) return words;
  return words + " (" + std::to_string(code) + ")";
}

// A reply's words, lower-cased, hold one of these.
bool Says(const std::string& line, std::initializer_list<const char*> words) {
  const std::string lower = LowerCase8(line);
  for (const char* word : words) {
    if (lower.find(word) != std::string::npos) return true;
  }
  return false;
}

// Replies of servers that want TLS first (vsftpd "530 Non-anonymous sessions
// must use encryption", pyftpdlib and ProFTPD "550 SSL/TLS required on the
// control channel", Pure-FTPd "421 Sorry, cleartext sessions ... are not
// accepted") and of servers at their connection limit ("421 Too many
// connections", "530 Sorry, the maximum number of clients", "421 I can't
// accept more than 5 connections").
constexpr std::initializer_list<const char*> kTLSWords = {"tls", "ssl", "encrypt", "cleartext"};
constexpr std::initializer_list<const char*> kLimitWords = {"too many", "maximum", "more than",
                                                            "limit"};

// What would help after a failed sign-in of that kind.
TDeployHint SignInHint(const TSessionFacts& f, TDeployFailure kind) {
  const bool tls = f.implicit_tls || f.explicit_tls;
  if (kind == TDeployFailure::kTLS) {
    if (Says(f.control_error_text, {"certificate verify failed"})) {
      return TDeployHint::kCertificateUntrusted;
    }
    // OpenSSL's words for a "220 ..." greeting read as a TLS record.
    if (f.implicit_tls && Says(f.control_error_text, {"wrong version number", "unknown protocol",
                                                      "packet length too long"})) {
      return TDeployHint::kPlainFTPPort;
    }
    return TDeployHint::kNone;
  }
  if (f.connected && f.replies == 0 && !f.implicit_tls &&
      (kind == TDeployFailure::kTimeout || kind == TDeployFailure::kConnectFailed)) {
    return TDeployHint::kNoGreeting;
  }
  if (kind != TDeployFailure::kLoginRefused) return TDeployHint::kNone;
  const int code = f.result_code;
  if ((code == 421 || code == 530) && Says(f.result_line, kLimitWords)) {
    return TDeployHint::kConnectionLimit;
  }
  if (tls) return TDeployHint::kNone;
  if (Says(f.result_line, kTLSWords)) return TDeployHint::kTLSRequired;
  return f.offers_tls ? TDeployHint::kTLSOffered : TDeployHint::kNone;
}

bool IsActiveSetup(const std::string& command) {
  return command.starts_with("PORT") || command.starts_with("EPRT");
}

std::string Seconds(int32_t ms) { return std::to_string((ms + 999) / 1000) + " s"; }

bool IsTimeout(int code) { return code == kErrTimedOut || code == kErrInProgress; }

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool IsDataSetup(const std::string& command) {
  return StartsWith(command, "PASV") || StartsWith(command, "EPSV") ||
         StartsWith(command, "PORT") || StartsWith(command, "EPRT");
}

// The dialogue explains a refusal on the screen; without it the reply does.
std::string Explained(const TSessionFacts& f, const std::string& what) {
  return f.quiet ? what + ": " + f.result_line : std::string();
}

TFailure SignInFailure(const TSessionFacts& f) {
  const std::string where = f.host + " port " + f.port;
  if (!f.connected) {
    if (f.control_error >= kErrHostNotFound && f.control_error <= kErrNoData) {
      return {TDeployFailure::kNotResolved, "cannot resolve host " + f.host + ": " +
                                                WithCode(f.control_error_text, f.control_error)};
    }
    if (IsTimeout(f.control_error)) {
      return {TDeployFailure::kTimeout, "cannot connect to " + where + ": no answer within " +
                                            Seconds(f.timeout_ms) +
                                            (kErrorNumbersForPeople
                                                 ? " (" + std::to_string(kErrTimedOut) + ")"
                                                 : std::string())};
    }
    const TDeployFailure kind = f.control_error == kErrRefused && !f.control_error_text.empty() &&
                                        f.control_error_text.find("TLS") != std::string::npos
                                    ? TDeployFailure::kTLS
                                    : TDeployFailure::kConnectFailed;
    const int code = f.control_error != 0 ? f.control_error : kErrPeerClosed;
    return {kind, "cannot connect to " + where + ": " + WithCode(f.control_error_text, code)};
  }
  if (f.control_error == kErrRefused || StartsWith(f.last_command, "AUTH TLS") ||
      StartsWith(f.last_command, "PBSZ") || StartsWith(f.last_command, "PROT")) {
    if (f.control_error == kErrRefused) {
      return {TDeployFailure::kTLS,
              "TLS with " + where + " failed: " + WithCode(f.control_error_text, f.control_error)};
    }
    if (f.result_code != 0) return {TDeployFailure::kTLS, Explained(f, "TLS refused")};
  }
  if (f.result_code == 0 && StartsWith(f.result_line, "SSH-")) {
    return {TDeployFailure::kConnectFailed, where + " speaks SSH (SFTP), not FTP"};
  }
  if (f.result_code == 0) {
    const std::string waited_for = f.replies == 0 ? "no greeting from " : "no reply from ";
    if (IsTimeout(f.control_error)) {
      return {TDeployFailure::kTimeout, waited_for + where + " within " + Seconds(f.timeout_ms)};
    }
    return {
        TDeployFailure::kConnectFailed,
        where + " closed the connection" + (f.replies == 0 ? " before its greeting" : "") +
            (f.control_error != 0 ? ": " + WithCode(f.control_error_text, f.control_error) : "")};
  }
  return {
      TDeployFailure::kLoginRefused,
      Explained(f, f.replies > 1 || !f.last_command.empty() ? "login refused" : "session refused")};
}

TFailure StoreFailure(const TSessionFacts& f, const std::string& file) {
  const std::string where = f.host + " port " + f.port;
  // Without a proxy on the data connection, a refusal there is its TLS.
  if (f.data_error == kErrRefused) {
    return {TDeployFailure::kTLS, "TLS on the data connection for " + file +
                                      " failed: " + WithCode(f.data_error_text, f.data_error)};
  }
  if (f.store_started && f.data_error != 0) {
    if (IsTimeout(f.data_error)) {
      return {TDeployFailure::kTimeout,
              "transfer of " + file + " stalled: no progress within " + Seconds(f.timeout_ms)};
    }
    std::string sent = std::to_string(f.bytes_sent);
    if (f.bytes_to_send >= 0) sent += " of " + std::to_string(f.bytes_to_send);
    return {TDeployFailure::kTransferFailed,
            "transfer of " + file + " cut short after " + sent +
                " bytes: " + WithCode(f.data_error_text, f.data_error)};
  }
  if (!f.store_started && f.data_error != 0 && !f.data_connected) {
    if (IsTimeout(f.data_error)) {
      return {TDeployFailure::kTimeout,
              "no data connection from " + f.host + " within " + Seconds(f.timeout_ms)};
    }
    return {TDeployFailure::kTransferFailed, "cannot open the data connection for " + file + ": " +
                                                 WithCode(f.data_error_text, f.data_error)};
  }
  if (f.result_code == 0 || f.control_error != 0) {
    if (IsTimeout(f.control_error)) {
      return {TDeployFailure::kTimeout,
              "no reply from " + where + " within " + Seconds(f.timeout_ms)};
    }
    if (f.control_error != 0) {
      return {TDeployFailure::kTransferFailed, "lost the connection to " + where + ": " +
                                                   WithCode(f.control_error_text, f.control_error)};
    }
  }
  if (IsDataSetup(f.last_command)) {
    return {TDeployFailure::kTransferFailed, Explained(f, "data connection refused")};
  }
  if (f.store_started) {
    std::string message = Explained(f, "transfer of " + file + " failed");
    if (f.bytes_to_send >= 0 && f.bytes_sent < f.bytes_to_send) {
      message = "transfer of " + file + " cut short after " + std::to_string(f.bytes_sent) +
                " of " + std::to_string(f.bytes_to_send) + " bytes" +
                (f.quiet ? ": " + f.result_line : "");
    }
    return {TDeployFailure::kTransferFailed, message};
  }
  return {TDeployFailure::kRefused, Explained(f, "the server refused to store " + file)};
}

}  // namespace

const char* FailureWord(TDeployFailure kind) {
  switch (kind) {
    case TDeployFailure::kNone: return "none";
    case TDeployFailure::kLocalFile: return "local-file";
    case TDeployFailure::kNotResolved: return "not-resolved";
    case TDeployFailure::kConnectFailed: return "connect-failed";
    case TDeployFailure::kLoginRefused: return "login-refused";
    case TDeployFailure::kTLS: return "tls";
    case TDeployFailure::kRefused: return "refused";
    case TDeployFailure::kTransferFailed: return "transfer-failed";
    case TDeployFailure::kTimeout: return "timeout";
    case TDeployFailure::kInterrupted: return "interrupted";
    case TDeployFailure::kLocked: return "locked";
    case TDeployFailure::kHeldBack: return "held-back";
  }
  return "none";
}

TFailure ClassifySignInFailure(const TSessionFacts& facts) {
  TFailure failure = SignInFailure(facts);
  failure.hint = SignInHint(facts, failure.kind);
  return failure;
}

TFailure ClassifyStoreFailure(const TSessionFacts& facts, const std::string& file) {
  TFailure failure = StoreFailure(facts, file);
  // Active mode: a refused PORT, a 425 for the store, or no connection back.
  const bool no_connection_back = facts.result_code == 425 ||
                                  (facts.data_error != 0 && !facts.data_connected);
  if (!facts.passive && (IsActiveSetup(facts.last_command) ||
                         (!facts.store_started && no_connection_back))) {
    failure.hint = TDeployHint::kActiveRefused;
  }
  return failure;
}

TFailure ClassifySourceFailure(const std::string& path, bool recursive) {
  if (path.empty()) return {TDeployFailure::kLocalFile, "no source given", TDeployHint::kNoSource};
  const TLocalPathInfo info = QueryLocalPath(path);
  if (info.kind == TLocalKind::kDirectory && !recursive) {
    return {TDeployFailure::kLocalFile, path + " is a folder", TDeployHint::kFolderSource};
  }
  return {
      TDeployFailure::kLocalFile,
      "cannot read " + path + ": " + (info.error.empty() ? std::string("not a file") : info.error)};
}

void KeepFirstFailure(TDeployFailure& first, TDeployFailure kind) {
  if (first == TDeployFailure::kNone) first = kind;
}

bool ConnectionLost(const TSessionFacts& f) {
  if (f.control_error != 0 || f.result_code == 0) return true;
  // TLS refused on the data connection (a handshake or certificate failure,
  // or a session that was not resumed, which the server answers with 425 or
  // 522): a new connection would meet the same refusal.
  if (f.data_error == kErrRefused) return false;
  if (f.data_error != 0) return true;
  return f.result_code == 421 || f.result_code == 425 || f.result_code == 426;
}

}  // namespace zud
