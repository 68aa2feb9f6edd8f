// Shared core of the fixtures that run a real daemon (vsftpd, pyftpdlib,
// danted, microsocks, tinyproxy) on a free loopback port, each with its own
// temporary directory for its configuration, log and data.
//
//   TEST(Proxy, ThroughDante) {
//     DanteServer dante;
//     ZUD_REQUIRE_DAEMON(dante);   // skips (with the reason) if it cannot run
//     ... connect to dante.host() / dante.port() ...
//     // on failure, dante.Log() holds the daemon's own output
//   }
//
// A fixture that cannot start says why in error(): the program is missing
// (missing() is then true), the test account is missing, the daemon exited,
// or its port never accepted. Setting ZUD_REQUIRE_DAEMONS=1 in the
// environment turns those skips into failures (for CI, where every daemon is
// installed by scripts/setup).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/net.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace zud::test {

class DaemonFixture {
 public:
  virtual ~DaemonFixture() { Stop(); }
  DaemonFixture(const DaemonFixture&) = delete;
  DaemonFixture& operator=(const DaemonFixture&) = delete;

  bool ok() const { return started_; }
  // Why the daemon is not running; "" when ok().
  const std::string& error() const { return error_; }
  // True when the program (or an account it needs) is not installed.
  bool missing() const { return missing_; }

  Family family() const { return family_; }
  const char* host() const { return LoopbackHost(family_); }
  int port() const { return port_; }
  Endpoint endpoint() const { return Endpoint{host(), port_}; }
  const TempDir& dir() const { return dir_; }
  // The daemon's standard output and error, and its own log file if any.
  std::string Log() const;
  // Wall time from the first spawn to the port accepting connections.
  int startup_ms() const { return startup_ms_; }

  // The daemon's process (its group's leader), e.g. to pause it (SIGSTOP).
  pid_t pid() const { return process_.pid(); }

  // Stops the daemon and everything it forked; also done by the destructor.
  void Stop() { process_.Stop(stop_grace_ms_); }

 protected:
  // name: used in messages, e.g. "vsftpd".
  DaemonFixture(std::string name, Family family);

  // Writes the configuration for a port and returns the full argv (program
  // first). An empty result aborts the launch; the callback calls Fail().
  using Prepare = std::function<std::vector<std::string>(int port)>;
  // Spawns the daemon made by prepare on a free port and waits until the
  // port accepts; if the daemon dies (typically: the port was taken in the
  // meantime), tries once more on another port. Sets error() on failure.
  bool Launch(const Prepare& prepare);
  // Records why the fixture is not usable (missing: nothing is installed).
  void Fail(std::string why, bool missing = false);
  // The daemon's own log file, shown by Log().
  void set_own_log(std::filesystem::path path) { own_log_ = std::move(path); }
  // Finds a program; on absence records a "not installed" failure.
  std::string RequireProgram(const std::string& name);
  // How long Stop() lets the daemon end on SIGTERM before it kills it.
  void set_stop_grace_ms(int ms) { stop_grace_ms_ = ms; }
  // Launch() waits for the listening socket in /proc instead of connecting.
  void set_probe_without_connecting() { probe_without_connecting_ = true; }

  TempDir dir_;

 private:
  std::string name_;
  Family family_;
  ChildProcess process_;
  std::filesystem::path own_log_;
  int port_ = 0;
  int startup_ms_ = 0;
  int stop_grace_ms_ = 2000;
  bool probe_without_connecting_ = false;
  bool started_ = false;
  bool missing_ = false;
  std::string error_;
};

// True when ZUD_REQUIRE_DAEMONS is set to a non-empty value other than "0".
bool DaemonsRequired();

}  // namespace zud::test

// Skips the current test with the fixture's reason when its daemon is not
// running (fails instead when ZUD_REQUIRE_DAEMONS=1). Use in TEST bodies.
#define ZUD_REQUIRE_DAEMON(fixture)                                       \
  do {                                                                    \
    if (!(fixture).ok()) {                                                \
      if (::zud::test::DaemonsRequired()) FAIL() << (fixture).error();    \
      GTEST_SKIP() << (fixture).error();                                  \
    }                                                                     \
  } while (0)
