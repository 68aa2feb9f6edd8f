// Acceptance: the built ftpupload executable against real FTP servers
// (vsftpd and pyftpdlib) on 127.0.0.1 and ::1. Every run checks the exit
// status, the bytes the server stored, the whole echoed dialogue line by line
// (commands exactly, replies by code, since their texts vary by server) and
// that nothing reached standard error, which is not a terminal here.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "frontend/child_process.h"
#include "frontend/terminal.h"
#include "support/ftp_daemons.h"
#include "support/net.h"
#include "support/temp_dir.h"

namespace zud {
namespace {

using test::Family;
using test::FtpDaemonFixture;
using test::TempDir;
using testing_support::RunChild;
using testing_support::TChildResult;
using testing_support::TChildRun;

const std::string kProgram = ZUD_BINARY_DIR "/ftpupload";
// A subdirectory every server offers for the /dir: cases.
constexpr const char* kIncoming = "incoming";

// ---- Servers, shared by every test in this file ---------------------------

enum class ServerKind { kVsftpd, kPyftpdlib };

const char* ServerName(ServerKind kind) {
  return kind == ServerKind::kVsftpd ? "vsftpd" : "pyftpdlib";
}

// Starts each server on first use and stops them all after the last test.
class ServerPool : public testing::Environment {
 public:
  static FtpDaemonFixture& Get(ServerKind kind, Family family) {
    auto& slot = servers()[{kind, family}];
    if (!slot) {
      // pyftpdlib also serves "anonymous" (vsftpd cannot let it write).
      test::FtpServerOptions options{
          .family = family, .anonymous = kind == ServerKind::kPyftpdlib, .read_only_dir = true};
      if (kind == ServerKind::kVsftpd) {
        slot = std::make_unique<test::VsftpdServer>(options);
      } else {
        slot = std::make_unique<test::PyftpdlibServer>(options);
      }
      if (slot->ok()) slot->MakeDir(kIncoming);
    }
    return *slot;
  }
  void TearDown() override { servers().clear(); }

 private:
  static std::map<std::pair<ServerKind, Family>, std::unique_ptr<FtpDaemonFixture>>& servers() {
    static std::map<std::pair<ServerKind, Family>, std::unique_ptr<FtpDaemonFixture>> map;
    return map;
  }
};

testing::Environment* const kServerPool = testing::AddGlobalTestEnvironment(new ServerPool);

// ---- The expected dialogue ----------------------------------------------------

// The echoed lines a run must print, in order: commands and the tool's own
// messages exactly, replies by their code (a multi-line reply as a whole).
class Dialogue {
 public:
  Dialogue& Reply(const std::string& code) {
    lines_.push_back({Kind::kReply, code});
    return *this;
  }
  Dialogue& Command(const std::string& command, const std::string& reply_code) {
    lines_.push_back({Kind::kExact, command});
    return Reply(reply_code);
  }
  // A command whose arguments vary (data ports), as a regular expression.
  Dialogue& CommandLike(const std::string& pattern, const std::string& reply_code) {
    lines_.push_back({Kind::kPattern, pattern});
    return Reply(reply_code);
  }
  Dialogue& Text(const std::string& line) {
    lines_.push_back({Kind::kExact, line});
    return *this;
  }

  // The login as the tool runs it, up to the restart probe (both servers
  // accept "REST 1", so the client may resume and every store sends "REST 0").
  Dialogue& Login(const std::string& user) {
    return Reply("220")
        .Command("USER " + user, "331")
        .Command("PASS **********", "230")
        .Command("TYPE I", "200")
        .Command("STRU F", "200")
        .Command("MODE S", "200")
        .Command("REST 0", "350")
        .Command("REST 1", "350")
        .Command("REST 0", "350");
  }
  // The data connection negotiation through "STOR", without the final reply.
  Dialogue& StoreCommands(Family family, bool passive, bool binary, size_t size,
                          const std::string& remote, const std::string& rest_reply = "350",
                          const std::string& store_reply = "1\\d\\d") {
    if (passive) {
      if (family == Family::kIPv4) {
        Command("PASV", "227");
      } else {
        Command("EPSV 2", "229");
      }
    } else if (family == Family::kIPv4) {
      CommandLike(R"(PORT 127,0,0,1,\d{1,3},\d{1,3})", "200");
    } else {
      CommandLike(R"(EPRT \|2\|::1\|\d{1,5}\|)", "200");
    }
    return Command(binary ? "TYPE I" : "TYPE A", "200")
        .Command("ALLO " + std::to_string(size), "202")
        .Command("REST 0", rest_reply)
        .Command("STOR " + remote, store_reply);
  }
  Dialogue& Quit() { return Command("QUIT", "221"); }

