// Recognition and conversion of IPv4 and IPv6 address texts. Pure functions:
// byte strings in, values out, never throwing.
#pragma once

#include <string>
#include <string_view>

#include "util/api.h"

namespace ZUD_API zud {

// One or more ASCII digits whose value is at most 255 ("007" is 7).
bool IsOctetText(std::string_view s);
// Four dot-separated octets; spaces around fields are ignored.
bool IsIPv4Text(std::string_view s);
// Colon-separated hex groups with at most one "::" and an optional numeric
// zone ("%5") on the last group.
bool IsIPv6Text(std::string_view s);
// The four octets as 4 bytes, network order; missing fields give 0.
std::string IPv4ToBytes(std::string_view s);
// "::" written out as zero groups; "" when s is empty or has more than 7
// colons (8 only with "::" at either end, standing for one zero group).
std::string ExpandIPv6Text(std::string_view s);
// 16 bytes, network order; all zero when the text cannot be converted.
std::string IPv6TextToBytes(std::string_view s);
// Compressed lower-case text of 16 bytes ("::0" for all zero).
std::string IPv6BytesToText(std::string_view bytes16);
// A port written as a number (the resolver's own reading: leading white
// space, a sign, digits) whose value no port can have. The platform resolvers
// would take it modulo 65536 and quietly reach some other port.
bool IsNumericPortOutOfRange(std::string_view port);

}  // namespace zud
