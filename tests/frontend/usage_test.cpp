// Runs the built ftpupload executable and compares its output byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frontend/child_process.h"

namespace zud {
namespace {

using testing_support::RunChild;
using testing_support::TChildRun;

const std::string kProgram = ZUD_BINARY_DIR "/ftpupload";

const std::string kUsage =
    "ftpupload Version:1.0.0\r\n"
    "\r\n"
    "Usage:\r\n"
    "ftpupload PARAMS FILENAME\r\n"
    "\r\n"
    "PARAMS:\r\n"
    " /?                 : Show help messages(This Message)\r\n"
    " /host:hostname     : FTP Server HostName or IPAddress\r\n"
    " /port:serverport   : FTP Server Port(Default 21)\r\n"
    " /user:username     : Login username\r\n"
    " /pass:password     : Login password\r\n"
    " /pasv              : Use passive mode\r\n"
    " /ascii or /binary  : ASCII or BINARY mode\r\n"
    " /dir:RemoteDIR     : Remote Directory(Default /)\r\n"
    "\r\n"
    "FILENAME\r\n"
    " Input filepath\r\n"
    " When include spaces, like \"C:\\My Documents\\TEST.txt\"\r\n"
    "\r\n"
    "ex.\r\n"
    "ftpupload /host:ftp.example.com /user:myuser /pass:pwsamp /pasv /ascii /dir:/testdir "
    "\"C:\\My Documents\\TEST.txt\"\r\n";

TEST(ExecutableUsageTest, PrintedExactlyForEveryHelpRequest) {
  const std::vector<std::vector<std::string>> requests = {
      {}, {"/?"}, {"-?"}, {"--HELP"}, {"--help"}, {"/host:x", "-?", "file.txt"},
  };
  for (const auto& args : requests) {
    TChildRun run;
    run.args = args;
    run.close_input = false;  // without a debugger it must not wait for input
    const auto result = RunChild(kProgram, run);
    ASSERT_TRUE(result.started) << testing::PrintToString(args);
    ASSERT_FALSE(result.timed_out) << testing::PrintToString(args);
    EXPECT_EQ(result.exit_status, 0) << testing::PrintToString(args);
    EXPECT_EQ(result.output, kUsage) << testing::PrintToString(args);
  }
}

TEST(ExecutableUsageTest, PointsAtTheFullHelpOnStandardErrorAndPrintsIt) {
  const std::string err_path = ::testing::TempDir() + "usage_stderr.txt";
  std::remove(err_path.c_str());
  TChildRun usage;
  usage.args = {"/?"};
  usage.close_input = false;
  usage.error_path = err_path;
  EXPECT_EQ(RunChild(kProgram, usage).output, kUsage);
  std::ifstream err(err_path, std::ios::binary);
  const std::string err_text((std::istreambuf_iterator<char>(err)), {});
  EXPECT_EQ(err_text,
            "ftpupload: deploy a folder: ftpupload /host:ftp.example.com /user:me "
            "/passenv:FTP_PASSWORD /recursive /sync /dir:/htdocs public/\n"
            "ftpupload: more switches: ftpupload --help all, or man ftpupload\n");

  TChildRun all;
  all.args = {"--help", "all"};
  all.close_input = false;
  const auto result = RunChild(kProgram, all);
  EXPECT_EQ(result.exit_status, 0);
  for (const char* line : {"\r\n /recursive ", "\r\n /exclude:GLOB ", "\r\n /retry:N ",
                           "\r\n /verbose ", "\r\nExamples:\r\n", " /dryrun\r\n"}) {
    EXPECT_NE(result.output.find(line), std::string::npos) << line;
  }
}

TEST(ExecutableUsageTest, ASingleParameterIsTheClassicMissingPathWhateverItIs) {
  for (const char* arg : {"-help", "/help", "/recursive"}) {
    TChildRun run;
    run.args = {arg};
    run.close_input = false;
    const auto result = RunChild(kProgram, run);
    ASSERT_TRUE(result.started);
    ASSERT_FALSE(result.timed_out);
    // One parameter leaves the local path empty: the upload fails.
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, "File not found(  )\r\n") << arg;
  }
}

TEST(DebuggerTest, NoDumpAndNoWaitWithoutDebugger) {
  TChildRun run;
  run.args = {"/host:h", "/pass:secret", "missing-file.txt"};
  run.close_input = false;  // a wait for Enter would run into the deadline
  const auto result = RunChild(kProgram, run);
  ASSERT_TRUE(result.started);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 1);  // the file is missing
  EXPECT_EQ(result.output.find("server:"), std::string::npos);
  EXPECT_EQ(result.output.find("secret"), std::string::npos);
}

TEST(DebuggerTest, DumpAndWaitsUnderATracer) {
  TChildRun run;
  run.args = {"/host:h", "/port:2121", "/user:u", "/pass:p", "/binary", "/dir:/d", "missing.txt"};
  run.input = "\n\n";
  run.traced = true;
  const auto result = RunChild(kProgram, run);
  if (!result.started) GTEST_SKIP() << "this system does not allow ptrace (no tracer possible)";
  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 1);  // the file is missing
  const std::string dump =
      "server:h\r\nport:2121\r\nuser:u\r\npass:**********\r\nmode:binary\r\nremote_dir:/d\r\n"
      "local_path:missing.txt\r\n";
  EXPECT_EQ(result.output.substr(0, dump.size()), dump);

  // The usage text under a debugger ends with a wait for Enter, satisfied here.
  TChildRun help;
  help.args = {"/?"};
  help.input = "\n";
  help.traced = true;
  const auto usage = RunChild(kProgram, help);
  ASSERT_TRUE(usage.started);
  ASSERT_FALSE(usage.timed_out);
  EXPECT_EQ(usage.output, kUsage);
}

}  // namespace
}  // namespace zud
