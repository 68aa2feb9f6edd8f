// TBlockSocket: sending, the bandwidth limiter and the write wait.
#include <algorithm>
#include <climits>
#include <cstring>

#include "sockets/blocksocket.h"
#include "sockets/socketerrors.h"
#include "util/compat.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {

namespace {

constexpr uint32_t kThrottleSlice = 250;  // ms: how soon StopFlag ends a throttling wait

void PutInt32LE(uint32_t value, char* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

int TBlockSocket::SendBytes(const void* buffer, int length) {
  if (CheckStopRequest()) return 0;
  ClearLastError();
  ReportTraffic(true, buffer, length);
  const auto* bytes = static_cast<const char*>(buffer);
  int sent = 0;
  uint32_t progress = ReadTickCounter();
  while (sent < length) {
    const int piece = std::min(length - sent, SendMaxChunk);
    if (piece <= 0) break;
    ThrottleTransfer(piece, MaxSendBandwidth, next_send_time_);
    const auto send = [&] { return SendToSocket(handle_, bytes + sent, piece, 0); };
    int n = send();
    CheckResult(n);
    if (last_error_code_ == kErrWouldBlock) n = RetrySendAfterWouldBlock(progress, send);
    if (last_error_code_ != 0 || n <= 0) break;
    progress = ReadTickCounter();
    sent += n;
    bytes_sent_ += n;
    if (OnStatus) ReportStatus(SR_BytesWritten, std::to_string(n));
  }
  ReportLastError();
  return sent;
}

int TBlockSocket::SendOneByte(uint8_t value) { return SendBytes(&value, 1); }

void TBlockSocket::SendText(std::string_view text) {
  if (text.size() <= static_cast<size_t>(INT_MAX)) {
    SendBytes(text.data(), static_cast<int>(text.size()));
    return;
  }
  // Beyond the range of one call: consecutive calls, stopping at an error.
  constexpr size_t kPortion = size_t{1} << 30;
  for (size_t pos = 0; pos < text.size(); pos += kPortion) {
    const size_t n = std::min(kPortion, text.size() - pos);
    SendBytes(text.data() + pos, static_cast<int>(n));
    if (last_error_code_ != 0) break;
  }
}

int TBlockSocket::SendInt32(int32_t value) {
  char bytes[4];
  PutInt32LE(static_cast<uint32_t>(value), bytes);
  return SendBytes(bytes, 4);
}

void TBlockSocket::SendLengthPrefixed(std::string_view text) {
  std::string block(4, '\0');
  PutInt32LE(static_cast<uint32_t>(text.size()), block.data());
  block.append(text);
  SendText(block);
}

void TBlockSocket::SendStreamData(TStream& stream, bool with_length, bool big_endian_length) {
  const int chunk = SendMaxChunk;
  if (chunk <= 0) return;
  char prefix[4];
  const auto count = static_cast<uint32_t>(with_length ? stream.Size() - stream.Position() : 0);
  if (big_endian_length) {
    std::memcpy(prefix, EncodeUInt32BE(count).data(), 4);
  } else {
    PutInt32LE(count, prefix);
  }
  // A memory stream is sent straight from its storage; any other stream is
  // read into one buffer reused for every piece. The first piece leaves room
  // in front for the prefix so that both go out in one send.
  auto* memory = dynamic_cast<TMemoryStream*>(&stream);
  stream_piece_.resize(4 + static_cast<size_t>(chunk));
  char* piece = stream_piece_.data() + 4;
  bool first = true;
  for (;;) {
    if (memory != nullptr && !(with_length && first)) {
      const int64_t position = memory->Position();
      const int64_t n = std::min<int64_t>(chunk, memory->Size() - position);
      if (n <= 0) break;
      memory->SetPosition(position + n);
      SendText(std::string_view(memory->Data()).substr(static_cast<size_t>(position),
                                                       static_cast<size_t>(n)));
    } else {
      const int64_t n = stream.Read(piece, chunk);
      if (n <= 0) break;
      if (with_length && first) {
        first = false;
        std::memcpy(piece - 4, prefix, 4);
        SendText(std::string_view(piece - 4, static_cast<size_t>(n) + 4));
      } else {
        SendText(std::string_view(piece, static_cast<size_t>(n)));
      }
    }
    if (last_error_code_ != 0) break;
  }
}

void TBlockSocket::SendStreamPlain(TStream& stream) { SendStreamData(stream, false, false); }
void TBlockSocket::SendStreamWithLength(TStream& stream) { SendStreamData(stream, true, false); }
void TBlockSocket::SendStreamWithNetLength(TStream& stream) { SendStreamData(stream, true, true); }

int TBlockSocket::SendDatagram(const void* buffer, int length) {
  if (CheckStopRequest()) return 0;
  ReportTraffic(true, buffer, length);
  ThrottleTransfer(length, MaxSendBandwidth, next_send_time_);
  const int n = SendToAddress(handle_, buffer, length, 0, remote_address_);
  CheckResult(n);
  ReportLastError();
  if (n >= 0 && last_error_code_ == 0) {
    bytes_sent_ += n;
    if (OnStatus) ReportStatus(SR_BytesWritten, std::to_string(n));
  }
  return n;
}

int TBlockSocket::RetrySendAfterWouldBlock(uint32_t progress, const std::function<int()>& send) {
  if (!non_blocking_) {
    // A blocking handle says "would block" only when its send timeout
    // (OT_SendTimeout) ran out without the peer taking a byte.
    SetLastErrorCode(kErrTimedOut);
    return -1;
  }
  // Room may show and be gone again (or be too little for the platform to
  // take anything): the wait goes on, measured from the last progress, so
  // that a peer that stopped reading is found after one timeout.
  for (;;) {
    int32_t left = -1;
    if (NonblockSendTimeout >= 0) {
      const uint32_t spent = ComputeTickSpan(progress, ReadTickCounter());
      left = spent >= static_cast<uint32_t>(NonblockSendTimeout)
                 ? 0
                 : NonblockSendTimeout - static_cast<int32_t>(spent);
    }
    if (!WaitWritable(left)) {
      if (last_error_code_ == 0) SetLastErrorCode(kErrTimedOut);
      return -1;
    }
    const int n = send();
    CheckResult(n);
    if (last_error_code_ != kErrWouldBlock) return n;
    if (left == 0) {
      SetLastErrorCode(kErrTimedOut);
      return -1;
    }
  }
}

bool TBlockSocket::WaitWritable(int32_t timeout) {
  const TSelectSet set = ready_set_;
  const int n = PollSelectSet(set, true, timeout);
  CheckResult(n);
  const bool ready = last_error_code_ == 0 && n > 0;
  ReportLastError();
  if (ready) ReportStatus(SR_WriteReady, std::string());
  return ready;
}

void TBlockSocket::ThrottleTransfer(int length, int32_t limit, uint32_t& next_time) {
  if (StopFlag || limit <= 0) return;
  const uint32_t now = ReadTickCounter();
  // Compared as a signed distance so that a wrap of the tick counter between
  // two transfers cannot turn into a wait of weeks; 0 means no earlier
  // transfer.
  if (next_time != 0 && static_cast<int32_t>(next_time - now) > 0) {
    const uint32_t wait = next_time - now;
    if (OnStatus) ReportStatus(SR_Throttled, std::to_string(wait));
    SleepMilliseconds(wait % kThrottleSlice);
    for (uint32_t i = 0; i < wait / kThrottleSlice; ++i) {
      if (StopFlag) break;
      SleepMilliseconds(kThrottleSlice);
    }
  }
  const double share_ms = static_cast<double>(length) / static_cast<double>(limit) * 1000.0;
  next_time = static_cast<uint32_t>(static_cast<int64_t>(share_ms)) + ReadTickCounter();
}

}  // namespace zud
