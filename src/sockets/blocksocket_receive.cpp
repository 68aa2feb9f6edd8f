// TBlockSocket: receiving, LineBuffer, line reading and the read waits.
//
// LineBuffer lives in line_buffer_[line_pos_, line_end_). Every receive built
// on the packet reader hands out those bytes before it asks the platform for
// more; packets are appended in place, lines are handed out by moving
// line_pos_, so neither many short lines in one packet nor a long line over
// many packets costs more than a linear pass.
#include <algorithm>
#include <cstring>

#include "sockets/blocksocket.h"
#include "sockets/socketerrors.h"
#include "util/compat.h"
#include "util/deadline.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {

namespace {

constexpr int kMaxPacket = 65536;
// Storage beyond this is given back once LineBuffer empties.
constexpr size_t kKeptLineStorage = 256 * 1024;
// The most DiscardPending drops in one call.
constexpr size_t kDiscardBudget = 4 * 1024 * 1024;

int32_t ReadInt32LE(std::string_view s) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(s[static_cast<size_t>(i)]);
  return static_cast<int32_t>(value);
}

// Whole-call timeout bookkeeping: the time left after a pass that began at
// start; a negative timeout means no limit and never runs out.
bool TimeLeft(int32_t& timeout, uint32_t start) {
  if (timeout < 0) return true;
  timeout -= static_cast<int32_t>(std::min<uint32_t>(ComputeTickSpan(start, ReadTickCounter()),
                                                     static_cast<uint32_t>(INT32_MAX)));
  return timeout > 0;
}

}  // namespace

// ---- LineBuffer -------------------------------------------------------------------

void TBlockSocket::ClearLineBuffer() {
  line_pos_ = 0;
  line_end_ = 0;
  if (line_buffer_.size() > kKeptLineStorage) line_buffer_.release();
}

char* TBlockSocket::ReserveLineTail(size_t n) {
  if (line_pos_ == line_end_) line_pos_ = line_end_ = 0;
  if (line_buffer_.size() - line_end_ < n) {
    if (line_pos_ > 0) {
      std::memmove(line_buffer_.data(), line_buffer_.data() + line_pos_, line_end_ - line_pos_);
      line_end_ -= line_pos_;
      line_pos_ = 0;
    }
    if (line_buffer_.size() - line_end_ < n) {
      line_buffer_.resize(std::max(line_end_ + n, line_buffer_.size() * 2));
    }
  }
  return line_buffer_.data() + line_end_;
}

void TBlockSocket::DropLineByte(size_t offset) {
  if (offset == line_pos_) {
    ++line_pos_;
  } else {
    std::memmove(line_buffer_.data() + offset, line_buffer_.data() + offset + 1,
                 line_end_ - offset - 1);
    --line_end_;
  }
}

void TBlockSocket::RepairLineStart(size_t from) {
  if (!ConvertLineEnd || from >= line_end_) return;
  if (saw_cr_ && line_buffer_[from] == '\n') DropLineByte(from);
  if (saw_lf_ && from < line_end_ && line_buffer_[from] == '\r') DropLineByte(from);
  saw_cr_ = false;
  saw_lf_ = false;
}

void TBlockSocket::TakeLineBuffer() {
  ClearLastError();
  RepairLineStart(line_pos_);
}

void TBlockSocket::ReadPacketIntoLineBuffer(int32_t timeout) {
  ClearLastError();
  const TDeadline deadline(timeout);
  int n = PendingByteCount();
  bool ready = n > 0;
  if (!ready) {
    if (WaitReadable(timeout)) {
      ready = true;
      // Readable with nothing counted: the receive itself tells the end of a
      // plain connection (0, recorded as 10054) from the records of a TLS
      // session that are still to come (within what is left of timeout).
      n = PendingByteCount();
    } else if (last_error_code_ == 0) {
      SetLastErrorCode(kErrTimedOut);
    }
  }
  if (ready && last_error_code_ == 0) {
    // With data pending (or the end) the receive cannot block, so it may take
    // all that arrived meanwhile, up to one packet; the limiter, which
    // charges the size asked for, keeps to the size reported.
    const int ask = MaxRecvBandwidth > 0 ? std::max(n, 1) : kMaxPacket;
    char* tail = ReserveLineTail(static_cast<size_t>(ask));
    const size_t start = line_end_;  // after any move the reservation made
    const int got = ReceiveRawWithin(tail, ask, deadline.Left());
    if (got > 0) {
      line_end_ += static_cast<size_t>(std::min(got, ask));
      RepairLineStart(start);
    }
  }
  ReportLastError();
}

