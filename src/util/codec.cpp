#include "util/codec.h"

namespace zud {

namespace {
constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
}  // namespace

std::string EncodeTriplets(std::string_view data, std::string_view alphabet) {
  std::string result;
  result.reserve((data.size() + 2) / 3 * 4);
  auto emit = [&](unsigned index) {
    if (index < alphabet.size()) result.push_back(alphabet[index]);
  };
  for (size_t i = 0; i < data.size(); i += 3) {
    const size_t count = data.size() - i < 3 ? data.size() - i : 3;
    const unsigned b1 = static_cast<uint8_t>(data[i]);
    const unsigned b2 = count > 1 ? static_cast<uint8_t>(data[i + 1]) : 0;
    const unsigned b3 = count > 2 ? static_cast<uint8_t>(data[i + 2]) : 0;
    emit(b1 >> 2);
    emit(((b1 & 3) << 4) | (b2 >> 4));
    emit(count > 1 ? ((b2 & 15) << 2) | (b3 >> 6) : 64);
    emit(count > 2 ? b3 & 63 : 64);
  }
  return result;
}

std::string ConvertToBase64(std::string_view data) { return EncodeTriplets(data, kBase64Alphabet); }

}  // namespace zud
