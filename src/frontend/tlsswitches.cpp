#include "frontend/tlsswitches.h"

#include <string>

#include "frontend/console.h"

namespace zud {

TDeployTLS DeployTLSOf(const TTLSSwitches& switches, const std::string& host) {
  TDeployTLS tls;
  if (!switches.Wanted()) return tls;
  tls.FullSSL = switches.implicit_tls;
  tls.AutoTLS = !switches.implicit_tls;
  tls.RequireTLS = true;
  tls.TLSonData = true;
  // In active mode (the classic run without /pasv, folders with /active) the
  // server connects back, and that connection is protected too.
  tls.ActiveDataTLS = true;
  tls.PeerName = host;
  tls.CertCAFile = switches.ca_file;
  tls.VerifyCert = !switches.insecure;
  return tls;
}

void WarnAboutTLSSwitches(const TTLSSwitches& switches) {
  if (!switches.Wanted()) {
    // Said at once: the user believes the upload is protected, and it is not.
    if (!switches.ca_file.empty() || switches.insecure) {
      WriteErrorLine(
          "warning: /cacert and /insecure take effect only with /tls or /ftps; "
          "this upload is not encrypted");
    }
    return;
  }
  if (switches.insecure) {
    WriteErrorLine(
        "warning: /insecure: the server's certificate is not checked; anyone on the way can "
        "pose as the server and read the password and the file");
  }
}

}  // namespace zud
