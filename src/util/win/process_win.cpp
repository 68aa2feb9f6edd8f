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
#include <cstring>

namespace zud {
namespace {

std::array<std::atomic<std::atomic<bool>*>, 2> armed_flags{};
std::atomic<bool> interrupt_requested{false};
// Written once before the handler is installed, read only by it.
char exit_message[256];
size_t exit_message_length = 0;

void EndAtOnce() {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), exit_message, static_cast<DWORD>(exit_message_length),
            &written, nullptr);
  ExitProcess(130);
}

// A clean stop that has not ended the process by then never will.
constexpr DWORD kCleanStopMilliseconds = 10000;

// Runs on a thread of its own that the system starts for each event, so it
// may wait: a second event meanwhile ends the process from its own thread.
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  std::atomic<bool>* first = armed_flags[0].load();
  std::atomic<bool>* second = armed_flags[1].load();
  if ((first == nullptr && second == nullptr) || interrupt_requested.exchange(true)) EndAtOnce();
  if (first != nullptr) first->store(true);
  if (second != nullptr) second->store(true);
  Sleep(kCleanStopMilliseconds);
  EndAtOnce();
  return TRUE;
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
