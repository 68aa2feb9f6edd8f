// TFTPSend control channel against a scripted server: reply reading (one-line,
// multi-line, odd line ends, broken and silent servers, packet splits), the
// status reports, the bounds on replies and the refusal of commands with
// line breaks.
#include "ftp/ftpclient.h"

#include <algorithm>
#include <string>
#include <vector>

#include "ftp/ftpclient_test_support.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace zud::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int kTimedOut = 10060;
constexpr int kTooLong = 10055;

// After the connect the server sends bytes, then closes the control
// connection or just stays.
void SendOnConnect(ScriptedFtpServer& server, std::string bytes, bool close_after) {
  server.OnConnect([bytes = std::move(bytes), close_after](FtpSession& s, const std::string&) {
    s.SendRaw(bytes);
    if (close_after) s.CloseControl();
  });
}

std::vector<StatusEntry> AsReplies(const std::vector<std::string>& lines) {
  std::vector<StatusEntry> entries;
  for (const std::string& line : lines) entries.push_back({true, line});
  return entries;
}

struct ReplyCase {
  const char* name;
  std::string bytes;
  bool close_after;
  int code;
  std::vector<std::string> lines;
};

const ReplyCase kReplyCases[] = {
    {"OneLine", "220 Ready\r\n", false, 220, {"220 Ready"}},
    {"MultiLineWithFreeText",
     "230-Welcome\r\nfree text\r\n230-still going\r\n150 other digits\r\n 230 indented\r\n"
     "2301 a digit after the code\r\n230 Done\r\n",
     false, 230,
     {"230-Welcome", "free text", "230-still going", "150 other digits", " 230 indented",
      "2301 a digit after the code", "230 Done"}},
    {"LinesBeforeTheCodeAreKept", "hello\r\nxy\r\n220-a\r\n331 another code\r\n220 b\r\n",
     false, 220, {"hello", "xy", "220-a", "331 another code", "220 b"}},
    {"EmptyLinesInside", "220-a\r\n\r\n\r\n220 b\r\n", false, 220, {"220-a", "", "", "220 b"}},
    {"CodeWithNothingAfterIt", "220-\r\n220 \r\n", false, 220, {"220-", "220 "}},
    {"BareCodeNeverEnds", "220\r\n", true, 0, {"220", ""}},
    {"LettersAsCode", "abc text\r\n", false, 0, {"abc text"}},
    {"LettersAsMultiLineCode", "xyz-a\r\nxyz b\r\n", false, 0, {"xyz-a", "xyz b"}},
    {"BreakAfterFirstLine", "230-Welcome\r\n", true, 230, {"230-Welcome", ""}},
    {"CloseBeforeAnything", "", true, 0, {""}},
    {"LoneLF", "230-a\nb\n230 c\n", false, 230, {"230-a", "b", "230 c"}},
    {"LoneCR", "230-a\rb\r230 c\r", false, 230, {"230-a", "b", "230 c"}},
    {"MixedLineEnds", "220-a\r\n220-b\n220-c\r220 d\r\n", false, 220,
     {"220-a", "220-b", "220-c", "220 d"}},
};

class ReplyReading : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyReading, CodeAndLines) {
  const ReplyCase& c = GetParam();
  ScriptedFtpServer server;
  ASSERT_TRUE(server.ok());
  SendOnConnect(server, c.bytes, c.close_after);
  TFTPSend ftp;
  AimAt(ftp, server);
  StatusRecorder status;
  status.Attach(ftp);
  ASSERT_TRUE(ftp.OpenControlConnection()) << ftp.Sock().LastErrorText();

  EXPECT_EQ(ftp.ReadReply(), c.code);
  EXPECT_EQ(ftp.ResultCode(), c.code);
  EXPECT_EQ(ftp.FullResult(), c.lines);
  EXPECT_EQ(ftp.ResultString(), c.lines.back());
  EXPECT_EQ(status.entries, AsReplies(c.lines));
}

