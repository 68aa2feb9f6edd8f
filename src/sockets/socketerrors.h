// English texts of the socket error codes (the Windows Sockets code space,
// which the socket layer uses as its own).
#pragma once

#include <string>

#include "util/api.h"

namespace ZUD_API zud {

// Codes the socket layer and its users name in code.
inline constexpr int kErrInvalidArgument = 10022;
inline constexpr int kErrWouldBlock = 10035;   // recorded, never reported
inline constexpr int kErrInProgress = 10036;   // recorded, never reported
inline constexpr int kErrNotSupported = 10045;
// Codes the socket sets itself, without a platform call.
inline constexpr int kErrStopRequested = 10053;  // StopFlag was honoured
inline constexpr int kErrPeerClosed = 10054;     // the peer closed the connection
inline constexpr int kErrLineTooLong = 10055;    // a line or reply grew past its limit
inline constexpr int kErrTimedOut = 10060;       // a wait or a whole operation ran out
inline constexpr int kErrRefused = 10091;        // SOCKS or tunnel refusal, TLS failure
inline constexpr int kErrSocksListenFailed = 11003;  // SOCKS BIND listen or accept failed

// The fixed text of code ("" for 0); "Other Winsock error (N)" for any code
// without an entry, negative ones included.
std::string GetErrorDesc(int code);

}  // namespace zud
