// The report's JSON strings: every byte carried, nothing that breaks JSON.
#include "frontend/report.h"

#include <gtest/gtest.h>

namespace zud {
namespace {

TEST(JsonStringTest, EscapesWhatJsonCannotCarry) {
  const struct {
    std::string text;
    const char* json;
  } cases[] = {
      {"plain/path.html", R"("plain/path.html")"},
      {"say \"hi\"\\now", R"("say \"hi\"\\now")"},
      {"tab\there\r\n\x7f", R"("tab\u0009here\u000d\u000a\u007f")"},
      {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},  // UTF-8 as it is
      {"caf\xe9", R"("caf\u00e9")"},                      // Latin-1: the byte as its character
      {"\xe2\x82", R"("\u00e2\u0082")"},                  // a cut sequence
      {"\xed\xa0\x80", R"("\u00ed\u00a0\u0080")"},        // a surrogate
      {std::string("nul\0end", 7), R"("nul\u0000end")"},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.text), c.json) << c.text;
}

}  // namespace
}  // namespace zud
