// The upload job's pieces that need no server: the echo with its password
// mask, the remote name, and the progress meter's line and redraw rhythm.
#include "frontend/uploadjob.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/console.h"
#include "frontend/progressmeter.h"
#include "sockets/socketlayer.h"

namespace zud {
namespace {

// Collects standard output for the life of the object.
class CapturedOutput {
 public:
  CapturedOutput() {
    previous_ = ReplaceOutputSink([this](std::string_view text) { text_ += text; });
  }
  ~CapturedOutput() { ReplaceOutputSink(std::move(previous_)); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  TOutputSink previous_;
};

class EchoStatusTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { StartSocketLayer(); }
  static void TearDownTestSuite() { StopSocketLayer(); }
};

TEST_F(EchoStatusTest, EveryReportIsOneCrLfLineAndOnlyThePassCommandIsMasked) {
  struct Case {
    bool response;
    std::string value;
    std::string shown;
  } cases[] = {
      {false, "USER anonymous", "USER anonymous"},
      {false, "PASS secret", "PASS **********"},
      {false, "PASS ", "PASS **********"},              // an empty password
      {false, "PASS a@b@fwsecret", "PASS **********"},  // a firewall login's pair
      {true, "PASS secret", "PASS **********"},         // replies are treated alike
      {false, "PASS", "PASS"},                          // no space: not a password command
      {false, "pass secret", "pass secret"},            // the prefix is case-sensitive
      {false, " PASS secret", " PASS secret"},          // only at the first character
      {true, "230-PASS secret was fine", "230-PASS secret was fine"},
      {true, "220 ready", "220 ready"},
      {true, "", ""},
  };
  TMyFtp ftp;
  ASSERT_TRUE(ftp.OnStatus);  // the constructor installs the echo
  for (const Case& c : cases) {
    CapturedOutput output;
    ftp.OnStatus(ftp, c.response, c.value);
    EXPECT_EQ(output.text(), c.shown + "\r\n") << c.value;
  }
}

TEST(RemoteNameTest, DirectoryAndFileNamePart) {
  struct Case {
    const char* dir;
    const char* local_path;
    const char* remote;
  } cases[] = {
      {"/", "C:\\My Documents\\TEST.txt", "/TEST.txt"},
      {"/pub", "report.pdf", "/pub/report.pdf"},
      {"/pub/", "report.pdf", "/pub/report.pdf"},
      {"pub", "report.pdf", "pub/report.pdf"},
      {"\\pub\\", "report.pdf", "\\pub\\report.pdf"},  // a backslash ends it already
      {"/pub\\", "a.txt", "/pub\\a.txt"},
      {"", "a.txt", "/a.txt"},
      {"/", "D:report.txt", "/report.txt"},         // drive without a directory
      {"/", "/home/me/report.txt", "/report.txt"},  // this platform's separator
      {"/", "../up/x.bin", "/x.bin"},
      {"/in", "dir\\sub/mixed\\name.txt", "/in/name.txt"},
      {"/in", "my file.txt", "/in/my file.txt"},
      {"/in", "/tmp/", "/in/"},  // nothing after the last "/"
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RemoteFileName(c.dir, c.local_path), c.remote) << c.dir << " + " << c.local_path;
  }
  EXPECT_EQ(WithDirectoryEnd("/pub"), "/pub/");
  EXPECT_EQ(WithDirectoryEnd("/pub\\"), "/pub\\");
  EXPECT_EQ(LocalFileNamePart("C:\\My Documents\\TEST.txt"), "TEST.txt");
  EXPECT_EQ(LocalFileNamePart("plain"), "plain");
}

TEST(ProgressFormatTest, SizesDurationsAndLines) {
  EXPECT_EQ(FormatByteSize(0), "0 B");
  EXPECT_EQ(FormatByteSize(1023), "1023 B");
  EXPECT_EQ(FormatByteSize(1024), "1.0 KiB");
  EXPECT_EQ(FormatByteSize(1536), "1.5 KiB");
  EXPECT_EQ(FormatByteSize(1024 * 1024 - 1), "1.0 MiB");  // not "1024.0 KiB"
  EXPECT_EQ(FormatByteSize(int64_t{5} << 30), "5.0 GiB");
  EXPECT_EQ(FormatByteSize(int64_t{3} << 40), "3.0 TiB");
  EXPECT_EQ(FormatByteSize(int64_t{2048} << 40), "2048.0 TiB");

  EXPECT_EQ(FormatDuration(0), "0:00");
  EXPECT_EQ(FormatDuration(59), "0:59");
  EXPECT_EQ(FormatDuration(61), "1:01");
  EXPECT_EQ(FormatDuration(3599), "59:59");
  EXPECT_EQ(FormatDuration(3600), "1:00:00");
  EXPECT_EQ(FormatDuration(100 * 3600 + 62), "100:01:02");
  EXPECT_EQ(FormatDuration(-5), "0:00");

  struct Case {
    int64_t sent, total;
    uint64_t elapsed_ms;
    const char* line;
  } cases[] = {
      {0, 10 << 20, 0, "0 B of 10.0 MiB  0%  --/s  --:-- left"},
      {65536, 10 << 20, 5, "64.0 KiB of 10.0 MiB  0%  --/s  --:-- left"},  // too early for a rate
      {1 << 20, 10 << 20, 1000, "1.0 MiB of 10.0 MiB  10%  1.0 MiB/s  0:09 left"},
      {3 << 20, 10 << 20, 2000, "3.0 MiB of 10.0 MiB  30%  1.5 MiB/s  0:05 left"},  // 4.67 s up
      {10 << 20, 10 << 20, 4000, "10.0 MiB of 10.0 MiB  100%  2.5 MiB/s  0:00 left"},
      {1000, 3000, 100, "1000 B of 2.9 KiB  33%  9.8 KiB/s  0:01 left"},
      {0, 0, 50, "0 B of 0 B  100%  --/s  --:-- left"},
      {2000, 1000, 1000, "2.0 KiB of 2.0 KiB  100%  2.0 KiB/s  0:00 left"},  // the file grew
      {1, int64_t{1} << 40, 1000, "1 B of 1.0 TiB  0%  1 B/s  305419896:36:15 left"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatProgress(c.sent, c.total, c.elapsed_ms), c.line)
        << c.sent << "/" << c.total << " after " << c.elapsed_ms << " ms";
  }
}

TEST(ProgressMeterTest, DrawsAtOnceThenAtMostEveryIntervalAndErasesAtTheEnd) {
  uint64_t now = 1000;
  std::vector<std::string> draws;
  {
    TProgressMeter meter(
        4000, [&](const std::string& line) { draws.push_back(line); }, [&] { return now; });
    meter.Start();
    now += 500;
    meter.Start();        // the clock is not restarted
    meter.Advance(1000);  // first bytes: drawn at once
    now += TProgressMeter::kRedrawIntervalMs - 1;
    meter.Advance(1000);  // too soon
    now += 1;
    meter.Advance(1000);  // due
    meter.Advance(0);
    EXPECT_EQ(meter.sent(), 3000);
    meter.Finish();
    meter.Finish();  // erases once only
  }                  // nothing drawn since: the destructor erases nothing
  const std::vector<std::string> expected = {
      "1000 B of 3.9 KiB  25%  2.0 KiB/s  0:02 left",
      "2.9 KiB of 3.9 KiB  75%  3.9 KiB/s  0:01 left",
      "",
  };
  EXPECT_EQ(draws, expected);
}

TEST(ProgressMeterTest, TheDestructorErasesALineStillShown) {
  uint64_t now = 0;
  std::vector<std::string> draws;
  {
    TProgressMeter meter(
        10, [&](const std::string& line) { draws.push_back(line); }, [&] { return now; });
    meter.Advance(5);  // starts the clock itself
  }
  ASSERT_EQ(draws.size(), 2u);
  EXPECT_EQ(draws[0], "5 B of 10 B  50%  --/s  --:-- left");
  EXPECT_EQ(draws[1], "");
}

TEST(ProgressMeterTest, NothingDrawnWithoutBytes) {
  std::vector<std::string> draws;
  {
    TProgressMeter meter(
        10, [&](const std::string& line) { draws.push_back(line); }, [] { return uint64_t{0}; });
    meter.Start();
    meter.Finish();
  }
  EXPECT_TRUE(draws.empty());
}

}  // namespace
}  // namespace zud