// ---- Raw receive ----------------------------------------------------------------

int TBlockSocket::ReceiveRawWithin(void* buffer, int length, int32_t /*timeout*/) {
  return ReceiveRaw(buffer, length);
}

int TBlockSocket::PendingByteCount() {
  int count = 0;
  if (QueryPendingBytes(handle_, count) != 0) return 0;
  return std::clamp(count, 0, kMaxPacket);
}

int TBlockSocket::ReceiveRaw(void* buffer, int length) {
  if (CheckStopRequest()) return 0;
  if (length <= 0) {
    ClearLastError();
    return 0;
  }
  ThrottleTransfer(length, MaxRecvBandwidth, next_receive_time_);
  int n = ReceiveFromSocket(handle_, buffer, length, 0);
  if (n == 0) {
    SetLastErrorCode(kErrPeerClosed);
  } else {
    CheckResult(n);
  }
  ReportLastError();
  if (n > 0) {
    bytes_received_ += n;
    if (OnStatus) ReportStatus(SR_BytesRead, std::to_string(n));
    ReportTraffic(false, buffer, n);
    FilterReceived(buffer, n);
  }
  return n;
}

void TBlockSocket::FilterReceived(void* buffer, int& length) {
  if (!OnReadFilter || length <= 0) return;
  std::string text(static_cast<const char*>(buffer), static_cast<size_t>(length));
  OnReadFilter(*this, text);
  if (text.size() > static_cast<size_t>(length)) text.resize(static_cast<size_t>(length));
  length = static_cast<int>(text.size());
  std::memcpy(buffer, text.data(), text.size());
}

int TBlockSocket::PeekBytes(void* buffer, int length) {
  const int n = ReceiveFromSocket(handle_, buffer, length, kMsgPeek);
  CheckResult(n);
  ReportLastError();
  return n;
}

uint8_t TBlockSocket::PeekOneByte(int32_t timeout) {
  uint8_t value = 0;
  if (WaitReadable(timeout)) {
    if (PeekBytes(&value, 1) <= 0) value = 0;
  } else if (last_error_code_ == 0) {
    SetLastErrorCode(kErrTimedOut);
  }
  ReportLastError();
  return value;
}

int TBlockSocket::ReceiveDatagram(void* buffer, int length) {
  if (CheckStopRequest()) return 0;
  ThrottleTransfer(length, MaxRecvBandwidth, next_receive_time_);
  const int n = ReceiveFromAddress(handle_, buffer, length, 0, remote_address_);
  CheckResult(n);
  ReportLastError();
  if (n >= 0 && last_error_code_ == 0) {
    bytes_received_ += n;
    if (OnStatus) ReportStatus(SR_BytesRead, std::to_string(n));
    ReportTraffic(false, buffer, n);
  }
  return n;
}

// ---- Packets and lines ------------------------------------------------------------

std::string TBlockSocket::ReceiveAvailable(int32_t timeout) {
  if (line_end_ > line_pos_) {
    TakeLineBuffer();
  } else {
    ReadPacketIntoLineBuffer(timeout);
  }
  // The packet reader has reported any error already.
  std::string result(LineBuffer());
  ClearLineBuffer();
  return result;
}