  testing::AssertionResult Check(const std::string& output) const {
    std::vector<std::string> actual;
    size_t pos = 0;
    while (pos < output.size()) {
      const size_t end = output.find("\r\n", pos);
      if (end == std::string::npos) {
        return testing::AssertionFailure() << "output does not end in CR LF:\n" << output;
      }
      actual.push_back(output.substr(pos, end - pos));
      pos = end + 2;
    }
    size_t i = 0;
    for (const Line& want : lines_) {
      if (i >= actual.size()) {
        return testing::AssertionFailure() << "output ends before \"" << want.text << "\":\n"
                                           << output;
      }
      const std::string& got = actual[i];
      if (got.find_first_of("\r\n") != std::string::npos) {
        return testing::AssertionFailure() << "stray line end in line " << i + 1 << ":\n" << output;
      }
      bool ok = false;
      switch (want.kind) {
        case Kind::kExact:
          ok = got == want.text;
          break;
        case Kind::kPattern:
          ok = std::regex_match(got, std::regex(want.text));
          break;
        case Kind::kReply:
          ok = std::regex_match(got, std::regex(want.text + "[ -].*"));
          if (ok && got[3] == '-') {
            // A multi-line reply ends at the line with its code and a space.
            const std::string last = got.substr(0, 3) + " ";
            while (ok && actual[i].compare(0, 4, last) != 0) ok = ++i < actual.size();
          }
          break;
      }
      if (!ok) {
        return testing::AssertionFailure()
               << "line " << i + 1 << " is \"" << got << "\", expected \"" << want.text << "\":\n"
               << output;
      }
      ++i;
    }
    if (i != actual.size()) {
      return testing::AssertionFailure() << "unexpected lines from line " << i + 1 << ":\n"
                                         << output;
    }
    return testing::AssertionSuccess();
  }

