// Process-level services on Windows: console control events instead of
// signals, the environment block, the user profile as home directory, and
// local files through the C runtime in binary mode.
#include "util/process.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace zud {
namespace {

std::array<std::atomic<std::atomic<bool>*>, 2> armed_flags{};
std::atomic<bool> interrupt_requested{false};
std::atomic<int> interrupt_signal{0};
// Written once before the handler is installed, read only by it.
char exit_message[256];
size_t exit_message_length = 0;

// The console input a prompt turned echo off on, and its mode before: the
// handler puts it back before the process ends (the console outlives us).
// The mode is written before the handle is published.
std::atomic<HANDLE> hidden_console{nullptr};
DWORD hidden_console_mode = 0;

void EndAtOnce() {
  if (HANDLE console = hidden_console.load(); console != nullptr) {
    SetConsoleMode(console, hidden_console_mode);
  }
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), exit_message, static_cast<DWORD>(exit_message_length),
            &written, nullptr);
  ExitProcess(130);
}

// A clean stop that has not ended the process by then never will.
constexpr DWORD kCleanStopMilliseconds = 10000;

// Runs on a thread of its own that the system starts for each event, so it
// may wait: a second event meanwhile ends the process from its own thread.
// Windows cannot end a process by a signal: the status is 130 either way.
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  int none = 0;
  interrupt_signal.compare_exchange_strong(none, event == CTRL_C_EVENT ? SIGINT : SIGTERM);
  std::atomic<bool>* first = armed_flags[0].load();
  std::atomic<bool>* second = armed_flags[1].load();
  if ((first == nullptr && second == nullptr) || interrupt_requested.exchange(true)) EndAtOnce();
  if (first != nullptr) first->store(true);
  if (second != nullptr) second->store(true);
  Sleep(kCleanStopMilliseconds);
  EndAtOnce();
  return TRUE;
}

// Owns a handle; closed on every path.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

HANDLE OpenConsole(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// Echo off on the console input for its own life; the handler sees it meanwhile.
class HiddenEcho {
 public:
  explicit HiddenEcho(HANDLE input) : input_(input) {
    DWORD before = 0;
    if (!GetConsoleMode(input, &before)) return;
    hidden_console_mode = before;
    hidden_console.store(input);
    ok_ = SetConsoleMode(input, (before & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) |
                                    ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) != 0;
  }
  ~HiddenEcho() {
    if (hidden_console.load() != input_) return;
    SetConsoleMode(input_, hidden_console_mode);
    hidden_console.store(nullptr);
  }
  HiddenEcho(const HiddenEcho&) = delete;
  HiddenEcho& operator=(const HiddenEcho&) = delete;
  bool ok() const { return ok_; }

 private:
  HANDLE input_;
  bool ok_ = false;
};

bool WriteConsoleText(HANDLE output, std::string_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    if (!WriteConsoleA(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written == 0) {
      return false;
    }
    text.remove_prefix(written);
  }
  return true;
}

// One line, line end excluded; false on failure, past kHiddenLineMax, or when
// Ctrl-C cut the read short (it then returns no characters).
bool ReadConsoleLine(HANDLE input, std::string& line) {
  line.clear();
  bool too_long = false;
  char buffer[256];
  for (;;) {
    DWORD n = 0;
    if (!ReadConsoleA(input, buffer, sizeof(buffer), &n, nullptr) || n == 0) return false;
    if (InterruptRequested()) return false;
    const std::string_view got(buffer, n);
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

// Windows raises no signal for a write to a closed pipe or socket.
void IgnoreBrokenPipe() {}

void InstallInterruptHandler(std::string_view message) {
  exit_message_length = std::min(message.size(), sizeof(exit_message));
  std::memcpy(exit_message, message.data(), exit_message_length);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void ArmInterruptFlags(std::atomic<bool>* first, std::atomic<bool>* second) {
  armed_flags[0].store(first);
  armed_flags[1].store(second);
}

bool InterruptRequested() { return interrupt_requested.load(); }

int InterruptSignal() { return interrupt_signal.load(); }

// No signal can end a Windows process: the caller exits with 130 itself.
void EndByInterruptSignal() {}

bool IsStandardInputTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool ReadHiddenLine(std::string_view prompt, std::string& line) {
  line.clear();
  const OwnedHandle input(OpenConsole("CONIN$"));
  const OwnedHandle output(OpenConsole("CONOUT$"));
  if (!input.valid() || !output.valid()) return false;
  bool ok;
  {
    const HiddenEcho hidden(input.get());
    ok = hidden.ok() && WriteConsoleText(output.get(), prompt) &&
         ReadConsoleLine(input.get(), line);
  }
  // The Enter that ended the line was not echoed.
  WriteConsoleText(output.get(), "\n");
  if (!ok) line.clear();
  return ok;
}

bool ReadEnvironmentVariable(const std::string& name, std::string& value) {
  const DWORD size = GetEnvironmentVariableA(name.c_str(), nullptr, 0);
  if (size == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    value.clear();  // set, but empty
    return true;
  }
  std::string text(size, '\0');
  const DWORD n = GetEnvironmentVariableA(name.c_str(), text.data(), size);
  if (n == 0 || n >= size) return false;
  text.resize(n);
  value = std::move(text);
  return true;
}

// %HOME% when a user set one (as POSIX tools on Windows honour it), else the
// user profile.
std::string HomeDirectory() {
  std::string value;
  if (ReadEnvironmentVariable("HOME", value) && !value.empty()) return value;
  if (ReadEnvironmentVariable("USERPROFILE", value) && !value.empty()) return value;
  std::string drive, path;
  if (ReadEnvironmentVariable("HOMEDRIVE", drive) && ReadEnvironmentVariable("HOMEPATH", path)) {
    return drive + path;
  }
  return "";
}

bool ReadSmallFile(const std::string& path, size_t max_bytes, std::string& content,
                   std::string& error) {
  content.clear();
  if (DirectoryExists(path)) {
    error = "Is a directory";
    return false;
  }
  int fd = -1;
  const errno_t rc =
      _sopen_s(&fd, path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0);
  if (rc != 0 || fd < 0) {
    error = std::strerror(rc != 0 ? rc : errno);
    return false;
  }
  bool ok = true;
  char buffer[4096];
  while (ok) {
    const int n = _read(fd, buffer, sizeof(buffer));
    if (n < 0) {
      ok = false;
      error = std::strerror(errno);
    } else if (n == 0) {
      break;
    } else if (content.size() + static_cast<size_t>(n) > max_bytes) {
      ok = false;
      error = "larger than " + std::to_string(max_bytes) + " bytes";
    } else {
      content.append(buffer, static_cast<size_t>(n));
    }
  }
  _close(fd);
  if (!ok) content.clear();
  return ok;
}

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A disk file; devices (CON, NUL, COM1) and pipes are not.
bool IsRegularFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool regular = GetFileType(file) == FILE_TYPE_DISK &&
                       GetFileInformationByHandle(file, &info) &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  CloseHandle(file);
  return regular;
}

}  // namespace zud
