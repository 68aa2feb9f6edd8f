// How the resolver reads a port text, on both lookup paths: getaddrinfo and
// the legacy IPv4 calls of systems without it. Both paths share one
// implementation on Linux and Windows, so this table runs unchanged on both;
// a text whose number no port can have is refused on every path, never
// taken modulo 65536.
#include "util/sockapi.h"

#include <gtest/gtest.h>

#include <string>

namespace zud {
namespace {

constexpr int kRefused = -1;
constexpr int kPortNotFound = 10109;  // WSATYPE_NOT_FOUND, the EAI_SERVICE of this layer

struct PortCase {
  const char* text;
  int addr_info;  // the port on the getaddrinfo path, or kRefused
  int legacy;     // the port on the legacy path, or kRefused
};

// The legacy path reads numbers in the project's integer grammar (hex as
// "0x" or "$"); getaddrinfo takes decimal digits only, anything else is a
// service name, and none of these names a service.
constexpr PortCase kCases[] = {
    {"21", 21, 21},
    {"0", 0, 0},
    {"65535", 65535, 65535},
    {" 2121", 2121, 2121},
    {"010", 10, 10},  // decimal, never octal
    {"0x50", kRefused, 80},
    {"$50", kRefused, 80},
    {"0xFFFF", kRefused, 65535},
    {"65536", kRefused, kRefused},
    {"70000", kRefused, kRefused},
    {"99999999999", kRefused, kRefused},
    {"-1", kRefused, kRefused},
    {"0x10000", kRefused, kRefused},
    {"0x11170", kRefused, kRefused},  // 70000, which wrapped to 4464 on Windows once
    {"$7FFFFFFF", kRefused, kRefused},
};

// Sends lookups down the legacy IPv4 path for the life of the object.
class PathScope {
 public:
  explicit PathScope(bool legacy) { SetAddrInfoApiAvailableForTesting(!legacy); }
  ~PathScope() { SetAddrInfoApiAvailableForTesting(true); }
};

TEST(PortTextTest, EachTextGivesItsPortOrIsRefusedOnBothPaths) {
  for (const bool legacy : {false, true}) {
    PathScope path(legacy);
    for (const PortCase& c : kCases) {
      SCOPED_TRACE(std::string(legacy ? "legacy" : "getaddrinfo") + " path, port text \"" +
                   c.text + "\"");
      const int expected = legacy ? c.legacy : c.addr_info;
      TSocketAddress address;
      const int rc =
          BuildSocketAddress(address, "127.0.0.1", c.text, kAfInet, kIpProtoTcp, kSockStream, true);
      if (expected == kRefused) {
        EXPECT_EQ(rc, kPortNotFound);
        EXPECT_EQ(address, TSocketAddress{}) << "a refused port leaves no address behind";
        EXPECT_EQ(ResolveServicePort(c.text, kAfInet, kIpProtoTcp, kSockStream), 0);
      } else {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(SocketAddressPort(address), expected);
        EXPECT_EQ(SocketAddressIP(address), "127.0.0.1");
        EXPECT_EQ(ResolveServicePort(c.text, kAfInet, kIpProtoTcp, kSockStream), expected);
      }
    }
  }
}

// Texts that are neither a number nor a service: resolving them gives 0
// ("unresolvable") on both paths.
TEST(PortTextTest, EmptyAndGarbageResolveToNoPort) {
  for (const bool legacy : {false, true}) {
    PathScope path(legacy);
    for (const char* text : {"", "21abc", "port", "2 1", "0x", "$", "+"}) {
      SCOPED_TRACE(std::string(legacy ? "legacy" : "getaddrinfo") + " path, port text \"" +
                   text + "\"");
      EXPECT_EQ(ResolveServicePort(text, kAfInet, kIpProtoTcp, kSockStream), 0);
    }
  }
}

}  // namespace
}  // namespace zud
