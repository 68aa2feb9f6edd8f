// Child processes for test daemons, free loopback ports, and waiting for a
// daemon's port to accept connections.
//
//   TempDir dir;
//   ChildProcess daemon;
//   int port = FreePort(Family::kIPv4);
//   if (!daemon.Start({"/usr/bin/microsocks", "-i", "127.0.0.1", "-p",
//                      std::to_string(port)}, dir / "daemon.log")) { ... daemon.error() }
//   std::string why;
//   if (!WaitForTcpPort("127.0.0.1", port, 10000, &daemon, &why)) { ... }
//   ...                              // the destructor stops the whole group
//
// The child runs in its own process group with stdin from /dev/null and
// stdout and stderr appended to a log file. Stop() (and the destructor)
// sends SIGTERM to the group, then SIGKILL to whatever is left, and reaps the
// child. A small watchdog process kills the group if the test process dies
// without stopping it (a crash, an abort, a runner's timeout), so daemons
// never outlive the test.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/net.h"

namespace zud::test {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Runs argv[0] (a path) with argv; env entries "NAME=value" are added to
  // (or replace in) the inherited environment. False with error() when the
  // program cannot be started at all (missing, not executable).
  bool Start(const std::vector<std::string>& argv, const std::filesystem::path& log_path,
             const std::vector<std::string>& env = {});
  // Whether the child still runs; reaps it (and records how it ended) if not.
  bool Running();
  // Terminates the process group within grace_ms, then kills it; idempotent.
  void Stop(int grace_ms = 2000);
  // Whether a process of the child's group holds a listening TCP socket on
  // port (read from /proc): tells our daemon from a program that took the port.
  bool ListensOn(int port) const;

  pid_t pid() const { return pid_; }
  const std::string& error() const { return error_; }
  // "exited with status N" / "killed by signal N" once reaped, else "".
  const std::string& exit_description() const { return exit_description_; }

 private:
  void Reap(int status);
  bool StartWatchdog();

  pid_t pid_ = -1;
  pid_t watchdog_ = -1;
  UniqueFd lifeline_;  // its end tells the watchdog to kill the group
  bool reaped_ = true;
  std::string error_;
  std::string exit_description_;
};

// A port that was free on the family's loopback address a moment ago (bind to
// port 0, read it, close). Another process may take it before the caller
// binds it, so daemon fixtures retry once on a new port. 0 on failure.
int FreePort(Family family);

// Polls by connecting until host:port accepts, the child (if given) exits, or
// timeout_ms passes; *why explains a false result.
bool WaitForTcpPort(const std::string& host, int port, int timeout_ms,
                    ChildProcess* child = nullptr, std::string* why = nullptr);

// Polls /proc until a process of the child's group listens on port, without
// connecting (for daemons that would serve a probe as a session); false,
// with *why, when the child exits or timeout_ms passes.
bool WaitForListener(ChildProcess& child, int port, int timeout_ms, std::string* why = nullptr);

// Full path of a program found in PATH or in the sbin directories (daemons
// live there and PATH may not list them); "" when absent.
std::string FindProgram(const std::string& name);

}  // namespace zud::test
