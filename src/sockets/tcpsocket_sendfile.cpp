// TTCPBlockSocket: the zero-copy send of a local file. The bytes go from the
// file cache to the socket without passing through this process, which
// saves the copy in and out of a buffer and keeps the memory flat whatever
// the file's size. Everything else about the send is the plain piecewise
// send's: pieces of at most SendMaxChunk bytes, one SR_BytesWritten report
// per piece sent, the bandwidth limit, StopFlag before every piece, waits
// after "would block" on a non-blocking socket, and the error model.
#include <algorithm>
#include <string>

#include "sockets/socketerrors.h"
#include "sockets/tcpsocket.h"
#include "util/sockapi.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {

namespace {

// Unsent bytes allowed to queue while a file is sent. A piece or so is
// enough to keep the peer fed; letting the whole send buffer (megabytes)
// fill made a 256 MiB upload to a local server a quarter slower. Only
// unsent bytes are bounded, not those in flight, so long fast paths keep
// their throughput.
constexpr int kUnsentLimit = 65536;

// Holds the bound for the length of one file send and then puts back the
// one the socket had.
class TUnsentLimit {
 public:
  explicit TUnsentLimit(TSocketHandle handle) : handle_(handle) {
    applied_ = ExchangeUnsentLimit(handle_, kUnsentLimit, previous_) == 0;
  }
  ~TUnsentLimit() {
    int ignored = 0;
    if (applied_) ExchangeUnsentLimit(handle_, previous_, ignored);
  }
  TUnsentLimit(const TUnsentLimit&) = delete;
  TUnsentLimit& operator=(const TUnsentLimit&) = delete;

 private:
  TSocketHandle handle_;
  int previous_ = 0;
  bool applied_ = false;
};

}  // namespace

void TTCPBlockSocket::SendStreamPlain(TStream& stream) {
  auto* file = dynamic_cast<TFileStream*>(&stream);
  // A pipe, or a pseudo file whose size says nothing, is read until it ends
  // by the plain send instead.
  const bool direct = file != nullptr && file->Descriptor() >= 0 && !OnMonitor && !TLSActive() &&
                      SendMaxChunk > 0 && file->Seekable() && file->SizeKnown();
  if (direct && SendFileDirectly(*file)) return;
  TSocksBlockSocket::SendStreamPlain(stream);
}

bool TTCPBlockSocket::SendFileDirectly(TFileStream& file) {
  int64_t offset = file.Position();
  const int64_t end = file.Size();
  bool first = true;
  uint32_t progress = ReadTickCounter();
  const TUnsentLimit unsent_limit(handle_);
  while (offset < end) {
    if (CheckStopRequest()) break;
    ClearLastError();
    const int piece = static_cast<int>(std::min<int64_t>(end - offset, SendMaxChunk));
    ThrottleTransfer(piece, MaxSendBandwidth, next_send_time_);
    const auto send = [&] { return SendFileToSocket(handle_, file.Descriptor(), offset, piece); };
    int n = send();
    CheckResult(n);
    const bool unsupported =
        last_error_code_ == kErrInvalidArgument || last_error_code_ == kErrNotSupported;
    if (first && n < 0 && unsupported) {
      // A file the platform cannot send from (nothing went out): the caller
      // falls back to reading it.
      ClearLastError();
      return false;
    }
    first = false;
    if (last_error_code_ == kErrWouldBlock) n = RetrySendAfterWouldBlock(progress, send);
    // 0 without an error: the file became shorter meanwhile; its end is here.
    if (last_error_code_ != 0 || n <= 0) {
      // As after a failed piece of the buffered send, which read it first.
      if (last_error_code_ != 0) offset += piece;
      ReportLastError();
      break;
    }
    progress = ReadTickCounter();
    offset += n;
    bytes_sent_ += n;
    if (OnStatus) ReportStatus(SR_BytesWritten, std::to_string(n));
  }
  file.SetPosition(offset);
  return true;
}

}  // namespace zud
