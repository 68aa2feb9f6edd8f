// Self-tests of the small test-support pieces every other test leans on:
// temporary directories, child processes, ports, raw sockets, byte dumps and
// the echo peer.
#include "support/process.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "gtest/gtest.h"
#include "support/bytes.h"
#include "support/echo_server.h"
#include "support/net.h"
#include "support/temp_dir.h"

namespace zud::test {
namespace {

// Gone, or a zombie waiting for init: either way no longer running.
bool ProcessGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  size_t name_end = text.rfind(')');
  return name_end != std::string::npos && text.compare(name_end + 2, 1, "Z") == 0;
}

// Waits (bounded) for a condition that another process brings about.
template <typename Predicate>
bool Eventually(Predicate predicate, int timeout_ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

TEST(TempDirTest, HoldsBinaryFilesAndIsRemovedWithEverythingInIt) {
  std::filesystem::path kept;
  {
    TempDir dir;
    ASSERT_TRUE(dir.ok()) << dir.error();
    kept = dir.path();
    const std::string binary("a\0b\r\n\xff", 6);
    ASSERT_TRUE(dir.Write("deep/er/file.bin", binary));
    EXPECT_EQ(dir.Read("deep/er/file.bin"), binary);
    EXPECT_FALSE(dir.Read("missing"));
    EXPECT_FALSE(dir.Read("deep"));  // a directory is not a file
    EXPECT_EQ(dir.Read("/deep/er/file.bin"), binary);  // "/" means the directory's root
    // A directory the test locked up must not keep the tree alive.
    ASSERT_TRUE(dir.MakeDir("locked/inner"));
    ASSERT_TRUE(dir.Write("locked/inner/x", "x"));
    ::chmod((dir / "locked").c_str(), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
}

TEST(ChildProcessTest, LogsOutputPassesEnvironmentAndReportsExit) {
  TempDir dir;
  ChildProcess child;
  ASSERT_TRUE(child.Start({"/bin/sh", "-c", "echo out:$ZUD_PROBE; echo err >&2; exit 3"},
                          dir / "log", {"ZUD_PROBE=42"}))
      << child.error();
  ASSERT_TRUE(Eventually([&] { return !child.Running(); }));
  EXPECT_EQ(child.exit_description(), "exited with status 3");
  child.Stop();
  EXPECT_EQ(dir.Read("log"), "out:42\nerr\n");
}

TEST(ChildProcessTest, StopKillsTheWholeProcessGroup) {
  TempDir dir;
  pid_t grandchild = 0;
  {
    ChildProcess child;
    // The shell ignores SIGTERM, so Stop must escalate; its background child
    // is in the same group and must die with it.
    ASSERT_TRUE(child.Start({"/bin/sh", "-c", "trap '' TERM; sleep 300 & echo $! > " +
                                                  (dir / "pid").string() + "; wait"},
                            dir / "log"));
    ASSERT_TRUE(Eventually([&] { return dir.Read("pid").value_or("").find('\n') != std::string::npos; }));
    grandchild = std::stoi(*dir.Read("pid"));
    ASSERT_FALSE(ProcessGone(grandchild));
    child.Stop(200);
    EXPECT_FALSE(child.Running());
    EXPECT_EQ(child.exit_description(), "killed by signal 9");
  }
  EXPECT_TRUE(Eventually([&] { return ProcessGone(grandchild); }));
}

TEST(ChildProcessTest, MissingProgramFailsToStart) {
  TempDir dir;
  ChildProcess child;
  EXPECT_FALSE(child.Start({"/nonexistent/daemon"}, dir / "log"));
  EXPECT_NE(child.error().find("/nonexistent/daemon"), std::string::npos);
  EXPECT_EQ(FindProgram("surely-not-a-program-zud"), "");
  EXPECT_NE(FindProgram("sh"), "");
}

TEST(PortTest, FreePortIsBindableAndWaitForTcpPortSeesListeners) {
  for (Family family : {Family::kIPv4, Family::kIPv6}) {
    SCOPED_TRACE(FamilyName(family));
    if (!LoopbackAvailable(family)) continue;
    int port = FreePort(family);
    ASSERT_GT(port, 0);
    std::string why;
    EXPECT_FALSE(WaitForTcpPort(LoopbackHost(family), port, 50, nullptr, &why));
    EXPECT_NE(why.find("nothing accepted"), std::string::npos) << why;
    UniqueFd listener = ListenTcp(LoopbackHost(family), port, &why);
    ASSERT_TRUE(listener.valid()) << why;
    EXPECT_TRUE(WaitForTcpPort(LoopbackHost(family), port, 1000));
  }
}

TEST(PortTest, WaitForTcpPortGivesUpWhenTheDaemonDies) {
  TempDir dir;
  ChildProcess child;
  ASSERT_TRUE(child.Start({"/bin/sh", "-c", "exit 7"}, dir / "log"));
  std::string why;
  EXPECT_FALSE(WaitForTcpPort("127.0.0.1", FreePort(Family::kIPv4), 10000, &child, &why));
  EXPECT_NE(why.find("exited with status 7"), std::string::npos) << why;
}

TEST(PortTest, ListensOnIgnoresPortsOfOtherProcesses) {
  TempDir dir;
  ChildProcess child;
  ASSERT_TRUE(child.Start({"/bin/sleep", "30"}, dir / "log"));
  UniqueFd ours = ListenTcp("127.0.0.1", 0);
  EXPECT_FALSE(child.ListensOn(LocalEndpoint(ours.get()).port));
}

TEST(NetTest, ConnectsFromAChosenSourceAndTimesOutReads) {
  std::string why;
  UniqueFd listener = ListenTcp("127.0.0.1", 0, &why);
  ASSERT_TRUE(listener.valid()) << why;
  int port = LocalEndpoint(listener.get()).port;
  UniqueFd client = ConnectTcp("127.0.0.1", port, 1000, &why, "127.0.0.2");
  ASSERT_TRUE(client.valid()) << why;
  UniqueFd server = AcceptTcp(listener.get(), 1000, nullptr, &why);
  ASSERT_TRUE(server.valid()) << why;
  EXPECT_EQ(PeerEndpoint(server.get()).host, "127.0.0.2");

  ASSERT_TRUE(SendAll(client.get(), "line one\r\npartial"));
  std::string line;
  ASSERT_TRUE(RecvLine(server.get(), &line, 1000));
  EXPECT_EQ(line, "line one");
  std::string rest;
  EXPECT_FALSE(RecvExact(server.get(), 20, &rest, 50, &why));
  EXPECT_EQ(rest, "partial");
  EXPECT_NE(why.find("timed out"), std::string::npos) << why;

  StopSignal stop;
  stop.Raise();
  EXPECT_EQ(WaitFd(server.get(), POLLIN, -1, &stop), WaitResult::kStopped);
  client.reset();
  EXPECT_TRUE(RecvAll(server.get(), &rest, 1000));
}

TEST(BytesTest, ListsLiteralsAndMismatchDumps) {
  const uint8_t kArray[] = {0x05, 0x00};
  EXPECT_EQ(Bytes({0x05, 0x00}).str(), std::string("\x05\x00", 2));
  EXPECT_EQ(Bytes(kArray), Bytes({0x05, 0x00}));
  EXPECT_EQ((Bytes("ab") + PortBytes(0x1234)).str(), "ab\x12\x34");
  EXPECT_EQ(DescribeMismatch("same", "same"), "");
  std::string text = DescribeMismatch(std::string("\x05\x01\x00", 3), std::string("\x05\x02", 2));
  EXPECT_NE(text.find("first difference at byte 1 (expected 3 bytes, got 2)"), std::string::npos)
      << text;
  EXPECT_NE(text.find(" 05 01 00"), std::string::npos) << text;
  EXPECT_NE(HexDump("ABCDEFGHIJKLMNOPQ").find("  0010  51"), std::string::npos);
}

class EchoServerTest : public testing::TestWithParam<Family> {};

TEST_P(EchoServerTest, EchoesEachConnectionAndClosesAfterHalfClose) {
  if (!LoopbackAvailable(GetParam())) GTEST_SKIP() << "no loopback for this family";
  EchoServer echo(GetParam());
  ASSERT_TRUE(echo.ok()) << echo.error();
  std::string why;
  UniqueFd first = ConnectTcp(echo.host(), echo.port(), 1000, &why);
  UniqueFd second = ConnectTcp(echo.host(), echo.port(), 1000, &why);
  ASSERT_TRUE(first.valid() && second.valid()) << why;
  std::string big(300000, 'x');
  ASSERT_TRUE(SendAll(second.get(), "second"));
  ASSERT_TRUE(SendAll(first.get(), big));
  ::shutdown(first.get(), SHUT_WR);
  std::string back;
  ASSERT_TRUE(RecvAll(first.get(), &back, 5000, &why)) << why;
  EXPECT_EQ(back, big);
  back.clear();
  ASSERT_TRUE(RecvExact(second.get(), 6, &back, 5000, &why)) << why;
  EXPECT_EQ(back, "second");
  EXPECT_EQ(echo.connection_count(), 2);
  EXPECT_EQ(echo.peers()[0].host, LoopbackHost(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Families, EchoServerTest,
                         testing::Values(Family::kIPv4, Family::kIPv6),
                         [](const auto& info) { return FamilyName(info.param); });

}  // namespace
}  // namespace zud::test
