// Positioned, growable byte streams: in memory and over a local file; facts
// about local paths and folders.
//
// Local paths are byte strings: on Linux the system's own bytes; on Windows
// UTF-8, converted to UTF-16 at this edge strictly (a path that is not
// well-formed UTF-8 fails with that reason, never names another file) and
// of any length (past MAX_PATH in the "\\?\" form), "/" and "\" both
// separating names.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "util/api.h"

namespace ZUD_API zud {

// Raised when a local file cannot be opened; its message names the file.
class EFileOpenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to count bytes at the position; returns the bytes read (0 at end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes at the position, growing the stream; returns bytes written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Size() const = 0;
  // Truncates or extends (with zero bytes) the stream.
  virtual void SetSize(int64_t size) = 0;
  virtual int64_t Position() const = 0;
  virtual void SetPosition(int64_t position) = 0;
  int64_t Remaining() const { return Size() - Position(); }
  // Whether Size() is what the stream holds. False for a pipe, a terminal
  // or a pseudo file that reports 0 bytes and yet has content: such a
  // stream is read until it ends.
  virtual bool SizeKnown() const { return true; }
  // Whether SetPosition really moves; a pipe is read once, in order.
  virtual bool Seekable() const { return true; }
  // A read or write met an error (rather than the end of the data).
  virtual bool Failed() const { return false; }
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string data) : data_(std::move(data)) {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
  void SetSize(int64_t size) override;
  int64_t Position() const override { return position_; }
  void SetPosition(int64_t position) override;
  // Empties the stream and rewinds it.
  void Clear();
  const std::string& Data() const { return data_; }

 private:
  std::string data_;
  int64_t position_ = 0;
};

class TFileStream : public TStream {
 public:
  enum class Mode {
    kRead,       // open an existing file for reading (others may read, not write)
    kReadWrite,  // open an existing file for reading and writing
    kCreate,     // create or truncate the file, then read and write
  };
  // Throws EFileOpenError when the file cannot be opened.
  TFileStream(const std::string& path, Mode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Size() const override;
  void SetSize(int64_t size) override;
  int64_t Position() const override { return position_; }
  void SetPosition(int64_t position) override;
  bool SizeKnown() const override;
  bool Seekable() const override { return seekable_; }
  bool Failed() const override { return failed_; }
  // The platform descriptor, for zero-copy transfers; -1 when closed.
  int Descriptor() const { return fd_; }

 private:
  int fd_ = -1;
  int64_t position_ = 0;
  bool seekable_ = true;  // else read and written in order, without offsets
  bool failed_ = false;
};

// True when path names an existing file that is not a directory.
bool FileExists(const std::string& path);

// What a local path is. Links are described by what they point at.
enum class TLocalKind {
  kMissing,     // nothing there (or a dangling link)
  kFile,        // a regular file
  kDirectory,
  kOther,       // FIFO, socket, device
  kLinkLoop,    // a chain of links that never ends (ELOOP)
  kUnreadable,  // exists but cannot be examined (permission)
};
struct TLocalPathInfo {
  TLocalKind kind = TLocalKind::kMissing;
  bool is_link = false;  // the path itself is a symbolic link (Windows: a reparse point)
  int64_t size = -1;     // regular files
  int64_t modified = 0;  // last modification, seconds since 1970-01-01 UTC
  // Other users than the owner may read it (Linux: the group or others have
  // read permission). Windows: never set; its access lists are not looked at.
  bool others_can_read = false;
  // For people: the reason when kind is kMissing/kUnreadable/kLinkLoop
  // ("Permission denied"), what it is when kOther ("a FIFO").
  std::string error;
};
// Facts about path, following links (is_link tells whether it was one).
TLocalPathInfo QueryLocalPath(const std::string& path);
// The names in directory path, without "." and "..", in no particular order.
// False with a reason for people ("Permission denied") when it cannot be read.
// A name that cannot be given in UTF-8 (on Windows one that holds an
// unpaired surrogate; Linux gives every name as its bytes) is not in names:
// unnamed, when given, receives it in a form for people ("a\uD800.txt").
bool ListLocalDirectory(const std::string& path, std::vector<std::string>& names,
                        std::string& error, std::vector<std::string>* unnamed = nullptr);
// The path of name inside folder, joined by the platform's separator unless
// folder already ends with one ("dir/"; on Windows also "dir\" and "C:").
std::string JoinLocalPath(const std::string& folder, const std::string& name);

}  // namespace zud
