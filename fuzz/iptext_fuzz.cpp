// Feeds arbitrary text to the IP address text functions and checks that
// what they accept converts consistently both ways.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "util/iptext.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  Check(zud::IPv4ToBytes(text).size() == 4, "IPv4 bytes are four");
  const std::string v6 = zud::IPv6TextToBytes(text);
  Check(v6.size() == 16, "IPv6 bytes are sixteen");
  const std::string back = zud::IPv6BytesToText(v6);
  // Text that ends in "::", or starts with it before seven groups, is not
  // taken for IPv6 text; any other is.
  Check(zud::IsIPv6Text(back) || back.ends_with("::") || back.starts_with("::"),
        "the text of any 16 bytes is IPv6 text");
  Check(zud::IPv6TextToBytes(back) == v6, "bytes survive text and back");
  (void)zud::ExpandIPv6Text(text);
  if (zud::IsOctetText(text)) Check(zud::IsIPv4Text(std::string(text) + ".0.0.0"), "octets");

  // Any 16 bytes of the input as an address.
  if (size >= 16) {
    const std::string bytes(text.substr(0, 16));
    const std::string shown = zud::IPv6BytesToText(bytes);
    Check(zud::IPv6TextToBytes(shown) == bytes, "16 bytes survive text and back");
  }
  return 0;
}
