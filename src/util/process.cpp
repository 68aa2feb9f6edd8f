#include "util/process.h"

#include <errno.h>
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "util/posix_write.h"

namespace zud {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the handler stores to these flags");
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free, "the handler reads these");
static_assert(std::atomic<int>::is_always_lock_free, "the handlers read and store these");

std::array<std::atomic<std::atomic<bool>*>, 2> armed_flags{};
std::atomic<bool> interrupt_requested{false};
std::atomic<int> interrupt_signal{0};
// Written once before the handlers are installed, read only by them.
char exit_message[256];
size_t exit_message_length = 0;

// The terminal a prompt turned echo off on, and its settings before: the
// handlers put them back before the process ends. The settings are written
// before the descriptor is published.
std::atomic<int> hidden_terminal{-1};
termios hidden_terminal_before{};

void RestoreHiddenTerminal() {
  const int fd = hidden_terminal.load();
  if (fd >= 0) tcsetattr(fd, TCSANOW, &hidden_terminal_before);
}

// Ends the process by signal_number with its default action (only
// async-signal-safe calls); status 130 should the signal not end it.
[[noreturn]] void EndBySignal(int signal_number) {
  if (signal_number > 0) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
    // Inside its own handler the signal is blocked: it would stay pending.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal_number);
  }
  _exit(130);
}

[[noreturn]] void EndAtOnce(int signal_number) {
  RestoreHiddenTerminal();
  [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, exit_message, exit_message_length);
  EndBySignal(signal_number);
}

// A clean stop that has not ended the process by then never will (a send
// blocked on a peer that reads nothing): the process ends regardless.
constexpr unsigned kCleanStopSeconds = 10;

extern "C" void OnInterruptSignal(int signal_number) {
  int none = 0;
  interrupt_signal.compare_exchange_strong(none, signal_number);
  std::atomic<bool>* first = armed_flags[0].load();
  std::atomic<bool>* second = armed_flags[1].load();
  if ((first == nullptr && second == nullptr) || interrupt_requested.exchange(true)) {
    EndAtOnce(signal_number);
  }
  if (first != nullptr) first->store(true);
  if (second != nullptr) second->store(true);
  alarm(kCleanStopSeconds);
}

extern "C" void OnCleanStopOverdue(int) { EndAtOnce(interrupt_signal.load()); }

// Owns a descriptor; closed on every path.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Echo off on a terminal for its own life; the handlers see it meanwhile.
class HiddenEcho {
 public:
  explicit HiddenEcho(int fd) : fd_(fd) {
    termios before{};
    if (tcgetattr(fd, &before) != 0) return;
    termios hidden = before;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    hidden_terminal_before = before;
    hidden_terminal.store(fd);
    // Typed-ahead input was echoed already; a password must not start with it.
    ok_ = tcsetattr(fd, TCSAFLUSH, &hidden) == 0;
  }
  ~HiddenEcho() {
    if (hidden_terminal.load() != fd_) return;
    tcsetattr(fd_, TCSANOW, &hidden_terminal_before);
    hidden_terminal.store(-1);
  }
  HiddenEcho(const HiddenEcho&) = delete;
  HiddenEcho& operator=(const HiddenEcho&) = delete;
  bool ok() const { return ok_; }

 private:
  int fd_;
  bool ok_ = false;
};

using posix::WriteAll;

// One line from the terminal, line end excluded; false at end of input, on
// failure, past kHiddenLineMax or once an interrupt raised armed flags (the
// wait, unlike the read, is not resumed after a signal).
bool ReadTerminalLine(int fd, std::string& line) {
  line.clear();
  bool too_long = false;
  char buffer[256];
  for (;;) {
    pollfd wait{fd, POLLIN, 0};
    const int ready = poll(&wait, 1, -1);
    if (InterruptRequested()) return false;
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    const std::string_view got(buffer, static_cast<size_t>(n));
    const size_t end = got.find('\n');
    const std::string_view part = got.substr(0, end);
    too_long = too_long || line.size() + part.size() > kHiddenLineMax;
    if (!too_long) line.append(part);
    if (end != std::string_view::npos) break;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (too_long) line.clear();
  return !too_long;
}

}  // namespace

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

void LimitMemoryArenas([[maybe_unused]] int arenas) {
#if defined(__GLIBC__)
  mallopt(M_ARENA_MAX, arenas);
#endif
}

void ReturnFreeMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

void InstallInterruptHandler(std::string_view message) {
  exit_message_length = std::min(message.size(), sizeof(exit_message));
  memcpy(exit_message, message.data(), exit_message_length);
  struct sigaction action {};
  action.sa_handler = OnInterruptSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted calls restart: the stop flags, not EINTR, end a transfer.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = OnCleanStopOverdue;
  sigaction(SIGALRM, &action, nullptr);
}

void ArmInterruptFlags(std::atomic<bool>* first, std::atomic<bool>* second) {
  armed_flags[0].store(first);
  armed_flags[1].store(second);
}

bool InterruptRequested() { return interrupt_requested.load(); }

int InterruptSignal() { return interrupt_signal.load(); }

void EndByInterruptSignal() {
  const int signal_number = InterruptSignal();
  if (signal_number == 0) return;
  // The default action ends the process without flushing the C streams.
  fflush(nullptr);
  EndBySignal(signal_number);
}

bool IsStandardInputTerminal() { return isatty(STDIN_FILENO) == 1; }

bool ReadHiddenLine(std::string_view prompt, std::string& line) {
  line.clear();
  const FileDescriptor terminal(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (terminal.get() < 0) return false;
  bool ok;
  {
    const HiddenEcho hidden(terminal.get());
    ok = hidden.ok() && WriteAll(terminal.get(), prompt) && ReadTerminalLine(terminal.get(), line);
  }
  // The Enter that ended the line was not echoed.
  WriteAll(terminal.get(), "\n");
  if (!ok) line.clear();
  return ok;
}

bool ReadEnvironmentVariable(const std::string& name, std::string& value) {
  const char* text = getenv(name.c_str());
  if (text == nullptr) return false;
  value = text;
  return true;
}

std::string HomeDirectory() {
  if (const char* home = getenv("HOME"); home != nullptr && *home != '\0') return home;
  const passwd* entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string LocalUserName() {
  const uid_t uid = geteuid();
  const passwd* entry = getpwuid(uid);
  if (entry != nullptr && entry->pw_name != nullptr && *entry->pw_name != '\0') {
    return entry->pw_name;
  }
  return std::to_string(uid);
}

int64_t CurrentProcessId() { return getpid(); }

std::vector<std::string> DefaultNetrcFiles() {
  const std::string home = HomeDirectory();
  if (home.empty()) return {};
  return {home + "/.netrc"};
}

bool ReadSmallFile(const std::string& path, size_t max_bytes, std::string& content,
                   std::string& error) {
  content.clear();
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = strerror(errno);
    return false;
  }
  struct stat info {};
  bool ok = fstat(fd, &info) == 0;
  if (!ok) error = strerror(errno);
  if (ok && S_ISDIR(info.st_mode)) {
    ok = false;
    error = "Is a directory";
  }
  char buffer[4096];
  while (ok) {
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      error = strerror(errno);
    } else if (n == 0) {
      break;
    } else if (content.size() + static_cast<size_t>(n) > max_bytes) {
      ok = false;
      error = "larger than " + std::to_string(max_bytes) + " bytes";
    } else {
      content.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  if (!ok) content.clear();
  return ok;
}

bool DirectoryExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace zud
