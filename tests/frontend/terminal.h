// A pseudo terminal to hand a child process as its standard error, and what
// a person would have seen there.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace zud::testing_support {

class TPseudoTerminal {
 public:
  TPseudoTerminal() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_ >= 0 && (::grantpt(master_) != 0 || ::unlockpt(master_) != 0)) {
      ::close(master_);
      master_ = -1;
    }
  }
  ~TPseudoTerminal() {
    if (master_ >= 0) ::close(master_);
  }
  TPseudoTerminal(const TPseudoTerminal&) = delete;
  TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;

  // False where the system has no pseudo terminals to give.
  bool ok() const { return master_ >= 0; }
  // The terminal's name, for TChildRun::error_path.
  std::string path() const { return ok() ? ::ptsname(master_) : ""; }
  // What was written to it, read until idle_ms pass without more.
  std::string Screen(int idle_ms = 500) const {
    std::string screen;
    char buffer[4096];
    for (pollfd p{master_, POLLIN, 0}; ::poll(&p, 1, idle_ms) > 0 && (p.revents & POLLIN);) {
      const ssize_t n = ::read(master_, buffer, sizeof(buffer));
      if (n <= 0) break;
      screen.append(buffer, static_cast<size_t>(n));
    }
    return screen;
  }

 private:
  int master_ = -1;
};

}  // namespace zud::testing_support
