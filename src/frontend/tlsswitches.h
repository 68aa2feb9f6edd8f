// The tool's TLS switches:
//   /tls          explicit FTPS: AUTH TLS, then PBSZ 0 and PROT P; a refusal
//                 of either ends the upload (never a silent fall-back to
//                 plain FTP), and without AUTH TLS no credential is sent
//   /ftps         implicit FTPS: TLS from the first byte, port 990 unless
//                 /port says otherwise (wins over /tls)
//   /cacert:FILE  trust the CA or certificate in FILE (PEM) instead of the
//                 system's store
//   /insecure     do not verify the server's certificate (warned about)
// Without /tls or /ftps the tool is the classic plain FTP client; /cacert or
// /insecure alone only get a warning that the upload is not encrypted.
// Failures are classified and explained with the others (deploy/failure.h).
#pragma once

#include <cstdint>
#include <string>

#include "deploy/deploy.h"
#include "util/api.h"

namespace ZUD_API zud {

struct TTLSSwitches {
  bool explicit_tls = false;  // /tls
  bool implicit_tls = false;  // /ftps
  bool port_given = false;    // /port was on the command line
  std::string ca_file;        // /cacert:
  bool insecure = false;      // /insecure
  bool Wanted() const { return explicit_tls || implicit_tls; }
  // The port to use: implicit FTPS has its own default, 990.
  int32_t PortOr(int32_t port) const { return implicit_tls && !port_given ? 990 : port; }
};

// The TLS settings the switches ask for: TLS required, protected data
// connections (on active ones too), the certificate checked
// against host (the host as typed, also when the client is aimed at one of
// its addresses), the CA file, and with /insecure no verification. The
// client's sockets must carry a real TLS plug-in (the default one does).
TDeployTLS DeployTLSOf(const TTLSSwitches& switches, const std::string& host);

// The warnings the switches call for, on standard error, before each
// session connects: /insecure, or /cacert and /insecure without TLS.
void WarnAboutTLSSwitches(const TTLSSwitches& switches);

}  // namespace zud
