#include "support/temp_dir.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "support/net.h"

namespace zud::test {

TempDir::TempDir(std::string_view prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" +
                        std::string(prefix) + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    error_ = "mkdtemp " + pattern + ": " + ErrnoText(errno);
    return;
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  if (!ec) return;
  // A test may have left a directory without write or search permission;
  // give everything back to the owner and try once more.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::operator/(std::string_view relative) const {
  return PathBelow(path_, relative);
}

bool TempDir::Write(std::string_view relative, std::string_view content) const {
  std::filesystem::path target = *this / relative;
  std::error_code ec;
  std::filesystem::create_directories(target.parent_path(), ec);
  return WriteFileBytes(target, content);
}

std::optional<std::string> TempDir::Read(std::string_view relative) const {
  return ReadFileBytes(*this / relative);
}

bool TempDir::Exists(std::string_view relative) const {
  std::error_code ec;
  return std::filesystem::exists(*this / relative, ec);
}

bool TempDir::MakeDir(std::string_view relative) const {
  std::error_code ec;
  std::filesystem::create_directories(*this / relative, ec);
  return !ec;
}

std::filesystem::path PathBelow(const std::filesystem::path& base, std::string_view relative) {
  while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
  return base / std::filesystem::path(relative);
}

std::optional<std::string> ReadFileBytes(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return std::move(content).str();
}

bool WriteFileBytes(const std::filesystem::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

}  // namespace zud::test
