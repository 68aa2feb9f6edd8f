#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace zud::test {
namespace {

using Clock = std::chrono::steady_clock;

bool IsExecutable(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

// Builds a NULL-terminated pointer array over strings that outlive it.
std::vector<char*> PointerArray(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Socket inodes of the TCP listeners on port, from /proc/net/tcp and tcp6.
std::set<std::string> ListenerInodes(int port) {
  std::set<std::string> inodes;
  char wanted[8];
  std::snprintf(wanted, sizeof(wanted), ":%04X", port);
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode;
      bool port_matches = local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0;
      if (port_matches && state == "0A") inodes.insert("socket:[" + inode + "]");
    }
  }
  return inodes;
}

// The process group a process belongs to, from /proc/PID/stat; -1 if gone.
pid_t ProcessGroupOf(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string stat;
  std::getline(in, stat);
  size_t name_end = stat.rfind(')');  // the command name may hold spaces
  if (name_end == std::string::npos) return -1;
  std::istringstream fields(stat.substr(name_end + 1));
  std::string state;
  long parent = 0, group = -1;
  fields >> state >> parent >> group;
  return static_cast<pid_t>(group);
}

}  // namespace

bool ChildProcess::ListensOn(int port) const {
  if (pid_ < 0 || reaped_) return false;
  std::set<std::string> inodes = ListenerInodes(port);
  if (inodes.empty()) return false;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (ProcessGroupOf(pid) != pid_) continue;
    std::error_code fd_ec;
    for (const auto& fd : std::filesystem::directory_iterator(entry.path() / "fd", fd_ec)) {
      std::error_code link_ec;
      std::string target = std::filesystem::read_symlink(fd.path(), link_ec).string();
      if (!link_ec && inodes.count(target)) return true;
    }
  }
  return false;
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::filesystem::path& log_path,
                         const std::vector<std::string>& env) {
  Stop();
  error_.clear();
  exit_description_.clear();
  if (argv.empty() || !IsExecutable(argv[0])) {
    error_ = "not an executable program: " + (argv.empty() ? std::string("(none)") : argv[0]);
    return false;
  }
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls are allowed in a threaded process.
  std::vector<std::string> args = argv;
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const std::string& extra : env) {
      size_t eq = extra.find('=');
      if (eq != std::string::npos && entry.compare(0, eq + 1, extra, 0, eq + 1) == 0) {
        replaced = true;
      }
    }
    if (!replaced) environment.push_back(entry);
  }
  environment.insert(environment.end(), env.begin(), env.end());
  std::vector<char*> arg_pointers = PointerArray(args);
  std::vector<char*> env_pointers = PointerArray(environment);

  UniqueFd log(::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!log.valid()) {
    error_ = "cannot open log " + log_path.string() + ": " + ErrnoText(errno);
    return false;
  }
  UniqueFd null_input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!null_input.valid()) {
    error_ = "cannot open /dev/null: " + ErrnoText(errno);
    return false;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    error_ = "fork: " + ErrnoText(errno);
    return false;
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(null_input.get(), 0);
    ::dup2(log.get(), 1);
    ::dup2(log.get(), 2);
    ::close_range(3, ~0U, 0);
    ::execve(arg_pointers[0], arg_pointers.data(), env_pointers.data());
    ::_exit(127);
  }
  // Also from the parent, so that Stop() works even before the child ran.
  ::setpgid(pid, pid);
  pid_ = pid;
  reaped_ = false;
  if (!StartWatchdog()) {
    Stop(0);
    return false;
  }
  return true;
}

bool ChildProcess::StartWatchdog() {
  // The watchdog waits for the end of the lifeline pipe, whose write end only
  // this process holds (close-on-exec). The pipe ends when Stop() closes it
  // or when this process dies in any way; the watchdog then kills the
  // daemon's group. It has a group of its own, so that whoever kills the
  // test's group (a test runner's timeout) does not take the watchdog along.
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    error_ = "pipe: " + ErrnoText(errno);
    return false;
  }
  UniqueFd read_end(ends[0]);
  lifeline_.reset(ends[1]);
  pid_t group = pid_;
  pid_t watchdog = ::fork();
  if (watchdog < 0) {
    error_ = "fork: " + ErrnoText(errno);
    lifeline_.reset();
    return false;
  }
  if (watchdog == 0) {
    ::setpgid(0, 0);
    ::dup2(read_end.get(), 0);
    ::close_range(1, ~0U, 0);
    char byte;
    while (::read(0, &byte, 1) != 0 && errno == EINTR) {
    }
    ::kill(-group, SIGKILL);
    ::_exit(0);
  }
  watchdog_ = watchdog;
  return true;
}

void ChildProcess::Reap(int status) {
  reaped_ = true;
  if (WIFEXITED(status)) {
    exit_description_ = "exited with status " + std::to_string(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    exit_description_ = "killed by signal " + std::to_string(WTERMSIG(status));
  }
}

bool ChildProcess::Running() {
  if (pid_ < 0 || reaped_) return false;
  siginfo_t info{};
  // WNOWAIT keeps a dead child as a zombie, so its process group id cannot
  // be reused before Stop() has killed the rest of the group.
  if (::waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) {
    if (info.si_code == CLD_EXITED) {
      exit_description_ = "exited with status " + std::to_string(info.si_status);
    } else {
      exit_description_ = "killed by signal " + std::to_string(info.si_status);
    }
    return false;
  }
  return true;
}

void ChildProcess::Stop(int grace_ms) {
  if (pid_ < 0 || reaped_) return;
  ::kill(-pid_, SIGTERM);
  auto deadline = Clock::now() + std::chrono::milliseconds(grace_ms);
  while (Running() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Forked helpers of the daemon may still be alive even when it is not.
  ::kill(-pid_, SIGKILL);
  // The watchdog's own kill comes while the unreaped daemon still holds its
  // group id, so it cannot hit a group that reused the number.
  lifeline_.reset();
  if (watchdog_ > 0) {
    while (::waitpid(watchdog_, nullptr, 0) < 0 && errno == EINTR) {
    }
    watchdog_ = -1;
  }
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  Reap(status);
}

int FreePort(Family family) {
  UniqueFd fd = ListenTcp(LoopbackHost(family), 0);
  return fd.valid() ? LocalEndpoint(fd.get()).port : 0;
}

bool WaitForTcpPort(const std::string& host, int port, int timeout_ms, ChildProcess* child,
                    std::string* why) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string last_error;
  for (;;) {
    if (child && !child->Running()) {
      if (why) *why = "the daemon ended before it listened: " + child->exit_description();
      return false;
    }
    if (ConnectTcp(host, port, 1000, &last_error).valid()) return true;
    if (Clock::now() >= deadline) {
      if (why) {
        *why = "nothing accepted on " + Endpoint{host, port}.ToString() + " within " +
               std::to_string(timeout_ms) + " ms (" + last_error + ")";
      }
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool WaitForListener(ChildProcess& child, int port, int timeout_ms, std::string* why) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (!child.Running()) {
      if (why) *why = "the daemon ended before it listened: " + child.exit_description();
      return false;
    }
    if (child.ListensOn(port)) return true;
    if (Clock::now() >= deadline) {
      if (why) {
        *why = "the daemon did not listen on port " + std::to_string(port) + " within " +
               std::to_string(timeout_ms) + " ms";
      }
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return IsExecutable(name) ? name : "";
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/local/sbin:/usr/sbin:/sbin:/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    if (!dir.empty() && IsExecutable(dir + "/" + name)) return dir + "/" + name;
    start = end + 1;
  }
  return "";
}

}  // namespace zud::test
