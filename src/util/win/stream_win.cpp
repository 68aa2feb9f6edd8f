// Byte streams on Windows: the memory stream as on every platform, the file
// stream over a handle from CreateFileW (the UTF-8 path converted at the
// edge, long paths in the extended form) with the sharing the modes promise,
// wrapped in a C runtime descriptor in binary mode (no CR LF or Ctrl-Z
// translation) for the calls that take one.
#include "util/stream.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include "util/win/wide.h"

namespace zud {

// ---- TFileStream ----------------------------------------------------------

TFileStream::TFileStream(const std::string& path, Mode mode) {
  const char* verb = mode == Mode::kCreate ? "Cannot create file \"" : "Cannot open file \"";
  std::wstring wide;
  std::string error;
  if (!win::WidePath(path, wide, error)) throw EFileOpenError(verb + path + "\". " + error);
  const DWORD access = mode == Mode::kRead ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  const DWORD disposition = mode == Mode::kCreate ? CREATE_ALWAYS : OPEN_EXISTING;
  // Others may read the file meanwhile, but not change it under us.
  win::THandle file(CreateFileW(wide.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD code = GetLastError();
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    const bool directory =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    throw EFileOpenError(verb + path + "\". " +
                         (directory ? std::string("Is a directory") : win::SystemMessage(code)));
  }
  fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_BINARY);
  if (fd_ < 0) throw EFileOpenError(verb + path + "\". Too many open files");
  file.release();  // the descriptor owns it now
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) _close(fd_);
}

namespace {

// Repeats a positioned read or write until count bytes moved, the end of the
// file or an error; returns the bytes moved. The system handle's own pointer
// is left where the last transfer ended, as a read or write would leave it.
template <bool kWrite, typename Byte>
int64_t MoveAll(int fd, Byte* buffer, int64_t count, int64_t position, bool& failed) {
  const intptr_t os_handle = _get_osfhandle(fd);
  if (os_handle == -1) {
    failed = true;
    return 0;
  }
  HANDLE file = reinterpret_cast<HANDLE>(os_handle);
  int64_t done = 0;
  while (done < count) {
    const uint64_t at_offset = static_cast<uint64_t>(position + done);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(at_offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(at_offset >> 32);
    const DWORD piece = static_cast<DWORD>(count - done < (1 << 30) ? count - done : (1 << 30));
    DWORD moved = 0;
    BOOL ok;
    if constexpr (kWrite) {
      ok = WriteFile(file, buffer + done, piece, &moved, &at);
    } else {
      ok = ReadFile(file, buffer + done, piece, &moved, &at);
    }
    if (!ok && GetLastError() != ERROR_HANDLE_EOF) failed = true;
    if (!ok || moved == 0) break;
    done += moved;
  }
  return done;
}

}  // namespace

int64_t TFileStream::Read(void* buffer, int64_t count) {
  const int64_t done = MoveAll<false>(fd_, static_cast<char*>(buffer), count, position_, failed_);
  SetPosition(position_ + done);
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  const int64_t done = MoveAll<true>(fd_, static_cast<const char*>(buffer), count, position_, failed_);
  SetPosition(position_ + done);
  return done;
}

int64_t TFileStream::Size() const {
  const int64_t size = _filelengthi64(fd_);
  return size < 0 ? 0 : size;
}

void TFileStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  _chsize_s(fd_, size);
  if (position_ > size) SetPosition(size);
}

void TFileStream::SetPosition(int64_t position) {
  position_ = position < 0 ? 0 : position;
  // Keep the descriptor's own offset in step for callers that use it directly.
  _lseeki64(fd_, position_, SEEK_SET);
}

// Windows files opened here are disk files: their size is what they hold.
bool TFileStream::SizeKnown() const { return _filelengthi64(fd_) >= 0; }

bool FileExists(const std::string& path) {
  std::wstring wide;
  std::string error;
  if (!win::WidePath(path, wide, error)) return false;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace zud
