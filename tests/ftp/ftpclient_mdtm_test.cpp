// TFTPSend modify times (MDTM, MFMT) and feature lookup, against a scripted
// server: the exact command text, strict reply parsing, one FEAT per
// connection.
#include "ftp/ftpclient.h"

#include <cstdint>
#include <string>
#include <vector>

#include "ftp/ftpclient_transfer_support.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace zud::test {
namespace {

using ::testing::ElementsAre;

constexpr int64_t kLeapDayEnd = 1709251199;  // 2024-02-29 23:59:59 UTC

TEST(ModifyTimeTest, ReadsMdtmStrictly) {
  const struct {
    const char* reply;
    int64_t expected;
  } cases[] = {
      {"213 20240229235959", kLeapDayEnd},
      {"213 20240229235959.123", kLeapDayEnd},
      {"213 19700101000000", 0},
      {"213 19691231235958", -2},
      {"213 99991231235959", 253402300799},
      {"550 No such file.", -1},
      {"502 Command not implemented.", -1},
      {"250 20240229235959", -1},          // class 2, but not 213
      {"213 2024022923595", -1},           // 13 digits
      {"213 191240229235959", -1},         // the year-2000 bug: 15 digits
      {"213 20240229235959.", -1},         // empty fraction
      {"213 20240229235959.1x", -1},
      {"213 20240229235959Z", -1},
      {"213 2024-02-29T23:59", -1},
      {"213 +0240229235959", -1},
      {"213 20241301000000", -1},          // month 13
      {"213 20230229000000", -1},          // no leap day in 2023
      {"213 20240100000000", -1},          // day 0
      {"213 20240229240000", -1},          // hour 24
      {"213 20240229236000", -1},          // minute 60
      {"213 20240229235960", -1},          // second 60
      {"213 00000101000000", -1},          // year 0
      {"213 ", -1},
  };
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    talk.server.ReplyTo("MDTM", c.reply);
    EXPECT_EQ(talk.ftp.RemoteModifyTime("dir/a file.txt"), c.expected);
    EXPECT_EQ(talk.Commands().back(), "MDTM dir/a file.txt");
  }
  EXPECT_EQ(talk.Commands().size(), std::size(cases));
}

TEST(ModifyTimeTest, SetsWithMfmt) {
  const struct {
    int64_t seconds;
    const char* reply;
    const char* command;  // nullptr: nothing sent
    bool expected;
  } cases[] = {
      {kLeapDayEnd, "213 Modify=20240229235959; a.txt", "MFMT 20240229235959 a.txt", true},
      {0, "213 Modify=19700101000000; a.txt", "MFMT 19700101000000 a.txt", true},
      {-1, "213 Modify=19691231235959; a.txt", "MFMT 19691231235959 a.txt", true},
      {253402300799, "213 ok", "MFMT 99991231235959 a.txt", true},
      {-62135596800, "213 ok", "MFMT 00010101000000 a.txt", true},
      {kLeapDayEnd, "550 Permission denied.", "MFMT 20240229235959 a.txt", false},
      {kLeapDayEnd, "502 Command not implemented.", "MFMT 20240229235959 a.txt", false},
      {253402300800, "213 ok", nullptr, false},  // year 10000
      {-62135596801, "213 ok", nullptr, false},  // before year 1
  };
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    talk.server.ReplyTo("MFMT", c.reply);
    const size_t before = talk.Commands().size();
    EXPECT_EQ(talk.ftp.SetRemoteModifyTime("a.txt", c.seconds), c.expected);
    const std::vector<std::string> commands = talk.Commands();
    if (c.command == nullptr) {
      EXPECT_EQ(commands.size(), before);
    } else {
      ASSERT_EQ(commands.size(), before + 1);
      EXPECT_EQ(commands.back(), c.command);
    }
  }
}

TEST(ModifyTimeTest, HasFeatureMatchesFirstWordOnceAConnection) {
  const struct {
    const char* name;
    bool expected;
  } cases[] = {
      {"MFMT", true}, {"mfmt", true},    {"Mlst", true},  {"UTF8", true},  {"REST", true},
      {"STREAM", false},  // a parameter, not a feature
      {"MDT", false},     {"SIZES", false}, {"", false},    {"TVFS", false},
  };
  ScriptedConversation talk;
  talk.server.ReplyTo("FEAT",
                      "211-Features:\r\n MDTM\r\n MFMT\r\n mlst size*;modify*;\r\n SIZE\r\n"
                      " UTF8\r\n REST STREAM\r\n211 End");
  ASSERT_TRUE(talk.SignIn());
  for (const auto& c : cases) EXPECT_EQ(talk.ftp.HasFeature(c.name), c.expected) << c.name;
  EXPECT_TRUE(talk.ftp.HasMachineListing());
  EXPECT_THAT(talk.Commands(), ElementsAre("FEAT"));

  // A new connection may reach another server: FEAT is asked again, and a
  // server without it offers nothing.
  talk.server.ReplyTo("FEAT", "502 Command not implemented.");
  ASSERT_TRUE(talk.SignIn());
  EXPECT_FALSE(talk.ftp.HasFeature("MDTM"));
  EXPECT_FALSE(talk.ftp.HasFeature("SIZE"));
  EXPECT_THAT(talk.Commands(), ElementsAre("FEAT"));
}

}  // namespace
}  // namespace zud::test
