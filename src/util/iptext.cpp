#include "util/iptext.h"

#include <cstdint>

#include "util/textutil.h"

namespace zud {

namespace {

// One or more hex digits, any number of leading zeros, value at most FFFF.
bool ParseHexGroup(std::string_view s, uint16_t& value) {
  if (s.empty()) return false;
  uint32_t v = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * 16 + static_cast<uint32_t>(digit);
    if (v > 0xFFFF) return false;
  }
  value = static_cast<uint16_t>(v);
  return true;
}

bool IsHexGroup(std::string_view s) {
  uint16_t unused = 0;
  return ParseHexGroup(s, unused);
}

}  // namespace

bool IsOctetText(std::string_view s) {
  if (s.empty()) return false;
  unsigned value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 255) return false;
  }
  return true;
}

bool IsIPv4Text(std::string_view s) {
  std::string rest(s);
  for (int i = 0; i < 3; ++i) {
    if (!IsOctetText(TakeField(rest, "."))) return false;
  }
  return IsOctetText(StripSpaces(rest));
}

bool IsIPv6Text(std::string_view s) {
  if (s == "::") return true;
  std::string rest(s);
  int fields = 0;
  int empties = 0;
  bool first = true;
  bool answer = false;
  while (!rest.empty()) {
    std::string field = TakeField(rest, ":");
    if (!first && field.empty()) ++empties;
    first = false;
    if (empties > 1) return false;  // two "::" or ":::"
    ++fields;
    if (field.empty()) continue;
    if (fields > 8) return false;
    if (rest.empty()) {
      // The last group may carry a numeric zone ("fe80::1%5").
      const std::string zone = TextAfterDelimiter(field, "%");
      field = TextBeforeDelimiter(field, "%");
      if (!IsHexGroup(zone)) return false;
    }
    if (!IsHexGroup(field)) return false;
    if (rest.empty() && (fields != 1 || empties != 0)) answer = true;
  }
  return answer;
}

std::string IPv4ToBytes(std::string_view s) {
  std::string rest(s);
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<char>(static_cast<uint8_t>(TextToIntDef(TakeField(rest, "."), 0)));
  }
  return bytes;
}

std::string ExpandIPv6Text(std::string_view s) {
  if (s.empty()) return "";
  const int colons = CountChar(s, ':');
  // Eight colons fit only where "::" stands for one zero group at either
  // end ("1:2:3:4:5:6:7::", the text a single trailing zero group is
  // written as); anywhere else they make nine groups.
  const bool edge_gap = s.size() >= 2 && (s.substr(0, 2) == "::" || s.substr(s.size() - 2) == "::");
  if (colons > 8 || (colons == 8 && !edge_gap)) return "";
  std::string text(s);
  if (text.front() == ':') text.insert(text.begin(), '0');
  if (text.back() == ':') text.push_back('0');
  std::string filler;
  for (int i = 0; i < 8 - colons; ++i) filler += ":0";
  filler += ':';
  return ReplaceAllOccurrences(text, "::", filler);
}

std::string IPv6TextToBytes(std::string_view s) {
  const std::string zero(16, '\0');
  uint16_t groups[8] = {};
  std::string text = ExpandIPv6Text(s);
  if (text.empty()) return zero;
  int i = 0;
  while (!text.empty()) {
    if (i > 7) return zero;
    const std::string field = TakeField(text, ":");
    if (!field.empty() && !ParseHexGroup(field, groups[i])) return zero;
    ++i;
  }
  std::string bytes(16, '\0');
  for (int g = 0; g < 8; ++g) {
    bytes[2 * g] = static_cast<char>(groups[g] >> 8);
    bytes[2 * g + 1] = static_cast<char>(groups[g] & 0xFF);
  }
  return bytes;
}

std::string IPv6BytesToText(std::string_view bytes16) {
  uint16_t groups[8] = {};
  for (int i = 0; i < 8; ++i) {
    const size_t hi = 2 * static_cast<size_t>(i);
    const unsigned high = hi < bytes16.size() ? static_cast<uint8_t>(bytes16[hi]) : 0;
    const unsigned low = hi + 1 < bytes16.size() ? static_cast<uint8_t>(bytes16[hi + 1]) : 0;
    groups[i] = static_cast<uint16_t>(high * 256 + low);
  }

  // The longest run of zero groups (the first of equal runs) is compressed.
  int best_start = -1, best_length = 0;
  int run_start = -1, run_length = 0;
  for (int i = 0; i < 8; ++i) {
    if (groups[i] == 0) {
      if (run_length == 0) run_start = i;
      ++run_length;
    } else {
      if (run_length > best_length) {
        best_start = run_start;
        best_length = run_length;
      }
      run_length = 0;
    }
  }
  if (run_length > best_length) {
    best_start = run_start;
    best_length = run_length;
  }
  auto in_best = [&](int i) { return best_length > 0 && i >= best_start && i < best_start + best_length; };

  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  bool pending = false;
  for (int i = 0; i < 8; ++i) {
    if (in_best(i)) {
      pending = true;
      continue;
    }
    if (pending) {
      out += out.empty() ? "::" : ":";
      pending = false;
    }
    std::string digits;
    for (unsigned v = groups[i]; v != 0 || digits.empty(); v >>= 4) {
      digits.insert(digits.begin(), kHex[v & 0xF]);
    }
    out += digits;
    out += ':';
  }
  if (pending) out += out.empty() ? "::0" : ":";
  if (out.empty()) out = "::0";
  if (!in_best(7)) out.pop_back();
  return out;
}

bool IsNumericPortOutOfRange(std::string_view port) {
  size_t i = 0;
  while (i < port.size() && (port[i] == ' ' || (port[i] >= '\t' && port[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < port.size() && (port[i] == '+' || port[i] == '-')) negative = port[i++] == '-';
  if (i == port.size()) return false;
  uint32_t value = 0;
  for (; i < port.size(); ++i) {
    if (port[i] < '0' || port[i] > '9') return false;  // a service name
    if (value <= 65535) value = value * 10 + static_cast<uint32_t>(port[i] - '0');
  }
  return value > 65535 || (negative && value != 0);
}

}  // namespace zud
