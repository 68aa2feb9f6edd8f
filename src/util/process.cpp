#include "util/process.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace zud {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the handler stores to these flags");
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free, "the handler reads these");

std::array<std::atomic<std::atomic<bool>*>, 2> armed_flags{};
std::atomic<bool> interrupt_requested{false};
// Written once before the handlers are installed, read only by them.
char exit_message[256];
size_t exit_message_length = 0;

void EndAtOnce() {
  [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, exit_message, exit_message_length);
  _exit(130);
}

// A clean stop that has not ended the process by then never will (a send
// blocked on a peer that reads nothing): the process ends regardless.
constexpr unsigned kCleanStopSeconds = 10;

extern "C" void OnInterruptSignal(int) {
  std::atomic<bool>* first = armed_flags[0].load();
  std::atomic<bool>* second = armed_flags[1].load();
  if ((first == nullptr && second == nullptr) || interrupt_requested.exchange(true)) EndAtOnce();
  if (first != nullptr) first->store(true);
  if (second != nullptr) second->store(true);
  alarm(kCleanStopSeconds);
}

extern "C" void OnCleanStopOverdue(int) { EndAtOnce(); }

}  // namespace

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

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