INSTANTIATE_TEST_SUITE_P(Replies, ReplyReading, ::testing::ValuesIn(kReplyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ControlChannel, ReplyLeavesTheNextOneBuffered) {
  ScriptedFtpServer server;
  SendOnConnect(server, "220 first\r\n221-second\r\n221 end\r\n", false);
  TFTPSend ftp;
  AimAt(ftp, server);
  ASSERT_TRUE(ftp.OpenControlConnection());
  EXPECT_EQ(ftp.ReadReply(), 220);
  EXPECT_EQ(ftp.ReadReply(), 221);
  EXPECT_THAT(ftp.FullResult(), ElementsAre("221-second", "221 end"));
}

TEST(ControlChannel, SilenceEndsAfterTimeoutWithOneEmptyLine) {
  ScriptedFtpServer server;
  server.OnConnect([](FtpSession& s, const std::string&) { s.GoSilent(); });
  TFTPSend ftp;
  AimAt(ftp, server, /*timeout_ms=*/200);
  StatusRecorder status;
  status.Attach(ftp);
  ASSERT_TRUE(ftp.OpenControlConnection());

  EXPECT_EQ(ftp.ReadReply(), 0);
  EXPECT_THAT(ftp.FullResult(), ElementsAre(""));
  EXPECT_EQ(ftp.ResultString(), "");
  EXPECT_EQ(ftp.Sock().LastErrorCode(), kTimedOut);
  EXPECT_THAT(status.entries, ElementsAre(StatusEntry{true, ""}));
}

TEST(ControlChannel, CommandAndRepliesAreReportedInOrder) {
  ScriptedFtpServer server;
  server.ReplyTo("NOOP", "200-first\r\n200 second");
  TFTPSend ftp;
  AimAt(ftp, server);
  ASSERT_TRUE(ftp.OpenControlConnection());
  ASSERT_EQ(ftp.ReadReply(), 220);
  StatusRecorder status;
  status.Attach(ftp);

  EXPECT_EQ(ftp.SendCommand("NOOP"), 200);
  EXPECT_THAT(status.entries, ElementsAre(StatusEntry{false, "NOOP"},
                                          StatusEntry{true, "200-first"},
                                          StatusEntry{true, "200 second"}));
  EXPECT_THAT(server.Commands(), ElementsAre("NOOP"));
}

TEST(ControlChannel, PasswordIsReportedAsSent) {
  ScriptedFtpServer server;
  TFTPSend ftp;
  AimAt(ftp, server);
  ASSERT_TRUE(ftp.OpenControlConnection());
  ASSERT_EQ(ftp.ReadReply(), 220);
  StatusRecorder status;
  status.Attach(ftp);
  ftp.SendCommand("PASS secret");
  EXPECT_EQ(status.Commands(), std::vector<std::string>{"PASS secret"});
}

TEST(ControlChannel, UnreadInputIsDroppedBeforeACommand) {
  ScriptedFtpServer server;
  // A stray reply after the greeting, in the same packet.
  server.SetGreeting("220 Ready\r\n999 stray");
  TFTPSend ftp;
  AimAt(ftp, server);
  ASSERT_TRUE(ftp.OpenControlConnection());
  ASSERT_EQ(ftp.ReadReply(), 220);

  EXPECT_EQ(ftp.SendCommand("NOOP"), 200);
  EXPECT_EQ(ftp.FullResult().size(), 1u);
}

TEST(ControlChannel, ReplySplitIntoPacketsAtEveryOffset) {
  // CR LF, lone LF and lone CR ends; a split between CR and LF must not yield
  // an extra empty line.
  const std::string text = "230-first\r\n230-second\nthird\r\n\r230 last\r\n";
  const std::vector<std::string> lines = {"230-first", "230-second", "third", "", "230 last"};
  ScriptedFtpServer server;
  server.On("SPLIT", [text](FtpSession& s, const std::string& argument) {
    const size_t at = std::stoul(argument);
    s.SendRaw(text.substr(0, at));
    s.Sleep(15);
    s.SendRaw(text.substr(at));
  });
  TFTPSend ftp;
  AimAt(ftp, server);
  ASSERT_TRUE(ftp.OpenControlConnection());
  ASSERT_EQ(ftp.ReadReply(), 220);

  for (size_t at = 1; at < text.size(); ++at) {
    SCOPED_TRACE("split at " + std::to_string(at));
    EXPECT_EQ(ftp.SendCommand("SPLIT " + std::to_string(at)), 230);
    EXPECT_EQ(ftp.FullResult(), lines);
  }
  EXPECT_EQ(server.Errors(), "");
}

// ---- Bounds on what a server can make the client buffer ------------------------

struct BoundCase {
  const char* name;
  std::string bytes;
  int code;
  size_t lines;  // FullResult size
  int socket_error;
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

// A multi-line reply of exactly total bytes, counting two bytes of line end
// per line, made of 1024-byte lines and the final "230 end".
std::string MultiLineReplyOf(size_t total, size_t* line_count) {
  const std::string last = "230 end\r\n";
  std::string reply;
  size_t left = total - last.size();
  *line_count = 1;
  while (left > 0) {
    const size_t size = std::min<size_t>(1024, left);
    reply += "230-" + Repeat('x', size - 6) + "\r\n";
    left -= size;
    ++*line_count;
  }
  return reply + last;
}

std::vector<BoundCase> BoundCases() {
  const size_t line_max = TFTPSend::kMaxReplyLineLength;
  const size_t reply_max = TFTPSend::kMaxReplyBytes;
  size_t lines_at_max = 0;
  size_t lines_over = 0;
  const std::string at_max = MultiLineReplyOf(reply_max, &lines_at_max);
  const std::string over = MultiLineReplyOf(reply_max + 1, &lines_over);
  return {
      {"LineOfMaximumLength", "220 " + Repeat('x', line_max - 4) + "\r\n", 220, 1, 0},
      {"LineOneByteTooLong", "220 " + Repeat('x', line_max - 3) + "\r\n", 0, 1, kTooLong},
      {"EndlessLineAfterFirstLine", "230-Welcome\r\n" + Repeat('x', 3 * line_max), 0, 2,
       kTooLong},
      {"ReplyOfMaximumLength", at_max, 230, lines_at_max, 0},
      // Every line but the last one is kept; an empty line marks the failure.
      {"ReplyOneByteTooLong", over, 0, lines_over, kTooLong},
  };
}

class ReplyBounds : public ::testing::TestWithParam<BoundCase> {};

TEST_P(ReplyBounds, LongLinesAndRepliesFail) {
  const BoundCase& c = GetParam();
  ScriptedFtpServer server;
  SendOnConnect(server, c.bytes, false);
  TFTPSend ftp;
  AimAt(ftp, server);
  ASSERT_TRUE(ftp.OpenControlConnection());

  EXPECT_EQ(ftp.ReadReply(), c.code);
  EXPECT_EQ(ftp.FullResult().size(), c.lines);
  EXPECT_EQ(ftp.Sock().LastErrorCode(), c.socket_error);
  if (c.socket_error != 0) {
    EXPECT_EQ(ftp.ResultString(), "");
    EXPECT_EQ(ftp.FullResult().back(), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Bounds, ReplyBounds, ::testing::ValuesIn(BoundCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ControlChannel, EndlessMultiLineReplyStopsAtTheBound) {
  ScriptedFtpServer server;
  server.OnConnect([](FtpSession& s, const std::string&) {
    s.SendRaw("230-Welcome\r\n");
    const std::string line = "230-" + std::string(1000, 'y') + "\r\n";
    // Twice the bound; once the client gives up, the sends fail or wait
    // until it closes.
    for (int i = 0; i < 2048; ++i) s.SendRaw(line);
  });
  TFTPSend ftp;
  AimAt(ftp, server);
  ASSERT_TRUE(ftp.OpenControlConnection());

  EXPECT_EQ(ftp.ReadReply(), 0);
  EXPECT_EQ(ftp.Sock().LastErrorCode(), kTooLong);
  EXPECT_EQ(ftp.FullResult().front(), "230-Welcome");
  EXPECT_EQ(ftp.FullResult().back(), "");
  EXPECT_LT(ftp.FullResult().size(), TFTPSend::kMaxReplyBytes / 1000);
}

// ---- Commands with line breaks ----------------------------------------------------

TEST(ControlChannel, CommandWithLineBreakIsNotSent) {
  const std::vector<std::string> smuggling = {
      "USER bob\r\nDELE important", "NOOP\n", "NOOP\r", "\r\n", "PASS a\rb", "RETR x\nRETR y",
  };
  ScriptedFtpServer server;
  TFTPSend ftp;
  AimAt(ftp, server);
  ASSERT_TRUE(ftp.OpenControlConnection());
  ASSERT_EQ(ftp.ReadReply(), 220);

  StatusRecorder status;
  status.Attach(ftp);
  for (const std::string& command : smuggling) {
    SCOPED_TRACE(command);
    ASSERT_EQ(ftp.SendCommand("NOOP"), 200);
    status.entries.clear();
    EXPECT_EQ(ftp.SendCommand(command), 0);
    EXPECT_EQ(ftp.ResultCode(), 0);
    EXPECT_THAT(ftp.FullResult(), IsEmpty());
    EXPECT_EQ(ftp.ResultString(), "");
    EXPECT_THAT(status.entries, IsEmpty());
  }
  // The server answers in order, so this reply proves nothing else arrived.
  ASSERT_EQ(ftp.SendCommand("NOOP"), 200);
  EXPECT_EQ(server.Commands(), std::vector<std::string>(smuggling.size() + 1, "NOOP"));
}

}  // namespace
}  // namespace zud::test
