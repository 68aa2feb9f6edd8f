// Local path facts and directory listings on Windows: GetFileAttributesExA for
// the path itself, a handle opened through a reparse point to learn what it
// points at, FindFirstFileA/FindNextFileA for listings.
#include "util/stream.h"

#include <windows.h>

#include <cstring>

namespace zud {

namespace {

// 100-nanosecond ticks from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10000000LL;

int64_t ToUnixSeconds(const FILETIME& time) {
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return (ticks - kUnixEpochTicks) / kTicksPerSecond;
}

std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length != 0 && text != nullptr ? std::string(text, length)
                                                       : "Error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  // "Access is denied.\r\n" reads better inside a sentence without its tail.
  while (!message.empty() &&
         (message.back() == '\r' || message.back() == '\n' || message.back() == '.' ||
          message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

TLocalPathInfo FromError(DWORD code, bool is_link) {
  TLocalPathInfo info;
  info.is_link = is_link;
  info.error = SystemMessage(code);
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_DIRECTORY:
      info.kind = TLocalKind::kMissing;
      break;
    case ERROR_CANT_RESOLVE_FILENAME:  // too many reparse points in a row
      info.kind = TLocalKind::kLinkLoop;
      break;
    default:
      info.kind = TLocalKind::kUnreadable;
      break;
  }
  return info;
}

void Describe(DWORD attributes, DWORD size_high, DWORD size_low, const FILETIME& written,
              TLocalPathInfo& info) {
  info.modified = ToUnixSeconds(written);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    info.kind = TLocalKind::kDirectory;
  } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
    info.kind = TLocalKind::kOther;
    info.error = "a device";
  } else {
    info.kind = TLocalKind::kFile;
    info.size = static_cast<int64_t>((static_cast<uint64_t>(size_high) << 32) | size_low);
  }
}

class THandle {
 public:
  explicit THandle(HANDLE handle) : handle_(handle) {}
  ~THandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

class TFindHandle {
 public:
  explicit TFindHandle(HANDLE handle) : handle_(handle) {}
  ~TFindHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  TFindHandle(const TFindHandle&) = delete;
  TFindHandle& operator=(const TFindHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

TLocalPathInfo QueryLocalPath(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    return FromError(GetLastError(), false);
  }
  TLocalPathInfo info;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    Describe(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime,
             info);
    return info;
  }
  // The attributes above are the link's own; opening the path goes through it.
  // Backup semantics lets the handle be a folder's.
  info.is_link = true;
  const THandle target(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (target.get() == INVALID_HANDLE_VALUE) return FromError(GetLastError(), true);
  BY_HANDLE_FILE_INFORMATION facts{};
  if (!GetFileInformationByHandle(target.get(), &facts)) return FromError(GetLastError(), true);
  Describe(facts.dwFileAttributes, facts.nFileSizeHigh, facts.nFileSizeLow, facts.ftLastWriteTime,
           info);
  return info;
}

bool ListLocalDirectory(const std::string& path, std::vector<std::string>& names,
                        std::string& error) {
  names.clear();
  error.clear();
  const std::string pattern = JoinLocalPath(path, "*");
  WIN32_FIND_DATAA found{};
  const TFindHandle find(FindFirstFileA(pattern.c_str(), &found));
  if (find.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return true;  // a drive's root may have no "." either
    error = SystemMessage(code);
    return false;
  }
  do {
    const char* name = found.cFileName;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    names.emplace_back(name);
  } while (FindNextFileA(find.get(), &found));
  const DWORD code = GetLastError();
  if (code != ERROR_NO_MORE_FILES) {
    error = SystemMessage(code);
    names.clear();
    return false;
  }
  return true;
}

std::string JoinLocalPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  // "C:" + "x" stays relative to that drive's current folder, as the user meant.
  const char last = folder.back();
  if (last == '\\' || last == '/' || last == ':') return folder + name;
  return folder + '\\' + name;
}

}  // namespace zud
