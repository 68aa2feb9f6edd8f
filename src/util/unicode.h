// Strict conversions between UTF-8, the library's text everywhere, and
// UTF-16, the Windows system calls' text. A name that does not convert is an
// error, never a different name: an ill-formed sequence is not replaced,
// dropped or decoded leniently, so no call ever reaches another file than
// the one meant. Only text shown to people is converted leniently.
#pragma once

#include <string>
#include <string_view>

#include "util/api.h"

namespace ZUD_API zud {

// The UTF-16 form of well-formed UTF-8. False, with out empty and a reason
// for people in error ("byte 4 (0xE9) does not start a UTF-8 sequence"),
// for an ill-formed sequence: a stray continuation byte, a truncated or
// overlong sequence, an encoded surrogate (U+D800..U+DFFF) or a code point
// above U+10FFFF.
bool Utf8ToUtf16(std::string_view text, std::u16string& out, std::string& error);
// The UTF-8 form of well-formed UTF-16. False, with out empty and a reason in
// error ("unpaired surrogate U+D800 at unit 3"), for a surrogate that is not
// half of a pair.
bool Utf16ToUtf8(std::u16string_view text, std::string& out, std::string& error);
// True when text is well-formed UTF-8 (ASCII is).
bool IsWellFormedUtf8(std::string_view text);

// For showing text of unknown origin (a reply, a listing) on a console:
// each byte outside a well-formed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16ForDisplay(std::string_view text);
// For naming text that is not well-formed UTF-16 in a message: well-formed
// parts in UTF-8, each unpaired surrogate as "\uD800" (upper-case hex).
std::string Utf16ForDisplay(std::u16string_view text);

}  // namespace zud
