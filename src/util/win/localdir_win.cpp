// Local path facts and directory listings on Windows, all through the wide
// API with paths from WidePath: GetFileAttributesExW for the path itself, a
// handle opened through a reparse point to learn what it points at,
// FindFirstFileExW/FindNextFileW for listings.
#include <windows.h>

#include "util/localpath.h"
#include "util/stream.h"
#include "util/win/wide.h"

namespace zud {

using win::SystemMessage;
using win::THandle;

namespace {

// 100-nanosecond ticks from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10000000LL;

// Whole seconds, rounded towards the past as Linux's st_mtime is, so that
// both platforms record the same second for the same file, before 1970 too.
int64_t ToUnixSeconds(const FILETIME& time) {
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  const int64_t since = ticks - kUnixEpochTicks;
  return since / kTicksPerSecond - (since % kTicksPerSecond < 0 ? 1 : 0);
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
    case ERROR_BAD_NET_NAME:
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
  std::wstring wide;
  std::string error;
  if (!win::WidePath(path, wide, error)) {
    TLocalPathInfo info;
    info.kind = TLocalKind::kUnreadable;
    info.error = error;
    return info;
  }
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
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
  const THandle target(CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!target.valid()) return FromError(GetLastError(), true);
  BY_HANDLE_FILE_INFORMATION facts{};
  if (!GetFileInformationByHandle(target.get(), &facts)) return FromError(GetLastError(), true);
  Describe(facts.dwFileAttributes, facts.nFileSizeHigh, facts.nFileSizeLow, facts.ftLastWriteTime,
           info);
  return info;
}

bool ListLocalDirectory(const std::string& path, std::vector<std::string>& names,
                        std::string& error, std::vector<std::string>* unnamed) {
  names.clear();
  error.clear();
  if (unnamed != nullptr) unnamed->clear();
  std::wstring pattern;
  if (!win::WidePath(JoinLocalPath(path, "*"), pattern, error)) return false;
  WIN32_FIND_DATAW found{};
  // The basic information only: no 8.3 names to look up.
  const TFindHandle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                          FindExSearchNameMatch, nullptr, 0));
  if (find.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return true;  // a drive's root may have no "." either
    error = SystemMessage(code);
    return false;
  }
  do {
    const std::wstring_view wide(found.cFileName);
    if (wide == L"." || wide == L"..") continue;
    std::string name, why;
    if (win::FromWide(wide, name, why)) {
      names.push_back(std::move(name));
    } else if (unnamed != nullptr) {
      unnamed->push_back(win::FromWideForDisplay(wide));
    }
  } while (FindNextFileW(find.get(), &found));
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
  if (IsLocalPathSeparator(last) || last == ':') return folder + name;
  return folder + '\\' + name;
}

bool IsLocalPathSeparator(char c) { return c == '\\' || c == '/'; }

std::string LocalNameRefusal(std::string_view name) { return WindowsNameRefusal(name); }

}  // namespace zud
