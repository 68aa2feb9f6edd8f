// English texts of the socket error codes (the Windows Sockets code space,
// which the socket layer uses as its own).
#pragma once

#include <string>

namespace zud {

// The fixed text of code ("" for 0); "Other Winsock error (N)" for any code
// without an entry, negative ones included.
std::string GetErrorDesc(int code);

}  // namespace zud
