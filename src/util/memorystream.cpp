// The memory stream: the same on every platform, so it lives apart from the
// file stream twins.
#include <cstring>

#include "util/stream.h"

namespace zud {

// ---- TMemoryStream --------------------------------------------------------

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  const int64_t available = Size() - position_;
  if (count <= 0 || available <= 0) return 0;
  const int64_t n = count < available ? count : available;
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t end = position_ + count;
  if (end > Size()) data_.resize(static_cast<size_t>(end), '\0');
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

void TMemoryStream::SetSize(int64_t size) {
  data_.resize(static_cast<size_t>(size < 0 ? 0 : size), '\0');
  if (position_ > Size()) position_ = Size();
}

void TMemoryStream::SetPosition(int64_t position) { position_ = position < 0 ? 0 : position; }

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

}  // namespace zud
