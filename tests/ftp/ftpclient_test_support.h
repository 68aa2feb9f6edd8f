// Helpers shared by the TFTPSend tests: a recorder for the client's status
// reports, aiming a client at a scripted server, and a TLS plug-in whose
// handshake succeeds without starting a session (so the dialogue after
// "AUTH TLS" or an implicit-TLS connect stays readable for the server).
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "ftp/ftpclient.h"
#include "sockets/tlsplugin.h"
#include "support/scripted_ftp_server.h"

namespace zud::test {

struct StatusEntry {
  bool response = false;
  std::string value;
  friend bool operator==(const StatusEntry&, const StatusEntry&) = default;
  friend std::ostream& operator<<(std::ostream& out, const StatusEntry& e) {
    return out << (e.response ? "reply \"" : "command \"") << e.value << "\"";
  }
};

// Records every OnStatus call of one client, in order.
class StatusRecorder {
 public:
  void Attach(TFTPSend& ftp) {
    ftp.OnStatus = [this](TFTPSend&, bool response, const std::string& value) {
      entries.push_back({response, value});
    };
  }
  // The commands reported, in order.
  std::vector<std::string> Commands() const {
    std::vector<std::string> commands;
    for (const StatusEntry& e : entries) {
      if (!e.response) commands.push_back(e.value);
    }
    return commands;
  }

  std::vector<StatusEntry> entries;
};

// Points the control connection straight at server, with a timeout that only
// matters when a test goes wrong.
inline void AimAt(TFTPSend& ftp, const ScriptedFtpServer& server, int timeout_ms = 5000) {
  ftp.TargetHost = server.host();
  ftp.TargetPort = std::to_string(server.port());
  ftp.Timeout = timeout_ms;
}

// A plug-in that agrees to every handshake but never activates a session:
// the socket keeps sending in clear, as if TLS were a transparent layer.
class TAcceptingSSL : public TCustomSSL {
 public:
  using TCustomSSL::TCustomSSL;
  bool ClientHandshake() override {
    ++handshakes;
    ClearPluginError();
    if (OnHandshake) OnHandshake();
    return true;
  }
  // Process-wide, as the plug-in is made inside the client's constructor.
  static inline int handshakes = 0;
  static inline std::function<void()> OnHandshake;
};

// Installs a default plug-in class for the sockets made while it lives.
class ScopedDefaultTLSPlugin {
 public:
  explicit ScopedDefaultTLSPlugin(TTLSPluginClass plugin_class) : saved_(DefaultTLSPluginClass()) {
    SetDefaultTLSPluginClass(std::move(plugin_class));
  }
  ~ScopedDefaultTLSPlugin() {
    SetDefaultTLSPluginClass(saved_);
    TAcceptingSSL::handshakes = 0;
    TAcceptingSSL::OnHandshake = nullptr;
  }
  ScopedDefaultTLSPlugin(const ScopedDefaultTLSPlugin&) = delete;
  ScopedDefaultTLSPlugin& operator=(const ScopedDefaultTLSPlugin&) = delete;

 private:
  TTLSPluginClass saved_;
};

}  // namespace zud::test
