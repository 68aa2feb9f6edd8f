#include "frontend/advice.h"

#include <string>

namespace zud {

std::string FailureLine(const TFailure& failure, const std::string& path) {
  switch (failure.hint) {
    case TDeployHint::kNoSource:
      return "no file given: name the file to upload last, after the switches";
    case TDeployHint::kFolderSource:
      return path + " is a folder; add /recursive to upload its tree";
    case TDeployHint::kRemoteFolderMissing:
      return "remote directory " + path + " does not exist; add /mkdir to make it";
    default:
      break;
  }
  return failure.message;
}

std::string AdviceLine(TDeployHint hint, const TUploadSettings& settings) {
  const std::string port = std::to_string(settings.Port);
  switch (hint) {
    case TDeployHint::kTLSRequired:
      return "hint: the server wants TLS before the login: add /tls";
    case TDeployHint::kCertificateUntrusted:
      return "hint: if you trust this server, name the certificate of its authority (or its "
             "own) with /cacert:FILE; /insecure skips the check";
    case TDeployHint::kPlainFTPPort:
      return "hint: port " + port + " speaks plain FTP first (explicit FTPS): use /tls instead "
             "of /ftps";
    case TDeployHint::kNoGreeting:
      return "hint: a port that waits for TLS from the first byte (implicit FTPS, usually 990) "
             "sends no greeting: try /ftps";
    case TDeployHint::kTLSOffered:
      return "hint: the server offers TLS, and some servers refuse passwords over plain FTP: "
             "try /tls";
    case TDeployHint::kConnectionLimit:
      if (settings.Parallel > 1) {
        return "hint: the server limits connections: ask for fewer sessions than /parallel:" +
               std::to_string(settings.Parallel);
      }
      return "hint: the server takes no more connections now: end other sessions or try later";
    case TDeployHint::kLocked:
      return "hint: if no other deploy is running, add /force to take the lock";
    case TDeployHint::kTooManyDeletes:
      return "hint: add /maxdelete:N to allow up to N deletes";
    case TDeployHint::kOtherTreesState:
      return "hint: give each tree its own /statefile";
    case TDeployHint::kActiveRefused:
      return settings.Active
                 ? "hint: active mode failed (the server connects back to you): leave out "
                   "/active; passive mode is the default for folders"
                 : "hint: active mode failed (the server connects back to you): add /pasv";
    default:
      return std::string();
  }
}

}  // namespace zud
