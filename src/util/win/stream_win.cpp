// Byte streams on Windows: the memory stream as on every platform, the file
// stream over a C runtime descriptor opened in binary mode (no CR LF or
// Ctrl-Z translation) with the sharing the modes promise.
#include "util/stream.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace zud {

// ---- TFileStream ----------------------------------------------------------

TFileStream::TFileStream(const std::string& path, Mode mode) {
  int flags = _O_BINARY | _O_NOINHERIT;
  switch (mode) {
    case Mode::kRead:
      flags |= _O_RDONLY;
      break;
    case Mode::kReadWrite:
      flags |= _O_RDWR;
      break;
    case Mode::kCreate:
      flags |= _O_RDWR | _O_CREAT | _O_TRUNC;
      break;
  }
  // Others may read the file meanwhile, but not change it under us.
  const errno_t rc = _sopen_s(&fd_, path.c_str(), flags, _SH_DENYWR, _S_IREAD | _S_IWRITE);
  if (rc != 0 || fd_ < 0) {
    fd_ = -1;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    const bool directory =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const char* verb = mode == Mode::kCreate ? "Cannot create file \"" : "Cannot open file \"";
    throw EFileOpenError(verb + path + "\". " +
                         (directory ? "Is a directory" : std::strerror(rc != 0 ? rc : errno)));
  }
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
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace zud
