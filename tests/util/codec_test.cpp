#include "util/codec.h"

#include <gtest/gtest.h>

#include <string>

namespace zud {
namespace {

TEST(Base64Test, Rfc4648Vectors) {
  struct Case {
    std::string data, encoded;
  } cases[] = {
      {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},
      {"ab", "YWI="},     {"a", "YQ=="},
      {"user:pass", "dXNlcjpwYXNz"},
      {std::string("\0\0\0", 3), "AAAA"},
      {"\xFF\xFF\xFF", "////"},
      {"\xFB\xEF", "++8="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ConvertToBase64(c.data), c.encoded) << testing::PrintToString(c.data);
  }
}

TEST(Base64Test, OutputLengthIsFourPerStartedTriplet) {
  std::string data;
  for (int n = 0; n < 50; ++n) {
    EXPECT_EQ(ConvertToBase64(data).size(), static_cast<size_t>((n + 2) / 3 * 4));
    data.push_back(static_cast<char>(n * 37));
  }
}

TEST(EncodeTripletsTest, ShortAlphabetDropsPadding) {
  const std::string alphabet64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  EXPECT_EQ(EncodeTriplets("a", alphabet64), "YQ");
  EXPECT_EQ(EncodeTriplets("ab", alphabet64), "YWI");
  EXPECT_EQ(EncodeTriplets("abc", alphabet64), "YWJj");
  EXPECT_EQ(EncodeTriplets("abc", ""), "");
}

}  // namespace
}  // namespace zud
