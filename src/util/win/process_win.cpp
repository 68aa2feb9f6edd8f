// Process-level services on Windows: console control events instead of
// signals, the environment block and the console in UTF-16 (carried as
// UTF-8 inside), the user profile as home directory, and local files
// through the wide API.
#include "util/process.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>

#include "util/stream.h"
#include "util/win/wide.h"

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

using win::THandle;

HANDLE OpenConsole(const wchar_t* name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
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

// One line, line end excluded, in UTF-8; false on failure, past
// kHiddenLineMax characters, when Ctrl-C cut the read short (it then returns
// no characters) or when the line does not convert (a lone surrogate).
bool ReadConsoleLine(HANDLE input, std::string& line) {
  line.clear();
  std::wstring typed;
  bool too_long = false;
  wchar_t buffer[256];
  for (;;) {
    DWORD n = 0;
    if (!ReadConsoleW(input, buffer, 256, &n, nullptr) || n == 0) return false;
    if (InterruptRequested()) return false;
    const std::wstring_view got(buffer, n);
    const size_t end = got.find(L'\n');
    const std::wstring_view part = got.substr(0, end);
    too_long = too_long || typed.size() + part.size() > kHiddenLineMax;
    if (!too_long) typed.append(part);
    if (end != std::wstring_view::npos) break;
  }
  if (!typed.empty() && typed.back() == L'\r') typed.pop_back();
  std::string error;
  const bool ok = !too_long && win::FromWide(typed, line, error);
  SecureZeroMemory(typed.data(), typed.size() * sizeof(wchar_t));
  SecureZeroMemory(buffer, sizeof(buffer));
  if (!ok) line.clear();
  return ok;
}

}  // namespace

// Windows raises no signal for a write to a closed pipe or socket.
void IgnoreBrokenPipe() {}

// The Windows heap has no per-thread arenas to limit, nor a trim to ask for.
void LimitMemoryArenas(int) {}
void ReturnFreeMemory() {}

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
  const THandle input(OpenConsole(L"CONIN$"));
  const THandle output(OpenConsole(L"CONOUT$"));
  if (!input.valid() || !output.valid()) return false;
  bool ok;
  {
    const HiddenEcho hidden(input.get());
    ok = hidden.ok() && win::WriteConsoleUtf8(output.get(), prompt) &&
         ReadConsoleLine(input.get(), line);
  }
  // The Enter that ended the line was not echoed.
  win::WriteConsoleUtf8(output.get(), "\n");
  if (!ok) line.clear();
  return ok;
}

bool ReadEnvironmentVariable(const std::string& name, std::string& value) {
  std::wstring wide_name;
  std::string error;
  if (!win::ToWide(name, wide_name, error)) return false;
  std::wstring text(256, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), text.data(),
                                            static_cast<DWORD>(text.size()));
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    if (n < text.size()) {
      text.resize(n);  // 0: set, but empty
      break;
    }
    text.assign(n, L'\0');  // n counts the terminating NUL here
  }
  // A value that holds a lone surrogate is no text: as good as unset.
  return win::FromWide(text, value, error);
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

std::string LocalUserName() {
  wchar_t name[257];
  DWORD size = 257;
  if (!GetUserNameW(name, &size) || size == 0) return "?";
  return win::FromWideForDisplay(std::wstring_view(name, size - 1));
}

int64_t CurrentProcessId() { return GetCurrentProcessId(); }

// As curl and the Windows ftp clients look: "_netrc" first, the Unix name
// after it.
std::vector<std::string> DefaultNetrcFiles() {
  std::string home;
  if (!ReadEnvironmentVariable("USERPROFILE", home) || home.empty()) home = HomeDirectory();
  if (home.empty()) return {};
  return {JoinLocalPath(home, "_netrc"), JoinLocalPath(home, ".netrc")};
}

bool ReadSmallFile(const std::string& path, size_t max_bytes, std::string& content,
                   std::string& error) {
  content.clear();
  std::wstring wide;
  if (!win::WidePath(path, wide, error)) return false;
  if (DirectoryExists(path)) {
    error = "Is a directory";
    return false;
  }
  const THandle file(CreateFileW(wide.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    error = win::SystemMessage(GetLastError());
    return false;
  }
  char buffer[4096];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file.get(), buffer, sizeof(buffer), &n, nullptr)) {
      error = win::SystemMessage(GetLastError());
      break;
    }
    if (n == 0) return true;
    if (content.size() + n > max_bytes) {
      error = "larger than " + std::to_string(max_bytes) + " bytes";
      break;
    }
    content.append(buffer, n);
  }
  content.clear();
  return false;
}

namespace {

DWORD Attributes(const std::string& path) {
  std::wstring wide;
  std::string error;
  return win::WidePath(path, wide, error) ? GetFileAttributesW(wide.c_str())
                                          : INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A disk file; devices (CON, NUL, COM1) and pipes are not.
bool IsRegularFile(const std::string& path) {
  std::wstring wide;
  std::string error;
  if (!win::WidePath(path, wide, error)) return false;
  const THandle file(CreateFileW(wide.c_str(), 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileType(file.get()) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(file.get(), &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace zud
