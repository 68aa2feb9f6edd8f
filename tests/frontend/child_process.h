// Runs the built ftpupload executable as a child process with captured
// standard output, optionally under a tracer (this process, via ptrace) so
// that the program sees an attached debugger. Every run is bounded by a
// deadline after which the child is killed, so a test never hangs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace zud::testing_support {

struct TChildRun {
  std::vector<std::string> args;  // the parameters after the program path
  std::string input;              // written to the child's standard input
  bool close_input = true;        // false keeps standard input open, empty
  bool traced = false;
  int timeout_ms = 60000;
  // When set, the child's standard error goes to this file or terminal
  // (appended); otherwise it shares the caller's.
  std::string error_path;
  // When set, interrupt_signal goes to the child once its output holds this text.
  std::string interrupt_after;
  int interrupt_signal = SIGINT;
  int interrupt_delay_ms = 0;  // after the text arrived
  // The reading end of standard output is closed at once: every write of
  // the child meets a broken pipe.
  bool output_closed = false;
};

struct TChildResult {
  bool started = false;      // false: fork, exec or (when traced) ptrace failed
  bool timed_out = false;
  // The status as a shell reports it: the exit code, or 128 + the signal
  // that ended the child (130 after SIGINT); -1 when it timed out.
  int exit_status = -1;
  int term_signal = 0;       // the signal that ended the child, 0 when it exited
  std::string output;
};

inline constexpr int kTraceRefused = 125;

inline TChildResult RunChild(const std::string& path, const TChildRun& run) {
  TChildResult result;
  signal(SIGPIPE, SIG_IGN);
  int out_pipe[2], in_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(in_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }

  // Everything the child needs is built before fork.
  std::vector<std::string> argv_strings{path};
  argv_strings.insert(argv_strings.end(), run.args.begin(), run.args.end());
  std::vector<char*> argv;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  // LeakSanitizer cannot run inside a process that is already traced.
  std::string asan = "ASAN_OPTIONS=detect_leaks=0";
  if (const char* old = getenv("ASAN_OPTIONS")) asan = std::string("ASAN_OPTIONS=") + old + ":detect_leaks=0";
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("ASAN_OPTIONS=", 0) != 0) env_strings.emplace_back(*e);
  }
  if (run.traced) env_strings.push_back(asan);
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    dup2(in_pipe[0], STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    if (!run.error_path.empty()) {
      const int err = open(run.error_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY, 0644);
      if (err < 0) _exit(127);
      dup2(err, STDERR_FILENO);
      if (err != STDERR_FILENO) close(err);
    }
    if (run.traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(kTraceRefused);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(in_pipe[0]);
  if (!run.input.empty()) {
    [[maybe_unused]] ssize_t n = write(in_pipe[1], run.input.data(), run.input.size());
  }
  int in_fd = in_pipe[1];
  if (run.close_input) {
    close(in_fd);
    in_fd = -1;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(run.timeout_ms);
  bool output_open = true, exited = false, interrupted = false;
  if (run.output_closed) {
    close(out_pipe[0]);
    out_pipe[0] = -1;
    output_open = false;
  }
  int status = 0;
  while (output_open || !exited) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      if (!exited) waitpid(pid, &status, 0);
      result.timed_out = true;
      break;
    }
    if (output_open) {
      pollfd p{out_pipe[0], POLLIN, 0};
      if (poll(&p, 1, 20) > 0) {
        char buffer[4096];
        const ssize_t n = read(out_pipe[0], buffer, sizeof(buffer));
        if (n > 0) result.output.append(buffer, static_cast<size_t>(n));
        if (n == 0) output_open = false;
      }
      if (!interrupted && !run.interrupt_after.empty() &&
          result.output.find(run.interrupt_after) != std::string::npos) {
        interrupted = true;
        usleep(static_cast<useconds_t>(run.interrupt_delay_ms) * 1000);
        kill(pid, run.interrupt_signal);
      }
    } else {
      usleep(5000);
    }
    while (!exited) {
      const pid_t w = waitpid(pid, &status, WNOHANG);
      if (w <= 0) break;
      if (WIFSTOPPED(status)) {
        // Tracer duty: let the child go on, passing on any real signal.
        const int sig = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(sig)));
      } else if (WIFEXITED(status) || WIFSIGNALED(status)) {
        exited = true;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  if (out_pipe[0] >= 0) close(out_pipe[0]);
  if (!result.timed_out && WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
    result.started = !(run.traced && result.exit_status == kTraceRefused) && result.exit_status != 127;
  } else if (!result.timed_out && WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
    result.exit_status = 128 + result.term_signal;
    result.started = true;
  }
  return result;
}

}  // namespace zud::testing_support
