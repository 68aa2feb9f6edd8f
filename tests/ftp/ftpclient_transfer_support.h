// Helpers shared by the TFTPSend transfer tests: a signed-in conversation
// with a scripted server, random test data, and a check that no descriptor
// of this process still refers to a given local file.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ftp/ftpclient.h"
#include "ftp/ftpclient_test_support.h"
#include "support/scripted_ftp_server.h"

namespace zud::test {

// A client signed in to a scripted server with the default handlers (so
// CanResume is true). Commands() is what the server received after login.
class ScriptedConversation {
 public:
  explicit ScriptedConversation(Family family = Family::kIPv4) : server(family) {}

  // Signs in; false when the server or the login failed.
  bool SignIn() {
    if (!server.ok()) return false;
    AimAt(ftp, server);
    const bool signed_in = ftp.SignIn();
    login_commands_ = server.Commands().size();
    return signed_in;
  }
  std::vector<std::string> Commands() const {
    std::vector<std::string> all = server.Commands();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(login_commands_),
                                    all.end());
  }
  // Waits until the server logged count commands after login.
  bool WaitForCommands(size_t count) const {
    return server.WaitForCommands(login_commands_ + count, kDefaultWaitMs);
  }

  ScriptedFtpServer server;  // declared first: outlives the client
  TFTPSend ftp;

 private:
  size_t login_commands_ = 0;
};

// size bytes of reproducible noise.
inline std::string RandomBytes(size_t size, uint32_t seed = 7) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// Whether any open descriptor of this process refers to path.
inline bool FileIsOpen(const std::filesystem::path& path) {
  std::error_code ec;
  const std::filesystem::path wanted = std::filesystem::weakly_canonical(path, ec);
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code link_ec;
    const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), link_ec);
    if (!link_ec && target == wanted) return true;
  }
  return false;
}

}  // namespace zud::test
