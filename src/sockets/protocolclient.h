// TProtocolClient: the settings every protocol client shares (the FTP client
// derives from it). Plain settings only: no socket, no connection logic.
// A derived client reads TargetHost/TargetPort to connect, IPInterface to
// bind its sockets first, Timeout for every wait for the server and
// UserName/Password to log in; it may set its own defaults over these.
#pragma once

#include <cstdint>
#include <string>

#include "util/api.h"

namespace ZUD_API zud {

class TProtocolClient {
 public:
  TProtocolClient() = default;
  virtual ~TProtocolClient() = default;

  std::string TargetHost = "127.0.0.1";  // server host
  std::string TargetPort = "0";          // server port or service
  std::string IPInterface = "0.0.0.0";   // local address to bind; any
  int32_t Timeout = 5000;                // ms to wait for the server
  std::string UserName;
  std::string Password;
};

}  // namespace zud
