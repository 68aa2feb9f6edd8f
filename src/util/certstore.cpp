#include "util/certstore.h"

namespace zud {

std::vector<std::string> SystemRootCertificates() { return {}; }

}  // namespace zud