 private:
  enum class Kind { kExact, kPattern, kReply };
  struct Line {
    Kind kind;
    std::string text;
  };
  std::vector<Line> lines_;
};

// ---- Running the tool ---------------------------------------------------------

// Runs the tool with args. Standard error goes to a file, which must hold
// exactly expected_errors: it is not a terminal, so no meter is drawn there.
TChildResult RunTool(const std::vector<std::string>& args,
                     const std::string& expected_errors = "") {
  TempDir dir("zud-run");
  TChildRun run;
  run.args = args;
  run.close_input = false;  // the tool must never wait for input
  run.error_path = (dir / "stderr.txt").string();
  TChildResult result = RunChild(kProgram, run);
  EXPECT_TRUE(result.started);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(dir.Read("stderr.txt").value_or("?"), expected_errors) << "on standard error";
  return result;
}

// The reply to the "REST 0" before a store: pyftpdlib refuses any REST in
// ASCII type, and the store from the start goes on regardless.
std::string RestReply(ServerKind server, bool binary) {
  return server == ServerKind::kPyftpdlib && !binary ? "501" : "350";
}

std::vector<std::string> ServerSwitches(const FtpDaemonFixture& server) {
  return {std::string("/host:") + server.host(), "/port:" + std::to_string(server.port())};
}

// Every byte value, CR LF pairs and lone CRs and LFs, over several 64 KiB pieces.
std::string BinaryContent() {
  std::string data;
  for (int i = 0; i < 200000; ++i) data += static_cast<char>((i * 7 + i / 256) % 256);
  data += "\r\n\r\r\n\n";
  return data;
}

// Text with LF line ends, stored unchanged in ASCII type by both servers.
std::string TextContent() {
  std::string data;
  for (int i = 0; i < 3000; ++i) data += "line " + std::to_string(i) + " of the sample text\n";
  return data;
}

// ---- Successful uploads ---------------------------------------------------------

enum class UserKind {
  kAccount,         // /user: and /pass: of the server's test account
  kNone,            // no /user: the client's anonymous default
  kAnonymousNoPass  // /user:anonymous with an empty /pass:
};

enum class Content { kBinary, kText, kEmpty };

struct UploadCase {
  std::string name;
  ServerKind server;
  Family family;
  bool passive;
  std::string mode_switch;  // "/ascii", "/binary" or ""
  std::string dir;          // value of /dir:, or "-" for no switch
  std::string local_name;   // the local file's name
  std::string remote;       // the name in STOR
  std::string stored_as;    // where it lands, relative to the server's root
  UserKind user = UserKind::kAccount;
  Content content = Content::kBinary;
};

void PrintTo(const UploadCase& c, std::ostream* os) { *os << c.name; }

class UploadTest : public testing::TestWithParam<UploadCase> {};

TEST_P(UploadTest, StoresTheFileAndEchoesTheDialogue) {
  const UploadCase& c = GetParam();
  FtpDaemonFixture& server = ServerPool::Get(c.server, c.family);
  ZUD_REQUIRE_DAEMON(server);

  TempDir local("zud-upload");
  ASSERT_TRUE(local.ok()) << local.error();
  const std::string content = c.content == Content::kBinary ? BinaryContent()
                              : c.content == Content::kText ? TextContent()
                                                            : std::string();
  ASSERT_TRUE(local.Write(c.local_name, content));

  std::vector<std::string> args = ServerSwitches(server);
  std::string user = server.user();
  switch (c.user) {
    case UserKind::kAccount:
      args.push_back("/user:" + server.user());
      args.push_back("/pass:" + server.password());
      break;
    case UserKind::kNone:
      user = "anonymous";
      break;
    case UserKind::kAnonymousNoPass:
      user = "anonymous";
      args.push_back("/user:anonymous");
      args.push_back("/pass:");
      break;
  }
  if (c.passive) args.push_back("/pasv");
  if (!c.mode_switch.empty()) args.push_back(c.mode_switch);
  if (c.dir != "-") args.push_back("/dir:" + c.dir);
  args.push_back((local / c.local_name).string());

  const TChildResult result = RunTool(args);
  const bool binary = c.mode_switch == "/binary";
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(Dialogue()
                  .Login(user)
                  .StoreCommands(c.family, c.passive, binary, content.size(), c.remote,
                                 RestReply(c.server, binary))
                  .Reply("226")
                  .Quit()
                  .Check(result.output));
  const auto stored = server.ReadFile(c.stored_as);
  ASSERT_TRUE(stored.has_value()) << c.stored_as << " is missing\n" << server.Log();
  EXPECT_TRUE(*stored == content) << "stored bytes differ: " << stored->size() << " of "
                                  << content.size();
}

std::vector<UploadCase> UploadCases() {
  std::vector<UploadCase> cases;
  // Every server, address family, data connection mode and transfer type.
  for (ServerKind server : {ServerKind::kVsftpd, ServerKind::kPyftpdlib}) {
    for (Family family : {Family::kIPv4, Family::kIPv6}) {
      for (bool passive : {true, false}) {
        for (const char* mode : {"", "/ascii", "/binary"}) {
          std::string name = std::string(ServerName(server)) + "_" + test::FamilyName(family) +
                             (passive ? "_Passive" : "_Active") +
                             (*mode ? std::string("_") + (mode + 1) : "_NoType");
          const std::string file = name + ".dat";
          cases.push_back({name, server, family, passive, mode, "-", file, "/" + file, file,
                           UserKind::kAccount,
                           std::string(mode) == "/binary" ? Content::kBinary : Content::kText});
        }
      }
    }
  }
  // The remote directory: "/" appended unless it ends in "/" or a backslash.
  const struct {
    const char* tag;
    const char* dir;
    const char* prefix;     // of the remote name
    const char* stored_in;  // relative to the root
  } dirs[] = {
      {"Root", "/", "/", ""},
      {"Absolute", "/incoming", "/incoming/", "incoming/"},
      {"AbsoluteWithSlash", "/incoming/", "/incoming/", "incoming/"},
      {"Relative", "incoming", "incoming/", "incoming/"},
      {"RelativeWithSlash", "incoming/", "incoming/", "incoming/"},
      // Nothing is appended: a Unix server takes the backslash as part of
      // the file name, stored in the root.
      {"EndsInBackslash", "/incoming\\", "/incoming\\", "incoming\\"},
  };
  for (ServerKind server : {ServerKind::kVsftpd, ServerKind::kPyftpdlib}) {
    for (const auto& d : dirs) {
      std::string name = std::string(ServerName(server)) + "_Dir" + d.tag;
      const std::string file = name + ".bin";
      cases.push_back({name, server, Family::kIPv4, true, "/binary", d.dir, file, d.prefix + file,
                       d.stored_in + file});
    }
    std::string name = std::string(ServerName(server)) + "_NameWithSpaces";
    cases.push_back({name, server, Family::kIPv4, true, "/binary", "/incoming", "my report 1.bin",
                     "/incoming/my report 1.bin", "incoming/my report 1.bin"});
    name = std::string(ServerName(server)) + "_EmptyFile";
    cases.push_back({name, server, Family::kIPv4, false, "/binary", "-", name, "/" + name, name,
                     UserKind::kAccount, Content::kEmpty});
  }
  // Anonymous logins (pyftpdlib lets anonymous store).
  cases.push_back({"pyftpdlib_NoUserIsAnonymous", ServerKind::kPyftpdlib, Family::kIPv4, true,
                   "/binary", "-", "anon1.bin", "/anon1.bin", "anon1.bin", UserKind::kNone});
  cases.push_back({"pyftpdlib_UserWithEmptyPassword", ServerKind::kPyftpdlib, Family::kIPv6, false,
                   "/binary", "/incoming", "anon2.bin", "/incoming/anon2.bin", "incoming/anon2.bin",
                   UserKind::kAnonymousNoPass});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(RealServers, UploadTest, testing::ValuesIn(UploadCases()),
                         [](const testing::TestParamInfo<UploadCase>& info) {
                           return info.param.name;
                         });

// ---- Failures: exit status 1, and only as much dialogue as happened -----------

class UploadFailureTest : public testing::TestWithParam<ServerKind> {
 protected:
  FtpDaemonFixture& Server(Family family = Family::kIPv4) {
    return ServerPool::Get(GetParam(), family);
  }
  // A file to upload, in a directory of its own.
  std::string LocalFile(const std::string& name, const std::string& content = "data\n") {
    EXPECT_TRUE(local_.Write(name, content));
    return (local_ / name).string();
  }
  TempDir local_{"zud-upload"};
};

TEST_P(UploadFailureTest, RefusedPasswordEndsWithoutQuit) {
  FtpDaemonFixture& server = Server();
  ZUD_REQUIRE_DAEMON(server);
  for (const std::string& password : {std::string("wrong"), std::string()}) {
    std::vector<std::string> args = ServerSwitches(server);
    args.insert(args.end(),
                {"/user:" + server.user(), "/pass:" + password, "/pasv", LocalFile("refused.txt")});
    const TChildResult result = RunTool(args);
    EXPECT_EQ(result.exit_status, 5) << "password \"" << password << "\"";
    EXPECT_TRUE(Dialogue()
                    .Reply("220")
                    .Command("USER " + server.user(), "331")
                    .Command("PASS **********", "530")
                    .Check(result.output))
        << "password \"" << password << "\"";
  }
  EXPECT_FALSE(server.Exists("refused.txt"));
}

TEST_P(UploadFailureTest, RefusedStoreStillQuits) {
  FtpDaemonFixture& server = Server();
  ZUD_REQUIRE_DAEMON(server);
  const std::string remote = std::string("/") + FtpDaemonFixture::kReadOnlyDir + "/denied.txt";
  for (bool passive : {true, false}) {
    std::vector<std::string> args = ServerSwitches(server);
    args.insert(args.end(), {"/user:" + server.user(), "/pass:" + server.password(), "/binary",
                             std::string("/dir:/") + FtpDaemonFixture::kReadOnlyDir});
    if (passive) args.push_back("/pasv");
    args.push_back(LocalFile("denied.txt", "12345"));
    const TChildResult result = RunTool(args);
    EXPECT_EQ(result.exit_status, 7);
    EXPECT_TRUE(Dialogue()
                    .Login(server.user())
                    .StoreCommands(Family::kIPv4, passive, true, 5, remote, "350", "55\\d")
                    .Quit()
                    .Check(result.output));
  }
  EXPECT_FALSE(server.Exists(std::string(FtpDaemonFixture::kReadOnlyDir) + "/denied.txt"));
}

// A path that exists but cannot be opened (a socket) raises while the store
// starts: the message and the last reply are printed, and QUIT is not sent.
TEST_P(UploadFailureTest, FileThatCannotBeOpenedPrintsTheExceptionAndTheLastReply) {
  FtpDaemonFixture& server = Server(Family::kIPv6);
  ZUD_REQUIRE_DAEMON(server);
  const std::string path = (local_ / "socket").string();
  test::UniqueFd unix_socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(::bind(unix_socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

  std::vector<std::string> args = ServerSwitches(server);
  args.insert(args.end(), {"/user:" + server.user(), "/pass:" + server.password(), path});
  const TChildResult result =
      RunTool(args, "ftpupload: cannot read " + path + ": No such device or address\n");
  EXPECT_EQ(result.exit_status, 1);
  const std::string open_error = "Cannot open file \"" + path + "\". No such device or address";
  EXPECT_TRUE(Dialogue()
                  .Login(server.user())
                  .Text(open_error)
                  .Reply("350")  // the last reply: the restart probe's "REST 0"
                  .Text("")      // the reply's own line end, then the line's
                  .Check(result.output));
}

std::string ServerParamName(const testing::TestParamInfo<ServerKind>& info) {
  return ServerName(info.param);
}

INSTANTIATE_TEST_SUITE_P(RealServers, UploadFailureTest,
                         testing::Values(ServerKind::kVsftpd, ServerKind::kPyftpdlib),
                         ServerParamName);

TEST(UploadWithoutServerTest, NothingListeningPrintsNothing) {
  // A port that was just free: the connection is refused. Standard output
  // stays empty; the cause goes to standard error.
  const int port = test::FreePort(Family::kIPv4);
  ASSERT_NE(port, 0);
  TempDir local("zud-upload");
  ASSERT_TRUE(local.Write("file.txt", "data"));
  const TChildResult result = RunTool(
      {"/host:127.0.0.1", "/port:" + std::to_string(port), "/pasv", (local / "file.txt").string()},
      "ftpupload: cannot connect to 127.0.0.1 port " + std::to_string(port) +
          ": Connection refused\n");
  EXPECT_EQ(result.exit_status, 4);
  EXPECT_EQ(result.output, "");
}

TEST(UploadWithoutServerTest, NoFileToUploadSendsNothing) {
  std::string error;
  test::UniqueFd listener = test::ListenTcp("127.0.0.1", 0, &error);
  ASSERT_TRUE(listener.valid()) << error;
  const int port = test::LocalEndpoint(listener.get()).port;
  TempDir local("zud-upload");
  ASSERT_TRUE(local.MakeDir("a directory"));
  const std::string missing = (local / "missing.txt").string();
  const std::string directory = (local / "a directory").string();
  const std::pair<std::string, std::string> cases[] = {
      {missing, "ftpupload: cannot read " + missing + ": No such file or directory\n"},
      {directory, "ftpupload: " + directory + " is a folder; add /recursive to upload its tree\n"},
  };
  for (const auto& [path, error] : cases) {
    const TChildResult result =
        RunTool({"/host:127.0.0.1", "/port:" + std::to_string(port), path}, error);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, "File not found( " + path + " )\r\n");
  }
  // The tool has ended: a connection it made would be waiting in the backlog.
  EXPECT_FALSE(test::AcceptTcp(listener.get(), 0).valid());
}

// ---- The progress meter on a terminal -----------------------------------------

TEST(ProgressMeterOnTerminalTest, DrawnOnStandardErrorAndErasedAtTheEnd) {
  FtpDaemonFixture& server = ServerPool::Get(ServerKind::kPyftpdlib, Family::kIPv4);
  ZUD_REQUIRE_DAEMON(server);
  const testing_support::TPseudoTerminal terminal;
  if (!terminal.ok()) GTEST_SKIP() << "no pseudo-terminal available";

  TempDir local("zud-upload");
  const std::string content = BinaryContent();
  ASSERT_TRUE(local.Write("metered.bin", content));
  std::vector<std::string> args = ServerSwitches(server);
  args.insert(args.end(), {"/user:" + server.user(), "/pass:" + server.password(), "/pasv",
                           "/binary", (local / "metered.bin").string()});
  TChildRun run;
  run.args = args;
  run.error_path = terminal.path();
  const TChildResult result = RunChild(kProgram, run);
  ASSERT_TRUE(result.started);
  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 0);
  // Standard output is untouched by the meter.
  EXPECT_TRUE(Dialogue()
                  .Login(server.user())
                  .StoreCommands(Family::kIPv4, true, true, content.size(), "/metered.bin")
                  .Reply("226")
                  .Quit()
                  .Check(result.output));
  EXPECT_EQ(server.ReadFile("metered.bin"), content);

  // The child has ended; what it wrote to the terminal is readable now.
  const std::string screen = terminal.Screen(2000);
  // "\r<line>" draws, then "\r<blanks>\r" erases as wide as the widest line.
  const std::regex meter(R"(\r\d+(\.\d)? (B|KiB) of 195\.3 KiB  \d+%  .* left)");
  std::smatch first;
  ASSERT_TRUE(std::regex_search(screen, first, meter)) << testing::PrintToString(screen);
  EXPECT_EQ(first.position(0), 0);
  const size_t erase = screen.rfind('\r', screen.size() - 2);
  ASSERT_NE(erase, std::string::npos);
  const std::string blanks = screen.substr(erase + 1, screen.size() - erase - 2);
  EXPECT_EQ(blanks, std::string(blanks.size(), ' '));
  EXPECT_GE(blanks.size(), static_cast<size_t>(first.length(0) - 1));
}

}  // namespace
}  // namespace zud
