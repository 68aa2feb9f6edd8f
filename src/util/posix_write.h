// Internal to the Linux util files: a write that goes on until all of text
// has left, across short writes and interrupted calls.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <string_view>

namespace zud::posix {

// False when the descriptor refuses more (a closed pipe, say).
inline bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace zud::posix
