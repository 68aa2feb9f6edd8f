#include "frontend/tlsswitches.h"

#include <string>

#include "frontend/console.h"

namespace zud {
void ApplyTLSSwitches(const TTLSSwitches& switches, const std::string& host, TFTPSend& client) {
  if (!switches.Wanted()) {
    // Said at once: the user believes the upload is protected, and it is not.
    if (!switches.ca_file.empty() || switches.insecure) {
      WriteErrorLine("warning: /cacert and /insecure take effect only with /tls or /ftps; "
                     "this upload is not encrypted");
    }
    return;
  }
  client.FullSSL = switches.implicit_tls;
  client.AutoTLS = !switches.implicit_tls;
  client.RequireTLS = true;
  client.TLSonData = true;
  // The classic meaning of /pasv holds: without it the server connects back.
  client.ActiveDataTLS = true;
  TCustomSSL& tls = client.Sock().TLSPlugin();
  tls.SetPeerName(host);
  tls.CertCAFile = switches.ca_file;
  if (switches.insecure) {
    tls.VerifyCert = false;
    WriteErrorLine(
        "warning: /insecure: the server's certificate is not checked; anyone on the way can "
        "pose as the server and read the password and the file");
  }
}

}  // namespace zud
