// Internal to the Windows util files: the edge where the library's UTF-8
// meets the system's UTF-16. Every file and folder call goes through the
// wide API with a path made here, so that no name passes through an ANSI
// code page and paths past MAX_PATH work without the system's long-path
// policy; console text goes out as UTF-16 too.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <utility>

namespace zud::win {

// The wide form of a UTF-8 path for a file call. A path whose full form
// reaches kShortPathLimit is handed over in the extended-length form
// ("\\?\C:\...", "\\?\UNC\server\share\..."), made from GetFullPathNameW so
// that "/", "." and ".." mean what they mean in a short path. False with a
// reason for people when the path is not well-formed UTF-8.
bool WidePath(const std::string& path, std::wstring& wide, std::string& error);
// Past this many characters CreateDirectoryW needs the extended form (it
// keeps room for an 8.3 name below MAX_PATH); so does every other call.
inline constexpr size_t kShortPathLimit = MAX_PATH - 12;

// Strict conversions at the edge; false with a reason (see util/unicode.h).
bool ToWide(std::string_view text, std::wstring& wide, std::string& error);
bool FromWide(std::wstring_view wide, std::string& text, std::string& error);
// For text that is only shown (system messages): never fails.
std::string FromWideForDisplay(std::wstring_view wide);

// The system's text for an error code, in UTF-8, without its closing
// period and line end ("Access is denied").
std::string SystemMessage(DWORD code);

// Writes UTF-8 text to a console as UTF-16 (WriteConsoleW), so that every
// character shows whatever the console's code page; a byte outside a
// well-formed sequence shows as U+FFFD. False when the console refuses.
bool WriteConsoleUtf8(HANDLE console, std::string_view text);
// True when handle is a console (a pipe or a file is not).
bool IsConsole(HANDLE handle);

// Owns a handle from CreateFileW; closed on every path.
class THandle {
 public:
  explicit THandle(HANDLE handle) : handle_(handle) {}
  ~THandle() {
    if (valid()) CloseHandle(handle_);
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  // Gives the handle up to a new owner.
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

}  // namespace zud::win
