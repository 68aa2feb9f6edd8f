// Windows clock, sleep, local time, locale names and process facts.
#include "util/compat.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "util/win/wide.h"

namespace zud {

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

// The performance counter when the system has one, else the millisecond tick.
uint64_t MonotonicMilliseconds() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f{};
    return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 0;
  }();
  LARGE_INTEGER now{};
  if (frequency == 0 || !QueryPerformanceCounter(&now)) return GetTickCount64();
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
  const uint64_t f = static_cast<uint64_t>(frequency);
  // Split so that the multiplication cannot overflow.
  return ticks / f * 1000u + ticks % f * 1000u / f;
}

TLocalTime LocalTimeNow() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  TLocalTime result;
  result.year = st.wYear;
  result.month = st.wMonth;
  result.day = st.wDay;
  result.hour = st.wHour;
  result.minute = st.wMinute;
  result.second = st.wSecond > 59 ? 59 : st.wSecond;
  result.millisecond = st.wMilliseconds;
  return result;
}

namespace {

// One locale text in UTF-8; "" when the system has none.
std::string LocaleText(LCTYPE type) {
  wchar_t buffer[128] = {};
  const int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buffer, 128);
  std::string text, error;
  if (n <= 1 || !win::FromWide(std::wstring_view(buffer, static_cast<size_t>(n - 1)), text, error)) {
    return std::string();
  }
  return text;
}

}  // namespace

TLocaleTimeNames ReadLocaleTimeNames() {
  static constexpr const char* kEnglish[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static constexpr LCTYPE kAbMon[12] = {
      LOCALE_SABBREVMONTHNAME1,  LOCALE_SABBREVMONTHNAME2,  LOCALE_SABBREVMONTHNAME3,
      LOCALE_SABBREVMONTHNAME4,  LOCALE_SABBREVMONTHNAME5,  LOCALE_SABBREVMONTHNAME6,
      LOCALE_SABBREVMONTHNAME7,  LOCALE_SABBREVMONTHNAME8,  LOCALE_SABBREVMONTHNAME9,
      LOCALE_SABBREVMONTHNAME10, LOCALE_SABBREVMONTHNAME11, LOCALE_SABBREVMONTHNAME12};
  TLocaleTimeNames names;
  for (int i = 0; i < 12; ++i) {
    std::string name = LocaleText(kAbMon[i]);
    names.abbreviated_months[i] = name.empty() ? kEnglish[i] : std::move(name);
  }
  names.am_designator = LocaleText(LOCALE_S1159);
  names.pm_designator = LocaleText(LOCALE_S2359);
  return names;
}

bool IsDebuggerAttached() { return IsDebuggerPresent() != FALSE; }

std::string ExecutablePath() {
  // Long enough for any path the system can give (32767 units, \\?\ included).
  std::wstring buffer(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (n == 0 || n >= buffer.size()) return "";
  std::string path, error;
  return win::FromWide(std::wstring_view(buffer.data(), n), path, error) ? path : "";
}

// Windows names the program by its module file, whatever the command line
// said (a program started as "ftpupload" still calls itself ftpupload.exe).
std::string ProgramPathFromArgument(const std::string& argv0) {
  std::string path = ExecutablePath();
  return path.empty() ? argv0 : path;
}

void PrepareStandardStreams() {
  std::fflush(stdout);
  std::fflush(stderr);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

bool IsStandardErrorTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

namespace {

// A console gets UTF-16 through WriteConsoleW, so that every name shows
// whatever its code page; a pipe or a file gets the UTF-8 bytes unchanged,
// through the C runtime's descriptors, which PrepareStandardStreams put
// into binary mode.
bool WriteAll(int fd, std::string_view text) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (win::IsConsole(handle)) return win::WriteConsoleUtf8(handle, text);
  while (!text.empty()) {
    const unsigned piece = static_cast<unsigned>(std::min<size_t>(text.size(), 1u << 30));
    const int n = _write(fd, text.data(), piece);
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

bool WriteStandardOutput(std::string_view text) { return WriteAll(1, text); }
bool WriteStandardError(std::string_view text) { return WriteAll(2, text); }

// From a console in UTF-16, converted (a lone surrogate ends the line
// there); from a pipe or a file as bytes.
std::string ReadStandardInputLine() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (win::IsConsole(input)) {
    std::wstring typed;
    wchar_t c;
    DWORD n = 0;
    while (ReadConsoleW(input, &c, 1, &n, nullptr) && n == 1 && c != L'\n') {
      if (c != L'\r') typed += c;
    }
    std::string line, error;
    win::FromWide(typed, line, error);
    return line;
  }
  std::string line;
  char c;
  while (_read(0, &c, 1) == 1 && c != '\n') {
    if (c != '\r') line += c;
  }
  return line;
}

bool ReadProgramArguments(int, char**, std::vector<std::string>& arguments, std::string& error) {
  arguments.clear();
  int count = 0;
  const std::unique_ptr<LPWSTR, decltype(&LocalFree)> wide(
      CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
  if (wide == nullptr) {
    error = "cannot read the command line: " + win::SystemMessage(GetLastError());
    return false;
  }
  for (int i = 0; i < count; ++i) {
    std::string argument, why;
    if (!win::FromWide(wide.get()[i], argument, why)) {
      arguments.clear();
      error = "parameter " + std::to_string(i) + " cannot be read as text (" + why + "): " +
              win::FromWideForDisplay(wide.get()[i]);
      return false;
    }
    arguments.push_back(std::move(argument));
  }
  return true;
}

}  // namespace zud
