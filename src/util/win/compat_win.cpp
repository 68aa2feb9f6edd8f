// Windows clock, sleep, local time, locale names and process facts.
#include "util/compat.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

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

// One locale text in the ANSI code page; "" when the system has none.
std::string LocaleText(LCTYPE type) {
  char buffer[128] = {};
  const int n = GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buffer, sizeof(buffer));
  return n > 1 ? std::string(buffer, static_cast<size_t>(n - 1)) : std::string();
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
  char buffer[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof(buffer));
  if (n == 0 || n >= sizeof(buffer)) return "";
  return std::string(buffer, n);
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

// Through the C runtime's descriptors, which PrepareStandardStreams put into
// binary mode.
bool WriteAll(int fd, std::string_view text) {
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

std::string ReadStandardInputLine() {
  std::string line;
  char c;
  while (_read(0, &c, 1) == 1 && c != '\n') {
    if (c != '\r') line += c;
  }
  return line;
}

}  // namespace zud
