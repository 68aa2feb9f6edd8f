// The deploy lock's owner record: written, read back, and trusted in nothing
// (it comes from the server).
#include "deploy/synclock.h"

#include <gtest/gtest.h>

#include <string>

namespace zud {
namespace {

TEST(LockOwnerTest, ReadsWhatItWritesAndRejectsAnythingElse) {
  const TLockOwner owner{"ci", "runner 7", 4242, 1765181411, 1765182011, "0f3c9a1e5b7d2c48"};
  EXPECT_EQ(ParseLockOwner(FormatLockOwner(owner)), owner);
  // Line ends and tabs in a name cannot break the record.
  const TLockOwner odd{"a\tb", "c\nd", 1, 2, 3, "t"};
  EXPECT_EQ(ParseLockOwner(FormatLockOwner(odd))->host, "c?d");

  const std::string head = "ftpupload-lock 1\n";
  const std::string rest = "host\th\npid\t1\nsince\t2\nalive\t3\ntoken\tt\n";
  const struct {
    std::string text;
    const char* why;
  } bad[] = {
      {"", "empty"},
      {"ftpupload-lock 2\nuser\tu\n" + rest, "version"},
      {head + rest, "no user"},
      {head + "user\tu\n" + rest + "user\tv\n", "repeated"},
      {head + "user\tu\n" + rest.substr(0, rest.size() - 1), "cut short"},
      {head + "user\tu\nhost\th\npid\tx\nsince\t2\nalive\t3\ntoken\tt\n", "bad pid"},
      {head + "user\tu\nhost\th\npid\t1\nsince\t-2\nalive\t3\ntoken\tt\n", "negative time"},
      {head + "user\n" + rest, "no tab"},
      {head + "user\tu\n" + rest + std::string(5000, 'x') + "\n", "too long"},
  };
  for (const auto& c : bad) {
    std::string error;
    EXPECT_FALSE(ParseLockOwner(c.text, &error)) << c.why;
    EXPECT_FALSE(error.empty()) << c.why;
  }
  EXPECT_EQ(DescribeLockOwner(owner, 1765182191),
            "ci on runner 7 (process 4242) since 2025-12-08 08:10:11 UTC, 13 minutes ago, "
            "last sign of life 3 minutes ago");
}

}  // namespace
}  // namespace zud