std::string TBlockSocket::ReceiveUntil(int32_t timeout, std::string_view terminator) {
  ClearLastError();
  std::string result;
  if (terminator.empty()) return result;
  const bool line_mode = ConvertLineEnd && terminator == "\r\n";
  size_t term_length = terminator.size();
  size_t scanned = 0;  // leading bytes of the accumulation known to hold no terminator
  size_t found = std::string_view::npos;
  std::string line_break;
  bool first = true;
  for (;;) {
    const uint32_t start = InterPacketTimeout ? 0 : ReadTickCounter();
    if (first && line_end_ > line_pos_) {
      TakeLineBuffer();
    } else {
      ReadPacketIntoLineBuffer(timeout);
    }
    first = false;
    if (last_error_code_ != 0) break;
    const std::string_view acc = LineBuffer();
    if (!acc.empty()) {
      if (line_mode) {
        const int pos = FindLineBreak(acc.substr(scanned), line_break);
        if (pos > 0) {
          found = scanned + static_cast<size_t>(pos) - 1;
          term_length = line_break.size();
          if (line_break == "\r") saw_cr_ = true;
          if (line_break == "\n") saw_lf_ = true;
        }
      } else {
        const size_t overlap = terminator.size() - 1;
        found = acc.find(terminator, scanned > overlap ? scanned - overlap : 0);
      }
      if (found == std::string_view::npos) scanned = acc.size();
    }
    // The limit is on the line: bytes after a terminator belong to later lines.
    const size_t measured = found != std::string_view::npos ? found : acc.size();
    if (MaxLineLength > 0 && measured > static_cast<size_t>(MaxLineLength)) {
      SetLastErrorCode(kErrLineTooLong);
      break;
    }
    if (found != std::string_view::npos) break;
    if (!InterPacketTimeout && !TimeLeft(timeout, start)) {
      SetLastErrorCode(kErrTimedOut);
      break;
    }
  }
  if (found != std::string_view::npos) {
    result.assign(line_buffer_.data() + line_pos_, found);
    line_pos_ += found + term_length;
    if (line_pos_ == line_end_) ClearLineBuffer();
  }
  ReportLastError();
  return result;
}

std::string TBlockSocket::ReceiveLine(int32_t timeout) {
  std::string line = ReceiveUntil(timeout, "\r\n");
  if (last_error_code_ != 0) line.clear();
  return line;
}

// ---- Exact counts --------------------------------------------------------------------

int TBlockSocket::ReceiveExactTo(int length, int32_t timeout,
                                 const std::function<void(const char*, size_t)>& sink) {
  ClearLastError();
  if (length <= 0) return 0;
  size_t got = 0;
  const auto wanted = static_cast<size_t>(length);
  for (;;) {
    const uint32_t start = InterPacketTimeout ? 0 : ReadTickCounter();
    if (line_end_ > line_pos_) {
      TakeLineBuffer();
    } else {
      ReadPacketIntoLineBuffer(timeout);
    }
    const size_t take = std::min(line_end_ - line_pos_, wanted - got);
    if (take > 0) {
      sink(line_buffer_.data() + line_pos_, take);
      line_pos_ += take;
      got += take;
    }
    if (last_error_code_ != 0 || got >= wanted) break;
    if (!InterPacketTimeout && !TimeLeft(timeout, start)) {
      // Only recorded: the caller has the partial count and decides.
      SetLastErrorCode(kErrTimedOut);
      break;
    }
  }
  if (line_pos_ == line_end_) ClearLineBuffer();
  return static_cast<int>(got);
}

int TBlockSocket::ReceiveExact(void* buffer, int length, int32_t timeout) {
  auto* out = static_cast<char*>(buffer);
  return ReceiveExactTo(length, timeout, [&out](const char* data, size_t n) {
    std::memcpy(out, data, n);
    out += n;
  });
}

std::string TBlockSocket::ReceiveExactText(int length, int32_t timeout) {
  std::string text;
  if (length < 1) return text;
  // Grows with what arrives, so a huge announced length costs nothing until
  // the bytes are really there.
  text.reserve(static_cast<size_t>(std::min(length, kMaxPacket)));
  ReceiveExactTo(length, timeout, [&text](const char* data, size_t n) { text.append(data, n); });
  if (last_error_code_ != 0) text.clear();
  return text;
}

uint8_t TBlockSocket::ReceiveOneByte(int32_t timeout) {
  ClearLastError();
  if (line_end_ == line_pos_) ReadPacketIntoLineBuffer(timeout);
  uint8_t value = 0;
  if (last_error_code_ == 0 && line_end_ > line_pos_) {
    value = static_cast<uint8_t>(line_buffer_[line_pos_++]);
    if (line_pos_ == line_end_) ClearLineBuffer();
  }
  ReportLastError();
  return value;
}

int32_t TBlockSocket::ReceiveInt32(int32_t timeout) {
  const std::string bytes = ReceiveExactText(4, timeout);
  if (last_error_code_ != 0 || bytes.size() != 4) return 0;
  return ReadInt32LE(bytes);
}

std::string TBlockSocket::ReceiveLengthPrefixed(int32_t timeout) {
  const int32_t count = ReceiveInt32(timeout);
  if (last_error_code_ != 0) return std::string();
  return ReceiveExactText(count, timeout);
}

