// The interrupt handler and the hidden password prompt, each run in a child
// process: the handler ends its process, and the prompt needs a controlling
// terminal (a pseudo terminal here).
#include "util/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace zud {
namespace {

constexpr char kMessage[] = "tool: interrupted\n";

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(-1); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Everything readable from fd until it ends or until `until` shows up,
// waiting at most 5 s.
std::string ReadFrom(int fd, const std::string& until = "") {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!until.empty() && text.find(until) != std::string::npos) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

struct ChildEnd {
  int signal = 0;  // the one that ended it, else 0
  int status = -1;
  std::string out, err;
};

// Runs body in a child whose standard output and error are captured.
ChildEnd RunInChild(const std::function<void()>& body) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    body();
    _exit(0);
  }
  close(out[1]);
  close(err[1]);
  const Fd out_read(out[0]), err_read(err[0]);
  ChildEnd end;
  end.out = ReadFrom(out_read.get());
  end.err = ReadFrom(err_read.get());
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
  if (WIFEXITED(status)) end.status = WEXITSTATUS(status);
  return end;
}

TEST(InterruptTest, EndsByTheInterruptingSignalAtOnceOrAfterACleanStop) {
  struct Case {
    const char* name;
    bool armed;
    int first, then;
    int want_signal;
    const char* want_out;
    const char* want_err;
  };
  const Case cases[] = {
      {"nothing armed, Ctrl-C", false, SIGINT, 0, SIGINT, "", kMessage},
      {"nothing armed, SIGTERM", false, SIGTERM, 0, SIGTERM, "", kMessage},
      {"armed: the clean stop ends by it", true, SIGTERM, 0, SIGTERM, "stopped", ""},
      {"armed, second interrupt", true, SIGINT, SIGTERM, SIGTERM, "", kMessage},
      {"armed, clean stop overdue", true, SIGTERM, SIGALRM, SIGTERM, "", kMessage},
      {"no interrupt: returns", true, 0, 0, 0, "stopped", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ChildEnd end = RunInChild([&c] {
      static std::atomic<bool> stop{false};
      InstallInterruptHandler(kMessage);
      if (c.armed) ArmInterruptFlags(&stop, nullptr);
      if (c.first != 0) raise(c.first);
      if (c.then != 0) raise(c.then);
      if (stop.load() != (c.first != 0) || InterruptSignal() != c.first) _exit(3);
      // Unflushed: the end by signal must not lose it.
      printf("stopped");
      EndByInterruptSignal();
      fflush(stdout);
      _exit(0);
    });
    EXPECT_EQ(end.signal, c.want_signal);
    if (c.want_signal == 0) {
      EXPECT_EQ(end.status, 0);
    }
    EXPECT_EQ(end.out, c.want_out);
    EXPECT_EQ(end.err, c.want_err);
  }
}

// A child on its own pseudo terminal (its controlling terminal) that reads a
// hidden line; the parent types into the terminal and watches what it shows.
class HiddenPromptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master_.get() < 0 || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) {
      GTEST_SKIP() << "no pseudo terminal available";
    }
    slave_name_ = ptsname(master_.get());
    // The parent's own view of the terminal settings.
    slave_.Reset(open(slave_name_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(slave_.get(), 0);
    ASSERT_EQ(pipe2(report_, O_CLOEXEC), 0);
  }
  void TearDown() override {
    for (int fd : report_) {
      if (fd >= 0) close(fd);
    }
  }

  // Starts the child, which reports "<ok>:<line>" through the pipe.
  pid_t Start() {
    const std::string name = slave_name_;
    const int report = report_[1];
    const pid_t pid = fork();
    if (pid == 0) {
      setsid();
      const int tty = open(name.c_str(), O_RDWR);  // becomes the controlling terminal
      if (tty < 0) _exit(2);
      dup2(tty, STDERR_FILENO);
      InstallInterruptHandler(kMessage);
      std::string line;
      const bool ok = ReadHiddenLine("Password: ", line);
      const std::string text = std::to_string(ok) + ":" + line;
      [[maybe_unused]] ssize_t n = write(report, text.data(), text.size());
      _exit(0);
    }
    close(report_[1]);
    report_[1] = -1;
    return pid;
  }

  bool EchoOn() {
    termios settings{};
    return tcgetattr(slave_.get(), &settings) == 0 && (settings.c_lflag & ECHO) != 0;
  }

  Fd master_, slave_;
  std::string slave_name_;
  int report_[2] = {-1, -1};
};

TEST_F(HiddenPromptTest, TypedLineComesBackUnechoedAndEchoReturns) {
  ASSERT_TRUE(EchoOn());
  const pid_t pid = Start();
  ASSERT_NE(ReadFrom(master_.get(), "Password: ").find("Password: "), std::string::npos);
  EXPECT_FALSE(EchoOn()) << "echo is off while the prompt waits";
  ASSERT_EQ(write(master_.get(), "s3cret\n", 7), 7);
  EXPECT_EQ(ReadFrom(report_[0]), "1:s3cret");
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string screen = ReadFrom(master_.get(), "\n");
  EXPECT_EQ(screen.find("s3cret"), std::string::npos) << screen;
  EXPECT_NE(screen.find('\n'), std::string::npos) << "a line feed follows the hidden line";
  EXPECT_TRUE(EchoOn());
}

TEST_F(HiddenPromptTest, CtrlCAtThePromptEndsTheProcessWithEchoBackOn) {
  const pid_t pid = Start();
  ASSERT_NE(ReadFrom(master_.get(), "Password: ").find("Password: "), std::string::npos);
  ASSERT_FALSE(EchoOn());
  ASSERT_EQ(write(master_.get(), "\x03", 1), 1);  // the terminal's interrupt character
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  // The terminal shows the line end as \r\n.
  const std::string screen = ReadFrom(master_.get(), "interrupted");
  EXPECT_NE(screen.find("tool: interrupted"), std::string::npos) << screen;
  EXPECT_TRUE(EchoOn());
}

}  // namespace
}  // namespace zud
