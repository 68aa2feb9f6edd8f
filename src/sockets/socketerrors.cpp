#include "sockets/socketerrors.h"

namespace zud {

namespace {

struct TErrorText {
  int code;
  const char* text;
};

// Matched on the exact code.
constexpr TErrorText kErrorTexts[] = {
    {0, ""},
    {10004, "Interrupted system call"},             // WSAEINTR
    {10009, "Bad file number"},                     // WSAEBADF
    {10013, "Permission denied"},                   // WSAEACCES
    {10014, "Bad address"},                         // WSAEFAULT
    {10022, "Invalid argument"},                    // WSAEINVAL
    {10024, "Too many open files"},                 // WSAEMFILE
    {10035, "Operation would block"},               // WSAEWOULDBLOCK
    {10036, "Operation now in progress"},           // WSAEINPROGRESS
    {10037, "Operation already in progress"},       // WSAEALREADY
    {10038, "Socket operation on nonsocket"},       // WSAENOTSOCK
    {10039, "Destination address required"},        // WSAEDESTADDRREQ
    {10040, "Message too long"},                    // WSAEMSGSIZE
    {10041, "Protocol wrong type for Socket"},      // WSAEPROTOTYPE
    {10042, "Protocol not available"},              // WSAENOPROTOOPT
    {10043, "Protocol not supported"},              // WSAEPROTONOSUPPORT
    {10044, "Socket not supported"},                // WSAESOCKTNOSUPPORT
    {10045, "Operation not supported on Socket"},   // WSAEOPNOTSUPP
    {10046, "Protocol family not supported"},       // WSAEPFNOSUPPORT
    {10047, "Address family not supported"},        // WSAEAFNOSUPPORT
    {10048, "Address already in use"},              // WSAEADDRINUSE
    {10049, "Can't assign requested address"},      // WSAEADDRNOTAVAIL
    {10050, "Network is down"},                     // WSAENETDOWN
    {10051, "Network is unreachable"},              // WSAENETUNREACH
    {10052, "Network dropped connection on reset"}, // WSAENETRESET
    {10053, "Software caused connection abort"},    // WSAECONNABORTED
    {10054, "Connection reset by peer"},            // WSAECONNRESET
    {10055, "No Buffer space available"},           // WSAENOBUFS
    {10056, "Socket is already connected"},         // WSAEISCONN
    {10057, "Socket is not connected"},             // WSAENOTCONN
    {10058, "Can't send after Socket shutdown"},    // WSAESHUTDOWN
    {10059, "Too many references:can't splice"},    // WSAETOOMANYREFS
    {10060, "Connection timed out"},                // WSAETIMEDOUT
    {10061, "Connection refused"},                  // WSAECONNREFUSED
    {10062, "Too many levels of symbolic links"},   // WSAELOOP
    {10063, "File name is too long"},               // WSAENAMETOOLONG
    {10064, "Host is down"},                        // WSAEHOSTDOWN
    {10065, "No route to host"},                    // WSAEHOSTUNREACH
    {10066, "Directory is not empty"},              // WSAENOTEMPTY
    {10067, "Too many processes"},                  // WSAEPROCLIM
    {10068, "Too many users"},                      // WSAEUSERS
    {10069, "Disk quota exceeded"},                 // WSAEDQUOT
    {10070, "Stale NFS file handle"},               // WSAESTALE
    {10071, "Too many levels of remote in path"},   // WSAEREMOTE
    {10091, "Network subsystem is unusable"},       // WSASYSNOTREADY
    {10092, "Winsock DLL cannot support this application"},  // WSAVERNOTSUPPORTED
    {10093, "Winsock not initialized"},             // WSANOTINITIALISED
    {10101, "Disconnect"},                          // WSAEDISCON
    {11001, "Host not found"},                      // WSAHOST_NOT_FOUND
    {11002, "Non authoritative - host not found"},  // WSATRY_AGAIN
    {11003, "Non recoverable error"},               // WSANO_RECOVERY
    {11004, "Valid name, no data record of requested type"},  // WSANO_DATA
};
static_assert(sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) == 52);

}  // namespace

std::string GetErrorDesc(int code) {
  for (const TErrorText& entry : kErrorTexts) {
    if (entry.code == code) return entry.text;
  }
  return "Other Winsock error (" + std::to_string(code) + ")";
}

}  // namespace zud
