// The certificates the operating system trusts as roots for TLS, for a TLS
// library that does not read the system's own store.
#pragma once

#include <string>
#include <vector>

#include "util/api.h"

namespace ZUD_API zud {

// The DER encodings of the system's trusted root certificates, each once.
// Windows: the user's and the machine's ROOT stores, with the roots a
// company deploys through policy or the enterprise store. Elsewhere none:
// OpenSSL's default paths there are the system's store.
std::vector<std::string> SystemRootCertificates();

}  // namespace zud
