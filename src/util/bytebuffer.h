// A growable byte buffer whose new room is left uninitialised.
//
// A receive buffer sized for the largest packet then costs memory only as far
// as data actually land in it: the system hands out untouched pages lazily,
// and zero-filling them (as std::string or std::vector would) would make every
// connection pay for the whole size at once.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>

#include "util/api.h"

namespace ZUD_API zud {

class TByteBuffer {
 public:
  char* data() { return bytes_.get(); }
  const char* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  char& operator[](size_t i) { return bytes_[i]; }
  char operator[](size_t i) const { return bytes_[i]; }

  // Keeps the first min(size, n) bytes; the rest is unspecified.
  void resize(size_t n) {
    if (n > capacity_) {
      std::unique_ptr<char[]> grown(new char[n]);
      if (size_ > 0) std::memcpy(grown.get(), bytes_.get(), size_);
      bytes_ = std::move(grown);
      capacity_ = n;
    }
    size_ = n;
  }
  // Gives the storage back.
  void release() {
    bytes_.reset();
    size_ = capacity_ = 0;
  }

 private:
  std::unique_ptr<char[]> bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace zud