// ---- Streams ---------------------------------------------------------------------------

void TBlockSocket::ReceiveStreamOfSize(TStream& stream, int32_t timeout, int64_t size) {
  if (size <= 0) return;
  const int chunk = SendMaxChunk > 0 ? SendMaxChunk : kMaxPacket;
  for (int64_t i = 0; i < size / chunk; ++i) {
    const std::string piece = ReceiveExactText(chunk, timeout);
    if (last_error_code_ != 0) return;
    WriteStringToStream(stream, piece);
  }
  const auto rest = static_cast<int>(size % chunk);
  if (rest > 0) {
    const std::string piece = ReceiveExactText(rest, timeout);
    if (last_error_code_ == 0) WriteStringToStream(stream, piece);
  }
}

void TBlockSocket::ReceiveStreamWithLength(TStream& stream, int32_t timeout) {
  // A signed count: FF FF FF FF is -1 and receives nothing, rather than
  // waiting for 4 GiB and swallowing whatever follows.
  const int32_t count = ReceiveInt32(timeout);
  if (last_error_code_ == 0) ReceiveStreamOfSize(stream, timeout, count);
}

void TBlockSocket::ReceiveStreamWithNetLength(TStream& stream, int32_t timeout) {
  const auto count =
      static_cast<int32_t>(ReverseByteOrder32(static_cast<uint32_t>(ReceiveInt32(timeout))));
  if (last_error_code_ == 0) ReceiveStreamOfSize(stream, timeout, count);
}

void TBlockSocket::ReceiveStreamToEnd(TStream& stream, int32_t timeout) {
  for (;;) {
    if (line_end_ > line_pos_) {
      TakeLineBuffer();
    } else {
      ReadPacketIntoLineBuffer(timeout);
    }
    if (last_error_code_ != 0) break;
    WriteStringToStream(stream, LineBuffer());
    ClearLineBuffer();
  }
}

void TBlockSocket::DiscardPending() {
  if (DiscardPauseMs > 0) SleepMilliseconds(static_cast<uint32_t>(DiscardPauseMs));
  size_t dropped = 0;
  try {
    // A peer that never stops sending cannot keep the caller here forever.
    while (dropped < kDiscardBudget && (line_end_ > line_pos_ || PendingByteCount() > 0)) {
      dropped += ReceiveAvailable(0).size();
      if (last_error_code_ != 0) break;
    }
  } catch (const std::exception&) {
    // Raised by ReportLastError under RaiseExcept: nothing to discard anymore.
  }
  ClearLastError();
}

// ---- Waits -------------------------------------------------------------------------------

bool TBlockSocket::PollReadable(int32_t timeout) {
  const TSelectSet set = ready_set_;
  const int n = PollSelectSet(set, false, timeout);
  CheckResult(n);
  return last_error_code_ == 0 && n > 0;
}

bool TBlockSocket::WaitReadable(int32_t timeout) {
  const int32_t rate = HeartbeatRate;
  bool ready = false;
  bool stopped = false;
  if (rate > 0 && timeout < 0) {
    // No limit, but still heartbeats and a way out through StopFlag.
    for (;;) {
      ready = PollReadable(rate);
      if (ready || last_error_code_ != 0) break;
      FireHeartbeat();
      if (StopFlag.exchange(false)) {
        stopped = true;
        break;
      }
    }
  } else {
    int32_t rounds = 0;
    int32_t first = timeout;
    if (rate > 0) {
      rounds = timeout / rate;
      first = timeout % rate;
    }
    ready = PollReadable(first);
    for (int32_t i = 0; !ready && last_error_code_ == 0 && i <= rounds; ++i) {
      FireHeartbeat();
      if (StopFlag.exchange(false)) {
        stopped = true;
        break;
      }
      ready = PollReadable(rate > 0 ? rate : 0);
    }
  }
  if (stopped) SetFailure(kErrStopRequested, TFailureKind::Stopped);
  ReportLastError();
  if (ready) ReportStatus(SR_ReadReady, std::string());
  return ready;
}

bool TBlockSocket::WaitReadableOrBuffered(int32_t timeout) {
  if (line_end_ > line_pos_) return true;
  return WaitReadable(timeout);
}

}  // namespace zud
