#include "sockets/socketerrors.h"

#include <gtest/gtest.h>

namespace zud {
namespace {

TEST(SocketErrorTextTest, TableEntries) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {
      {0, ""},
      {10004, "Interrupted system call"},
      {10041, "Protocol wrong type for Socket"},
      {10049, "Can't assign requested address"},
      {10053, "Software caused connection abort"},
      {10054, "Connection reset by peer"},
      {10055, "No Buffer space available"},
      {10059, "Too many references:can't splice"},
      {10060, "Connection timed out"},
      {10061, "Connection refused"},
      {10071, "Too many levels of remote in path"},
      {10091, "Network subsystem is unusable"},
      {10092, "Winsock DLL cannot support this application"},
      {10101, "Disconnect"},
      {11002, "Non authoritative - host not found"},
      {11003, "Non recoverable error"},
      {11004, "Valid name, no data record of requested type"},
  };
  for (const Case& c : cases) EXPECT_EQ(GetErrorDesc(c.code), c.text) << c.code;
}

TEST(SocketErrorTextTest, CodesWithoutEntry) {
  for (int code : {12345, 10003, 10072, 10090, 10094, 11000, 11005, 1, 10000}) {
    EXPECT_EQ(GetErrorDesc(code), "Other Winsock error (" + std::to_string(code) + ")");
  }
  EXPECT_EQ(GetErrorDesc(-1), "Other Winsock error (-1)");
  EXPECT_EQ(GetErrorDesc(INT32_MIN), "Other Winsock error (-2147483648)");
}

TEST(SocketErrorTextTest, FiftyOneCodesHaveTexts) {
  int with_text = 0;
  for (int code = 10000; code <= 11010; ++code) {
    with_text += GetErrorDesc(code).rfind("Other Winsock error", 0) != 0;
  }
  EXPECT_EQ(with_text, 51);  // plus code 0, whose text is empty
}

}  // namespace
}  // namespace zud
