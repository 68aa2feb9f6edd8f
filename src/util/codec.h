// Base64 encoding.
#pragma once

#include <string>
#include <string_view>

#include "util/api.h"

namespace ZUD_API zud {

// RFC 4648 base64 with "=" padding and no line breaks; "" gives "".
std::string ConvertToBase64(std::string_view data);
// Table-driven encoder: each group of up to 3 bytes gives four indices into
// alphabet (64 for bytes missing in the last group); an index is written only
// when the alphabet has a character there.
std::string EncodeTriplets(std::string_view data, std::string_view alphabet);

}  // namespace zud
