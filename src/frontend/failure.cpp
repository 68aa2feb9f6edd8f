#include "frontend/failure.h"

#include "sockets/socketerrors.h"

namespace zud {
namespace {

// Resolver codes of the socket layer's code space.
constexpr int kErrHostNotFound = 11001;
constexpr int kErrNoData = 11004;

std::string WithCode(const std::string& text, int code) {
  return (text.empty() ? GetErrorDesc(code) : text) + " (" + std::to_string(code) + ")";
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

}  // namespace

TFailure ClassifySignInFailure(const TSessionFacts& f) {
  const std::string where = f.host + " port " + f.port;
  if (!f.connected) {
    if (f.control_error >= kErrHostNotFound && f.control_error <= kErrNoData) {
      return {TExitStatus::kNotResolved, "cannot resolve host " + f.host + ": " +
                                             WithCode(f.control_error_text, f.control_error)};
    }
    if (IsTimeout(f.control_error)) {
      return {TExitStatus::kTimeout, "cannot connect to " + where + ": no answer within " +
                                         Seconds(f.timeout_ms) + " (" +
                                         std::to_string(kErrTimedOut) + ")"};
    }
    const TExitStatus status = f.control_error == kErrRefused && !f.control_error_text.empty() &&
                                       f.control_error_text.find("TLS") != std::string::npos
                                   ? TExitStatus::kTLS
                                   : TExitStatus::kConnectFailed;
    const int code = f.control_error != 0 ? f.control_error : kErrPeerClosed;
    return {status, "cannot connect to " + where + ": " + WithCode(f.control_error_text, code)};
  }
  if (f.control_error == kErrRefused || StartsWith(f.last_command, "AUTH TLS") ||
      StartsWith(f.last_command, "PBSZ") || StartsWith(f.last_command, "PROT")) {
    if (f.control_error == kErrRefused) {
      return {TExitStatus::kTLS,
              "TLS with " + where + " failed: " + WithCode(f.control_error_text, f.control_error)};
    }
    if (f.result_code != 0) return {TExitStatus::kTLS, Explained(f, "TLS refused")};
  }
  if (f.result_code == 0 && StartsWith(f.result_line, "SSH-")) {
    return {TExitStatus::kConnectFailed, where + " speaks SSH (SFTP), not FTP"};
  }
  if (f.result_code == 0) {
    const std::string waited_for = f.replies == 0 ? "no greeting from " : "no reply from ";
    if (IsTimeout(f.control_error)) {
      return {TExitStatus::kTimeout, waited_for + where + " within " + Seconds(f.timeout_ms)};
    }
    return {
        TExitStatus::kConnectFailed,
        where + " closed the connection" + (f.replies == 0 ? " before its greeting" : "") +
            (f.control_error != 0 ? ": " + WithCode(f.control_error_text, f.control_error) : "")};
  }
  return {
      TExitStatus::kLoginRefused,
      Explained(f, f.replies > 1 || !f.last_command.empty() ? "login refused" : "session refused")};
}

TFailure ClassifyStoreFailure(const TSessionFacts& f, const std::string& file) {
  const std::string where = f.host + " port " + f.port;
  // Without a proxy on the data connection, a refusal there is its TLS.
  if (f.data_error == kErrRefused) {
    return {TExitStatus::kTLS, "TLS on the data connection for " + file +
                                   " failed: " + WithCode(f.data_error_text, f.data_error)};
  }
  if (f.store_started && f.data_error != 0) {
    if (IsTimeout(f.data_error)) {
      return {TExitStatus::kTimeout,
              "transfer of " + file + " stalled: no progress within " + Seconds(f.timeout_ms)};
    }
    std::string sent = std::to_string(f.bytes_sent);
    if (f.bytes_to_send >= 0) sent += " of " + std::to_string(f.bytes_to_send);
    return {TExitStatus::kTransferFailed,
            "transfer of " + file + " cut short after " + sent +
                " bytes: " + WithCode(f.data_error_text, f.data_error)};
  }
  if (!f.store_started && f.data_error != 0 && !f.data_connected) {
    if (IsTimeout(f.data_error)) {
      return {TExitStatus::kTimeout,
              "no data connection from " + f.host + " within " + Seconds(f.timeout_ms)};
    }
    return {TExitStatus::kTransferFailed, "cannot open the data connection for " + file + ": " +
                                              WithCode(f.data_error_text, f.data_error)};
  }
  if (f.result_code == 0 || f.control_error != 0) {
    if (IsTimeout(f.control_error)) {
      return {TExitStatus::kTimeout, "no reply from " + where + " within " + Seconds(f.timeout_ms)};
    }
    if (f.control_error != 0) {
      return {TExitStatus::kTransferFailed, "lost the connection to " + where + ": " +
                                                WithCode(f.control_error_text, f.control_error)};
    }
  }
  if (IsDataSetup(f.last_command)) {
    return {TExitStatus::kTransferFailed, Explained(f, "data connection refused")};
  }
  if (f.store_started) {
    std::string message = Explained(f, "transfer of " + file + " failed");
    if (f.bytes_to_send >= 0 && f.bytes_sent < f.bytes_to_send) {
      message = "transfer of " + file + " cut short after " + std::to_string(f.bytes_sent) +
                " of " + std::to_string(f.bytes_to_send) + " bytes" +
                (f.quiet ? ": " + f.result_line : "");
    }
    return {TExitStatus::kTransferFailed, message};
  }
  return {TExitStatus::kRefused, Explained(f, "the server refused to store " + file)};
}

void KeepFirstFailure(TExitStatus& first, TExitStatus status) {
  if (first == TExitStatus::kStored) first = status;
}

}  // namespace zud
