#include "util/compat.h"

#include <errno.h>
#include <langinfo.h>
#include <locale.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <string_view>

#include "util/posix_write.h"
#include "util/process.h"

namespace zud {

void SleepMilliseconds(uint32_t milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec req{static_cast<time_t>(milliseconds / 1000),
               static_cast<long>(milliseconds % 1000) * 1000000L};
  timespec rem{};
  // A signal must not cut the sleep short.
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

uint64_t MonotonicMilliseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

TLocalTime LocalTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  TLocalTime result;
  if (localtime_r(&ts.tv_sec, &parts) == nullptr) return result;
  result.year = parts.tm_year + 1900;
  result.month = parts.tm_mon + 1;
  result.day = parts.tm_mday;
  result.hour = parts.tm_hour;
  result.minute = parts.tm_min;
  // A leap second (60) is folded into the last ordinary second.
  result.second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
  result.millisecond = static_cast<int>(ts.tv_nsec / 1000000L);
  return result;
}

TLocaleTimeNames ReadLocaleTimeNames() {
  static constexpr const char* kEnglish[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  TLocaleTimeNames names;
  for (int i = 0; i < 12; ++i) names.abbreviated_months[i] = kEnglish[i];
  names.am_designator = "AM";
  names.pm_designator = "PM";

  // "" takes the category from the environment, as setlocale would, but only
  // for this private locale object.
  locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return names;
  static constexpr nl_item kAbMon[12] = {ABMON_1, ABMON_2, ABMON_3, ABMON_4,  ABMON_5,  ABMON_6,
                                         ABMON_7, ABMON_8, ABMON_9, ABMON_10, ABMON_11, ABMON_12};
  for (int i = 0; i < 12; ++i) {
    const char* name = nl_langinfo_l(kAbMon[i], loc);
    if (name != nullptr && *name != '\0') names.abbreviated_months[i] = name;
  }
  const char* am = nl_langinfo_l(AM_STR, loc);
  const char* pm = nl_langinfo_l(PM_STR, loc);
  names.am_designator = am != nullptr ? am : "";
  names.pm_designator = pm != nullptr ? pm : "";
  freelocale(loc);
  return names;
}

bool IsDebuggerAttached() {
  // Read with plain calls: a file stream would set up the C++ locale
  // machinery, a large share of a short run's memory.
  std::string status, error;
  if (!ReadSmallFile("/proc/self/status", 64 * 1024, status, error)) return false;
  constexpr std::string_view kTracer = "\nTracerPid:";
  const size_t at = status.find(kTracer);
  if (at == std::string::npos) return false;
  const size_t digit = status.find_first_not_of(" \t", at + kTracer.size());
  return digit != std::string::npos && status[digit] != '0';
}

bool ReadProgramArguments(int argc, char** argv, std::vector<std::string>& arguments,
                          std::string& error) {
  arguments.clear();
  error.clear();
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
  return true;
}

std::string ExecutablePath() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(buffer)) return "";
  return std::string(buffer, static_cast<size_t>(n));
}

std::string ProgramPathFromArgument(const std::string& argv0) {
  return argv0.empty() ? ExecutablePath() : argv0;
}

void PrepareStandardStreams() {}

bool IsStandardErrorTerminal() { return isatty(STDERR_FILENO) == 1; }

namespace {

using posix::WriteAll;

}  // namespace

bool WriteStandardOutput(std::string_view text) { return WriteAll(STDOUT_FILENO, text); }
bool WriteStandardError(std::string_view text) { return WriteAll(STDERR_FILENO, text); }

std::string ReadStandardInputLine() {
  std::string line;
  char c;
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') return line;
    line += c;
  }
}

}  // namespace zud
