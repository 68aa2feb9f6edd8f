#include "util/version.h"

#include <gtest/gtest.h>

#include <string>

namespace zud {
namespace {

// The macros, the string and the library's own answer come from one
// project(VERSION); a stale generated header or a hand-edited one shows here.
TEST(VersionTest, MacrosStringAndLibraryAgree) {
  const std::string parts = std::to_string(ZUD_VERSION_MAJOR) + "." +
                            std::to_string(ZUD_VERSION_MINOR) + "." +
                            std::to_string(ZUD_VERSION_PATCH);
  EXPECT_EQ(parts, ZUD_VERSION_STRING);
  EXPECT_EQ(VersionText(), ZUD_VERSION_STRING);
}

}  // namespace
}  // namespace zud
