#include "util/unicode.h"

#include <cstdint>

namespace zud {
namespace {

// One step of a UTF-8 decode: the code point and its byte count, or (ok
// false) the length of the longest start of a well-formed sequence found
// there, at least 1: the bytes one replacement character stands for.
struct TUtf8Step {
  char32_t code_point = 0;
  size_t length = 1;
  bool ok = false;
};

// The well-formed sequences of the Unicode standard (table 3-7): the second
// byte's range depends on the first, which rules out overlong forms,
// surrogates and code points past U+10FFFF in one place.
TUtf8Step DecodeUtf8(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  TUtf8Step step;
  if (lead < 0x80) {
    step.code_point = lead;
    step.ok = true;
    return step;
  }
  size_t count;
  uint8_t low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    count = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    count = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    count = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return step;  // a continuation byte, C0, C1 or F5..FF
  }
  char32_t value = lead & (0xFF >> (count + 1));
  for (size_t i = 1; i < count; ++i) {
    if (at + i >= text.size()) return step;
    const uint8_t next = byte(at + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return step;
    value = (value << 6) | (next & 0x3F);
    step.length = i + 1;
  }
  step.code_point = value;
  step.length = count;
  step.ok = true;
  return step;
}

void AppendUtf16(char32_t code_point, std::u16string& out) {
  if (code_point < 0x10000) {
    out.push_back(static_cast<char16_t>(code_point));
    return;
  }
  code_point -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
}

void AppendUtf8(char32_t code_point, std::string& out) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

std::string Hex(unsigned value, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(static_cast<size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = kDigits[value & 15];
  return text;
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Walks text by code points; visit(code_point) for each, lone(unit, index)
// for each unpaired surrogate. Stops when lone returns false.
template <class Visit, class Lone>
void WalkUtf16(std::u16string_view text, Visit visit, Lone lone) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      visit(0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      if (!lone(unit, i)) return;
    } else {
      visit(unit);
    }
  }
}

}  // namespace

bool Utf8ToUtf16(std::string_view text, std::u16string& out, std::string& error) {
  out.clear();
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const TUtf8Step step = DecodeUtf8(text, at);
    if (!step.ok) {
      out.clear();
      error = "ill-formed UTF-8 at byte " + std::to_string(at + 1) + " (0x" +
              Hex(static_cast<uint8_t>(text[at]), 2) + ")";
      return false;
    }
    AppendUtf16(step.code_point, out);
    at += step.length;
  }
  return true;
}

bool Utf16ToUtf8(std::u16string_view text, std::string& out, std::string& error) {
  out.clear();
  out.reserve(text.size());
  bool ok = true;
  WalkUtf16(
      text, [&](char32_t code_point) { AppendUtf8(code_point, out); },
      [&](char16_t unit, size_t index) {
        error = "unpaired surrogate U+" + Hex(unit, 4) + " at unit " + std::to_string(index + 1);
        return ok = false;
      });
  if (!ok) out.clear();
  return ok;
}

bool IsWellFormedUtf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const TUtf8Step step = DecodeUtf8(text, at);
    if (!step.ok) return false;
    at += step.length;
  }
  return true;
}

std::u16string Utf8ToUtf16ForDisplay(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const TUtf8Step step = DecodeUtf8(text, at);
    AppendUtf16(step.ok ? step.code_point : U'\uFFFD', out);
    at += step.length;
  }
  return out;
}

std::string Utf16ForDisplay(std::u16string_view text) {
  std::string out;
  WalkUtf16(
      text, [&](char32_t code_point) { AppendUtf8(code_point, out); },
      [&](char16_t unit, size_t) {
        out += "\\u" + Hex(unit, 4);
        return true;
      });
  return out;
}

}  // namespace zud
