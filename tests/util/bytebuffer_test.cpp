#include "util/bytebuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace zud {
namespace {

// The socket line buffer relies on resize keeping what it holds, whether the
// storage grows or is reused, and on release giving everything back.
TEST(ByteBufferTest, ResizeKeepsTheHeldBytes) {
  TByteBuffer buffer;
  EXPECT_EQ(buffer.size(), 0u);
  buffer.resize(5);
  std::memcpy(buffer.data(), "hello", 5);
  const char* first_storage = buffer.data();

  buffer.resize(3);  // shrinking keeps the storage and the first bytes
  EXPECT_EQ(buffer.data(), first_storage);
  buffer.resize(5);  // growing back within the storage keeps all of them
  EXPECT_EQ(buffer.data(), first_storage);
  EXPECT_EQ(std::string(buffer.data(), 5), "hello");

  buffer.resize(70000);  // growing beyond it moves them
  EXPECT_EQ(buffer.size(), 70000u);
  EXPECT_EQ(std::string(buffer.data(), 5), "hello");
  buffer[69999] = 'x';
  EXPECT_EQ(buffer[69999], 'x');

  buffer.release();
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(buffer.data(), nullptr);
  buffer.resize(2);
  EXPECT_EQ(buffer.size(), 2u);
}

}  // namespace
}  // namespace zud
