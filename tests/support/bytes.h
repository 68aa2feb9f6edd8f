// Byte strings for scripted peers, written as text or as byte values, and the
// hex dumps that assertion messages show.
//
//   const Bytes kGreeting = {
//       0x05,  // Version
//       0x01,  // Number of methods
//       0x00,  // No authentication
//   };
//   peer.Expect(kGreeting).Send({0x05, 0x00});
//   peer.Expect("CONNECT 127.0.0.1:21 HTTP/1.0\r\n\r\n");
//   peer.Send(Bytes{0x05, 0x00, 0x00, 0x01, 127, 0, 0, 1} + PortBytes(2121));
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace zud::test {

class Bytes {
 public:
  Bytes() = default;
  // Implicit on purpose: step arguments read as plain lists and literals.
  Bytes(std::initializer_list<uint8_t> values);  // NOLINT
  Bytes(const char* text) : data_(text) {}       // NOLINT
  Bytes(std::string_view text) : data_(text) {}  // NOLINT
  Bytes(std::string text) : data_(std::move(text)) {}  // NOLINT
  template <size_t N>
  Bytes(const uint8_t (&values)[N])  // NOLINT
      : data_(reinterpret_cast<const char*>(values), N) {}

  const std::string& str() const { return data_; }
  std::string_view view() const { return data_; }
  size_t size() const { return data_.size(); }
  bool empty() const { return data_.empty(); }

  Bytes operator+(const Bytes& other) const { return Bytes(data_ + other.data_); }
  friend bool operator==(const Bytes&, const Bytes&) = default;

 private:
  std::string data_;
};

// A port number as two bytes, most significant first (SOCKS wire order).
Bytes PortBytes(int port);

// Classic 16-bytes-per-line dump: offset, hex bytes, printable ASCII.
std::string HexDump(std::string_view data);

// "" when equal; otherwise where the two first differ and both hex dumps.
std::string DescribeMismatch(std::string_view expected, std::string_view actual);

}  // namespace zud::test
