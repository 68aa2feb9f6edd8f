#include "util/stream.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace zud {
namespace {

std::string ReadAll(TStream& stream) {
  std::string data(static_cast<size_t>(stream.Remaining()), '\0');
  data.resize(static_cast<size_t>(stream.Read(data.data(), static_cast<int64_t>(data.size()))));
  return data;
}

TEST(MemoryStreamTest, PositionedReadsWritesAndGrowth) {
  TMemoryStream stream;
  EXPECT_EQ(stream.Write("hello", 5), 5);
  EXPECT_EQ(stream.Position(), 5);
  stream.SetPosition(1);
  char buffer[10] = {};
  EXPECT_EQ(stream.Read(buffer, 10), 4);
  EXPECT_EQ(std::string(buffer, 4), "ello");
  EXPECT_EQ(stream.Read(buffer, 10), 0);

  stream.SetPosition(8);  // writing past the end fills the gap with zeros
  stream.Write("!", 1);
  EXPECT_EQ(stream.Data(), std::string("hello\0\0\0!", 9));

  stream.SetSize(2);
  EXPECT_EQ(stream.Position(), 2);
  EXPECT_EQ(stream.Data(), "he");
  stream.SetPosition(-3);
  EXPECT_EQ(stream.Position(), 0);
  stream.Clear();
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_EQ(stream.Position(), 0);
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/zud-stream-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string File(const char* name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(FileStreamTest, CreateWriteReopenAndRead) {
  TempDir dir;
  const std::string path = dir.File("a.bin");
  {
    TFileStream out(path, TFileStream::Mode::kCreate);
    EXPECT_EQ(out.Write("abc\0def", 7), 7);
    EXPECT_EQ(out.Size(), 7);
  }
  EXPECT_TRUE(FileExists(path));
  {
    TFileStream in(path, TFileStream::Mode::kRead);
    in.SetPosition(2);
    EXPECT_EQ(ReadAll(in), std::string("c\0def", 5));
    EXPECT_EQ(in.Position(), 7);
    // The descriptor's own offset follows the stream position.
    in.SetPosition(4);
    EXPECT_EQ(lseek(in.Descriptor(), 0, SEEK_CUR), 4);
  }
  {
    TFileStream rw(path, TFileStream::Mode::kReadWrite);
    rw.SetSize(3);
    rw.SetPosition(3);
    rw.Write("XY", 2);
    rw.SetPosition(0);
    EXPECT_EQ(ReadAll(rw), "abcXY");
  }
  {
    TFileStream again(path, TFileStream::Mode::kCreate);  // truncates
    EXPECT_EQ(again.Size(), 0);
  }
}

TEST(FileStreamTest, OffsetsBeyondFourGigabytes) {
  TempDir dir;
  TFileStream stream(dir.File("sparse.bin"), TFileStream::Mode::kCreate);
  const int64_t far = (int64_t{1} << 32) + 10;
  stream.SetPosition(far);
  if (stream.Write("z", 1) != 1) GTEST_SKIP() << "the file system refuses a sparse 4 GiB file";
  EXPECT_EQ(stream.Size(), far + 1);
  stream.SetPosition(far);
  char c = 0;
  EXPECT_EQ(stream.Read(&c, 1), 1);
  EXPECT_EQ(c, 'z');
}

TEST(FileStreamTest, OpenFailuresThrowWithThePath) {
  TempDir dir;
  const std::string missing = dir.File("missing.txt");
  try {
    TFileStream stream(missing, TFileStream::Mode::kRead);
    FAIL() << "no exception";
  } catch (const EFileOpenError& e) {
    EXPECT_NE(std::string(e.what()).find("\"" + missing + "\""), std::string::npos) << e.what();
  }
  EXPECT_THROW(TFileStream(missing, TFileStream::Mode::kReadWrite), EFileOpenError);
  EXPECT_THROW(TFileStream(dir.path(), TFileStream::Mode::kRead), EFileOpenError);
  EXPECT_THROW(TFileStream(dir.File("no/such/dir"), TFileStream::Mode::kCreate), EFileOpenError);
}

TEST(FileExistsTest, FilesYesDirectoriesNo) {
  TempDir dir;
  EXPECT_FALSE(FileExists(dir.path()));
  EXPECT_FALSE(FileExists(dir.File("none")));
  EXPECT_FALSE(FileExists(""));
  { TFileStream touch(dir.File("f"), TFileStream::Mode::kCreate); }
  EXPECT_TRUE(FileExists(dir.File("f")));
}

}  // namespace
}  // namespace zud
