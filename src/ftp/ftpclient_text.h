// Small text helpers shared by the data-connection and file-operation sources
// of TFTPSend. Internal to the ftp layer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sockets/blocksocket.h"

namespace zud::ftp_internal {

// Bounds the platform's own blocking calls on a connected socket by timeout
// (ms; 0 or less leaves them unbounded): a send into a peer that stopped
// reading, the zero-copy send included, and whatever a TLS plug-in waits for
// inside its reads and writes.
inline void BoundBlockingCalls(TBlockSocket& socket, int32_t timeout) {
  if (timeout <= 0) return;
  socket.ApplyOption({OT_SendTimeout, false, timeout});
  socket.ApplyOption({OT_ReceiveTimeout, false, timeout});
}

// Connects socket (through its proxy, if any) within the client's timeout
// when the caller left the socket's ConnectTimeout at 0: a server that never
// answers the connect then fails like one that never answers a command.
inline void ConnectWithin(TBlockSocket& socket, const std::string& host, const std::string& port,
                          int32_t timeout) {
  // Put back however the connect ends (it may throw under RaiseExcept).
  struct TRestore {
    int32_t& value;
    int32_t saved;
    ~TRestore() { value = saved; }
  } restore{socket.ConnectTimeout, socket.ConnectTimeout};
  if (restore.saved == 0 && timeout > 0) socket.ConnectTimeout = timeout;
  socket.ConnectTo(host, port);
}

// Lowers a client's Timeout for the replies read while it lives.
class TScopedReplyTimeout {
 public:
  TScopedReplyTimeout(int32_t& timeout, int32_t limit) : timeout_(timeout), saved_(timeout) {
    if (limit >= 0 && (timeout_ < 0 || timeout_ > limit)) timeout_ = limit;
  }
  ~TScopedReplyTimeout() { timeout_ = saved_; }
  TScopedReplyTimeout(const TScopedReplyTimeout&) = delete;
  TScopedReplyTimeout& operator=(const TScopedReplyTimeout&) = delete;

 private:
  int32_t& timeout_;
  int32_t saved_;
};

// The class of a reply code: 1 preliminary, 2 done, 3 more input needed,
// 0 when no code was recognised.
inline int ReplyClass(int code) { return code / 100; }

// value without the characters with codes 0 to 32 at both ends.
inline std::string TrimControlChars(std::string_view value) {
  size_t begin = 0;
  size_t end = value.size();
  while (begin < end && static_cast<uint8_t>(value[begin]) <= 32) ++begin;
  while (end > begin && static_cast<uint8_t>(value[end - 1]) <= 32) --end;
  return std::string(value.substr(begin, end - begin));
}

}  // namespace zud::ftp_internal
