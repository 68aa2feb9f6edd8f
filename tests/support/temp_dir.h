// A temporary directory that is removed, with everything in it, when the
// object goes away: also when the test fails or throws.
//
//   TempDir dir;                          // $TMPDIR or /tmp: zud-test-XXXXXX
//   ASSERT_TRUE(dir.ok()) << dir.error();
//   dir.Write("sub/data.bin", "hello");   // parents are created
//   EXPECT_EQ(dir.Read("sub/data.bin"), "hello");
//   EXPECT_FALSE(dir.Read("missing"));    // std::nullopt
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zud::test {

class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "zud-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& error() const { return error_; }
  const std::filesystem::path& path() const { return path_; }
  // A path below the directory; leading '/' of relative are ignored, so an
  // FTP-style "/dir/file" stays inside too.
  std::filesystem::path operator/(std::string_view relative) const;

  // Writes (replaces) a file below the directory, creating its parents.
  bool Write(std::string_view relative, std::string_view content) const;
  std::optional<std::string> Read(std::string_view relative) const;
  bool Exists(std::string_view relative) const;
  bool MakeDir(std::string_view relative) const;

 private:
  std::filesystem::path path_;
  std::string error_;
};

// base / relative, with leading '/' of relative ignored.
std::filesystem::path PathBelow(const std::filesystem::path& base, std::string_view relative);

// Whole-file helpers for any path; Read gives std::nullopt when it cannot.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& path);
bool WriteFileBytes(const std::filesystem::path& path, std::string_view content);

}  // namespace zud::test
