#include "support/daemon_fixture.h"

#include <chrono>
#include <cstdlib>

namespace zud::test {
namespace {

// How long a daemon may take to listen (python and dante start slowest).
constexpr int kStartTimeoutMs = 15000;

std::string Tail(const std::string& text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  return "...\n" + text.substr(text.size() - max_bytes);
}

}  // namespace

bool DaemonsRequired() {
  const char* value = std::getenv("ZUD_REQUIRE_DAEMONS");
  return value && *value && std::string(value) != "0";
}

DaemonFixture::DaemonFixture(std::string name, Family family)
    : dir_("zud-" + name), name_(std::move(name)), family_(family) {
  if (!dir_.ok()) Fail(dir_.error());
}

std::string DaemonFixture::Log() const {
  std::string log = ReadFileBytes(dir_ / "daemon.out").value_or("");
  if (!own_log_.empty()) {
    log += "--- " + own_log_.filename().string() + "\n" +
           ReadFileBytes(own_log_).value_or("(no log file)\n");
  }
  return log;
}

void DaemonFixture::Fail(std::string why, bool missing) {
  started_ = false;
  missing_ = missing_ || missing;
  if (error_.empty()) error_ = name_ + ": " + std::move(why);
}

std::string DaemonFixture::RequireProgram(const std::string& name) {
  std::string path = FindProgram(name);
  if (path.empty()) Fail(name + " is not installed (scripts/setup installs it)", true);
  return path;
}

bool DaemonFixture::Launch(const Prepare& prepare) {
  if (!error_.empty()) return false;
  if (!LoopbackAvailable(family_)) {
    Fail(std::string("no ") + FamilyName(family_) + " loopback address on this machine");
    return false;
  }
  auto begin = std::chrono::steady_clock::now();
  std::string why;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int port = FreePort(family_);
    if (port == 0) {
      why = "no free port";
      continue;
    }
    std::vector<std::string> argv = prepare(port);
    if (argv.empty()) return false;  // prepare() has called Fail()
    if (!process_.Start(argv, dir_ / "daemon.out")) {
      Fail(process_.error());
      return false;
    }
    bool accepts = probe_without_connecting_
                       ? WaitForListener(process_, port, kStartTimeoutMs, &why)
                       : WaitForTcpPort(host(), port, kStartTimeoutMs, &process_, &why);
    if (accepts && !process_.ListensOn(port)) {
      accepts = false;
      why = "another program took port " + std::to_string(port);
    }
    if (accepts) {
      port_ = port;
      started_ = true;
      startup_ms_ = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - begin)
                                         .count());
      return true;
    }
    process_.Stop();
  }
  Fail(why + "\n" + Tail(Log(), 4000));
  return false;
}

}  // namespace zud::test
