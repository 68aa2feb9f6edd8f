#include "util/win/wide.h"

#include <algorithm>

#include "util/unicode.h"

namespace zud::win {
namespace {

constexpr std::wstring_view kExtendedPrefix = L"\\\\?\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The full form of path (current folder and drive applied, "/" turned into
// "\", "." and ".." resolved); path itself when the system cannot say.
std::wstring FullPath(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  for (int tries = 0; tries < 2; ++tries) {
    const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(),
                                     nullptr);
    if (n == 0) return path;
    if (n < full.size()) {
      full.resize(n);
      return full;
    }
    full.assign(n, L'\0');  // n counts the terminating NUL here
  }
  return path;
}

}  // namespace

bool ToWide(std::string_view text, std::wstring& wide, std::string& error) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");
  std::u16string units;
  if (!Utf8ToUtf16(text, units, error)) {
    wide.clear();
    return false;
  }
  wide.assign(reinterpret_cast<const wchar_t*>(units.data()), units.size());
  return true;
}

bool FromWide(std::wstring_view wide, std::string& text, std::string& error) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()),
                     text, error);
}

std::string FromWideForDisplay(std::wstring_view wide) {
  return Utf16ForDisplay(
      std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

bool WidePath(const std::string& path, std::wstring& wide, std::string& error) {
  if (!ToWide(path, wide, error)) {
    error = "the name is not valid UTF-8: " + error;
    return false;
  }
  if (wide.empty() || StartsWith(wide, kExtendedPrefix) || StartsWith(wide, kDevicePrefix)) {
    return true;
  }
  // A relative path is as long as the current folder makes it.
  const std::wstring full = FullPath(wide);
  if (full.size() < kShortPathLimit || StartsWith(full, kDevicePrefix)) return true;
  if (StartsWith(full, L"\\\\")) {
    wide = std::wstring(kExtendedPrefix) + L"UNC\\" + full.substr(2);
  } else {
    wide = std::wstring(kExtendedPrefix) + full;
  }
  return true;
}

bool WriteConsoleUtf8(HANDLE console, std::string_view text) {
  const std::u16string wide = Utf8ToUtf16ForDisplay(text);
  std::wstring_view rest(reinterpret_cast<const wchar_t*>(wide.data()), wide.size());
  while (!rest.empty()) {
    DWORD written = 0;
    // Pieces well below the 64 KiB that older consoles take in one call.
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(rest.size(), 8192));
    if (!WriteConsoleW(console, rest.data(), piece, &written, nullptr) || written == 0) return false;
    rest.remove_prefix(written);
  }
  return true;
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

std::string SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = length != 0 && text != nullptr
                            ? FromWideForDisplay(std::wstring_view(text, length))
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

}  // namespace zud::win
