#include "util/stream.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace zud {

// ---- TFileStream ----------------------------------------------------------

TFileStream::TFileStream(const std::string& path, Mode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::kRead:
      flags |= O_RDONLY;
      break;
    case Mode::kReadWrite:
      flags |= O_RDWR;
      break;
    case Mode::kCreate:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
  }
  do {
    fd_ = ::open(path.c_str(), flags, 0644);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) {
    const char* verb = mode == Mode::kCreate ? "Cannot create file \"" : "Cannot open file \"";
    throw EFileOpenError(verb + path + "\". " + std::strerror(errno));
  }
  struct stat info {};
  if (::fstat(fd_, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw EFileOpenError("Cannot open file \"" + path + "\". " + std::strerror(EISDIR));
  }
  // Pipes, FIFOs and terminals have no offsets: positioned calls fail on them.
  seekable_ = ::lseek(fd_, 0, SEEK_CUR) >= 0;
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

// Repeats a read or write until count bytes moved, the end of the file or an
// error (failed set); returns the bytes moved.
template <typename Byte, typename Call>
int64_t MoveAll(Byte* buffer, int64_t count, bool& failed, Call call) {
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = call(buffer + done, static_cast<size_t>(count - done), done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

}  // namespace

int64_t TFileStream::Read(void* buffer, int64_t count) {
  const int64_t done = MoveAll(static_cast<char*>(buffer), count, failed_,
                               [this](char* at, size_t n, int64_t moved) {
                                 if (!seekable_) return ::read(fd_, at, n);
                                 return ::pread(fd_, at, n, static_cast<off_t>(position_ + moved));
                               });
  SetPosition(position_ + done);
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  const int64_t done = MoveAll(static_cast<const char*>(buffer), count, failed_,
                               [this](const char* at, size_t n, int64_t moved) {
                                 if (!seekable_) return ::write(fd_, at, n);
                                 return ::pwrite(fd_, at, n, static_cast<off_t>(position_ + moved));
                               });
  SetPosition(position_ + done);
  return done;
}

int64_t TFileStream::Size() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return 0;
  return static_cast<int64_t>(info.st_size);
}

void TFileStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  while (::ftruncate(fd_, static_cast<off_t>(size)) != 0 && errno == EINTR) {
  }
  if (position_ > size) SetPosition(size);
}

void TFileStream::SetPosition(int64_t position) {
  position_ = position < 0 ? 0 : position;
  // Keep the descriptor's own offset in step for callers that use it directly.
  if (seekable_) ::lseek(fd_, static_cast<off_t>(position_), SEEK_SET);
}

bool TFileStream::SizeKnown() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_size > 0) return true;
  // Files under /proc and /sys report 0 bytes and still have content; a
  // truly empty file has none to read.
  char probe;
  ssize_t n;
  do {
    n = ::pread(fd_, &probe, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n == 0;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

}  // namespace zud
