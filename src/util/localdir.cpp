// Local path facts and directory listings over lstat, stat and readdir.
#include "util/localpath.h"
#include "util/stream.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>

namespace zud {

namespace {

// Sorts a failed lstat or stat into what the caller can act on.
TLocalPathInfo FromError(int error, bool is_link) {
  TLocalPathInfo info;
  info.is_link = is_link;
  info.error = std::strerror(error);
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      info.kind = TLocalKind::kMissing;
      break;
    case ELOOP:
      info.kind = TLocalKind::kLinkLoop;
      break;
    default:
      info.kind = TLocalKind::kUnreadable;
      break;
  }
  return info;
}

const char* DescribeOther(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a file or folder";
}

struct TDirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

TLocalPathInfo QueryLocalPath(const std::string& path) {
  struct stat facts {};
  if (::lstat(path.c_str(), &facts) != 0) return FromError(errno, false);
  const bool is_link = S_ISLNK(facts.st_mode);
  if (is_link && ::stat(path.c_str(), &facts) != 0) return FromError(errno, true);

  TLocalPathInfo info;
  info.is_link = is_link;
  info.modified = static_cast<int64_t>(facts.st_mtime);
  info.others_can_read = (facts.st_mode & (S_IRGRP | S_IROTH)) != 0;
  if (S_ISREG(facts.st_mode)) {
    info.kind = TLocalKind::kFile;
    info.size = static_cast<int64_t>(facts.st_size);
  } else if (S_ISDIR(facts.st_mode)) {
    info.kind = TLocalKind::kDirectory;
  } else {
    info.kind = TLocalKind::kOther;
    info.error = DescribeOther(facts.st_mode);
  }
  return info;
}

bool ListLocalDirectory(const std::string& path, std::vector<std::string>& names,
                        std::string& error, std::vector<std::string>* unnamed) {
  names.clear();
  error.clear();
  // Linux names are bytes, each one sent as it is.
  if (unnamed != nullptr) unnamed->clear();
  std::unique_ptr<DIR, TDirCloser> dir(::opendir(path.c_str()));
  if (!dir) {
    error = std::strerror(errno);
    return false;
  }
  for (;;) {
    errno = 0;  // readdir says "the end" and "an error" both with nullptr
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    names.emplace_back(name);
  }
  if (errno != 0) {
    error = std::strerror(errno);
    names.clear();
    return false;
  }
  return true;
}

std::string JoinLocalPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (IsLocalPathSeparator(folder.back())) return folder + name;
  return folder + '/' + name;
}

bool IsLocalPathSeparator(char c) { return c == '/'; }

std::string LocalNameRefusal(std::string_view) { return std::string(); }

}  // namespace zud
