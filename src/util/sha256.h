// SHA-256 (FIPS 180-4): an incremental hasher and hex helpers for whole
// strings and local files. Portable C++, no platform calls of its own; on
// x86 processors that have them, the SHA instructions do the compression.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "util/api.h"

namespace ZUD_API zud {

class TSha256 {
 public:
  // Adds size bytes at data to the message.
  void Update(const void* data, size_t size);
  void Update(std::string_view text) { Update(text.data(), text.size()); }
  // The digest of everything added since construction or the last Final;
  // the hasher then starts a new, empty message.
  std::array<uint8_t, 32> Final();

 private:
  void Compress(const uint8_t* blocks, size_t count);
  void Reset();

  static constexpr std::array<uint32_t, 8> kInitialState = {
      0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

  std::array<uint32_t, 8> state_ = kInitialState;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;  // bytes waiting in buffer_ for a whole block
  uint64_t length_ = 0;  // message bytes so far
};

// Whether the processor's SHA instructions are used (where it has them):
// true by default; false makes every hasher take the portable code, for
// tests and benchmarks. Returns whether they are used from now on.
bool UseSha256Extensions(bool use);

// The 64 lowercase hex digits of a digest.
std::string HexOfDigest(const std::array<uint8_t, 32>& digest);
// Lowercase hex SHA-256 of data.
std::string Sha256Hex(std::string_view data);
// Lowercase hex SHA-256 of the file at path, read in 64 KiB chunks. Throws
// EFileOpenError when the file cannot be opened; "" when a read fails, or
// when stop (asked before each chunk) says to give up.
std::string Sha256HexOfFile(const std::string& path, const std::function<bool()>& stop = {});

}  // namespace zud
