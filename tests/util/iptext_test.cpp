#include "util/iptext.h"

#include <gtest/gtest.h>

#include <string>

namespace zud {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(IPv4TextTest, Recognition) {
  struct Case {
    const char* text;
    bool valid;
  } cases[] = {
      {"0.0.0.0", true},     {"255.255.255.255", true}, {" 10.0.0.1 ", true},
      {"1. 2 .3.4", true},   {"001.002.003.004", true}, {"127.0.0.1", true},
      {"256.1.1.1", false},  {"1.2.3", false},          {"1..2.3", false},
      {"1.2.3.4.", false},   {"+1.2.3.4", false},       {"a.b.c.d", false},
      {"1.2.3.4.5", false},  {"", false},               {"1.2.3.256", false},
      {"1.2.3.-4", false},   {"::1", false},            {"1.2.3.4 x", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsIPv4Text(c.text), c.valid) << '"' << c.text << '"';
}

TEST(IPv4TextTest, Octets) {
  EXPECT_TRUE(IsOctetText("0"));
  EXPECT_TRUE(IsOctetText("007"));
  EXPECT_TRUE(IsOctetText("0000000255"));
  EXPECT_FALSE(IsOctetText(""));
  EXPECT_FALSE(IsOctetText("256"));
  EXPECT_FALSE(IsOctetText(" 1"));
  EXPECT_FALSE(IsOctetText("99999999999999999999"));
}

TEST(IPv4TextTest, ToBytes) {
  EXPECT_EQ(IPv4ToBytes("10.0.0.1"), Bytes({10, 0, 0, 1}));
  EXPECT_EQ(IPv4ToBytes("1.2"), Bytes({1, 2, 0, 0}));
  EXPECT_EQ(IPv4ToBytes("255.254.253.252"), Bytes({255, 254, 253, 252}));
  EXPECT_EQ(IPv4ToBytes(" 1 . 2 .3.4"), Bytes({1, 2, 3, 4}));
  EXPECT_EQ(IPv4ToBytes("1.2.3.4.5"), Bytes({1, 2, 3, 4}));  // text after the fourth field ignored
  EXPECT_EQ(IPv4ToBytes("257.0.0.0"), Bytes({1, 0, 0, 0}));   // modulo 256
  EXPECT_EQ(IPv4ToBytes(""), Bytes({0, 0, 0, 0}));
}

TEST(IPv6TextTest, Recognition) {
  struct Case {
    const char* text;
    bool valid;
  } cases[] = {
      {"::", true},          {"::1", true},           {":1", true},
      {"1::2", true},        {"1::2::3", false},      {":::1", false},
      {"1", false},          {"12345::1", false},     {"0001::1", true},
      {"1:2:3:4:5:6:7:8:9", false},                   {"1:2", true},
      {"1::", false},        {"1:2:", true},          {"::1:2:3:4:5:6:7", false},
      {"1:2:3:4:5:6:7:8", true},                      {"fe80::1%5", true},
      {"fe80::1%eth0", false}, {"fe80::1%", false},   {"::ffff:1.2.3.4", false},
      {"", false},           {"g::1", false},         {"FFFF::ffff", true},
      {"0x1::1", false},     {"2001:db8::1", true},   {"1:2:3:4:5:6:7::", false},
      // A leading "::" still counts as a field toward the limit of eight.
      {"::2:3:4:5:6:7:8", false}, {"1::3:4:5:6:7:8", true},
  };
  for (const Case& c : cases) EXPECT_EQ(IsIPv6Text(c.text), c.valid) << '"' << c.text << '"';
}

TEST(IPv6TextTest, Expand) {
  EXPECT_EQ(ExpandIPv6Text("::1"), "0:0:0:0:0:0:0:1");
  EXPECT_EQ(ExpandIPv6Text("1::"), "1:0:0:0:0:0:0:0");
  EXPECT_EQ(ExpandIPv6Text("::"), "0:0:0:0:0:0:0:0");
  EXPECT_EQ(ExpandIPv6Text("1::2"), "1:0:0:0:0:0:0:2");
  EXPECT_EQ(ExpandIPv6Text("1:2"), "1:2");
  EXPECT_EQ(ExpandIPv6Text("1:2:3:4:5:6:7:8:9"), "");
  EXPECT_EQ(ExpandIPv6Text(""), "");
}

TEST(IPv6TextTest, TextToBytes) {
  EXPECT_EQ(IPv6TextToBytes("::1"), std::string(15, '\0') + '\x01');
  EXPECT_EQ(IPv6TextToBytes("1::g"), std::string(16, '\0'));
  EXPECT_EQ(IPv6TextToBytes("fe80::1%5"), std::string(16, '\0'));
  EXPECT_EQ(IPv6TextToBytes("1:2:3:4:5:6:7:8:9"), std::string(16, '\0'));
  EXPECT_EQ(IPv6TextToBytes("2001:DB8::ff00:42"),
            Bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0x00, 0x00, 0x42}));
  EXPECT_EQ(IPv6TextToBytes("1:2"), Bytes({0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(IPv6TextTest, BytesToCompressedText) {
  struct Case {
    std::string bytes;
    const char* text;
  } cases[] = {
      {std::string(16, '\0'), "::0"},
      {Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
      {Bytes({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "1::"},
      {Bytes({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}), "1::2"},
      {Bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}), "2001:db8::1:0:0:1"},
      {Bytes({0, 1, 0, 0, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7}), "1::2:3:4:5:6:7"},
      {Bytes({0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}), "1:2:3:4:5:6:7:8"},
      {Bytes({0, 0xa, 0, 0, 0, 0xb, 0, 0, 0, 0xc, 0, 0, 0, 0, 0, 0xd}), "a:0:b:0:c::d"},
      {Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4}), "::ffff:102:304"},
      {Bytes({0xAB, 0xCD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}), "abcd::ffff"},
      {Bytes({0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1}), "::1:0:1:0:1:0:1"},
  };
  for (const Case& c : cases) EXPECT_EQ(IPv6BytesToText(c.bytes), c.text);
  // The longest form fits in 39 characters.
  EXPECT_EQ(IPv6BytesToText(std::string(16, '\xFF')).size(), 39u);
}

TEST(IPv6TextTest, AcceptedTextRoundTripsToCompressedForm) {
  struct Case {
    const char* text;
    const char* round_trip;
  } cases[] = {
      {"::1", "::1"},   {"FE80::A", "fe80::a"}, {"1:2", "1:2::"},
      {"::", "::0"},    {"0001::1", "1::1"},    {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(IsIPv6Text(c.text)) << c.text;
    EXPECT_EQ(IPv6BytesToText(IPv6TextToBytes(c.text)), c.round_trip) << c.text;
  }
}

}  // namespace
}  // namespace zud
