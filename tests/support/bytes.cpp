#include "support/bytes.h"

#include <algorithm>
#include <cstdio>

namespace zud::test {

Bytes::Bytes(std::initializer_list<uint8_t> values)
    : data_(values.begin(), values.end()) {}

Bytes PortBytes(int port) {
  return Bytes{static_cast<uint8_t>((port >> 8) & 0xFF),
               static_cast<uint8_t>(port & 0xFF)};
}

std::string HexDump(std::string_view data) {
  if (data.empty()) return "  (no bytes)\n";
  std::string out;
  char buffer[24];
  for (size_t line = 0; line < data.size(); line += 16) {
    std::snprintf(buffer, sizeof(buffer), "  %04zx ", line);
    out += buffer;
    for (size_t i = line; i < line + 16; ++i) {
      if (i < data.size()) {
        std::snprintf(buffer, sizeof(buffer), " %02x",
                      static_cast<unsigned char>(data[i]));
        out += buffer;
      } else {
        out += "   ";
      }
    }
    out += "  |";
    for (size_t i = line; i < std::min(line + 16, data.size()); ++i) {
      unsigned char c = static_cast<unsigned char>(data[i]);
      out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    out += "|\n";
  }
  return out;
}

std::string DescribeMismatch(std::string_view expected, std::string_view actual) {
  if (expected == actual) return "";
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  return "first difference at byte " + std::to_string(at) + " (expected " +
         std::to_string(expected.size()) + " bytes, got " +
         std::to_string(actual.size()) + ")\nexpected:\n" + HexDump(expected) +
         "actual:\n" + HexDump(actual);
}

}  // namespace zud::test
