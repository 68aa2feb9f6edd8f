// Small text helpers shared by the data-connection and file-operation sources
// of TFTPSend. Internal to the ftp layer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zud::ftp_internal {

// The class of a reply code: 1 preliminary, 2 done, 3 more input needed,
// 0 when no code was recognised.
inline int ReplyClass(int code) { return code / 100; }

// value without the characters with codes 0 to 32 at both ends.
inline std::string TrimControlChars(std::string_view value) {
  size_t begin = 0;
  size_t end = value.size();
  while (begin < end && static_cast<uint8_t>(value[begin]) <= 32) ++begin;
  while (end > begin && static_cast<uint8_t>(value[end - 1]) <= 32) --end;
  return std::string(value.substr(begin, end - begin));
}

}  // namespace zud::ftp_internal
