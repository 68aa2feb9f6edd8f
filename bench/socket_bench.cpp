// Socket layer throughput over loopback:
//  - BM_PlainSendRecv / BM_SocketStream: 256 MiB held in memory, moved with
//    plain send()/recv() loops in 64 KiB pieces and with SendStreamPlain (a
//    TMemoryStream) into ReceiveStreamToEnd; compare their bytes_per_second.
//  - BM_SocketStreamFromReader: the same from a stream that must be read
//    (copied) piece by piece, as a file is.
//  - BM_ReceiveLine: one million short lines read with ReceiveLine as they
//    arrive in 64 KiB packets; items_per_second is lines per second.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "sockets/blocksocket.h"
#include "util/stream.h"

namespace zud {
namespace {

constexpr int64_t kTransferBytes = int64_t{256} * 1024 * 1024;
constexpr size_t kBufferBytes = 64 * 1024;
constexpr int kLineCount = 1000000;

class TBenchSocket : public TBlockSocket {
 public:
  int SocketKind() const override { return kSockStream; }
  int SocketProtocolNumber() const override { return kIpProtoTcp; }
};

// Yields size bytes of a pattern without holding them all.
class PatternStream : public TStream {
 public:
  explicit PatternStream(int64_t size) : size_(size), pattern_(kBufferBytes, '\0') {
    for (size_t i = 0; i < pattern_.size(); ++i) pattern_[i] = static_cast<char>(i * 31);
  }
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::min<int64_t>({count, size_ - position_,
                                         static_cast<int64_t>(pattern_.size())});
    if (n <= 0) return 0;
    std::memcpy(buffer, pattern_.data(), static_cast<size_t>(n));
    position_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Size() const override { return size_; }
  void SetSize(int64_t size) override { size_ = size; }
  int64_t Position() const override { return position_; }
  void SetPosition(int64_t position) override { position_ = position; }

 private:
  int64_t size_;
  int64_t position_ = 0;
  std::string pattern_;
};

// Counts what is written to it.
class CountingStream : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    size_ += count;
    return count;
  }
  int64_t Size() const override { return size_; }
  void SetSize(int64_t size) override { size_ = size; }
  int64_t Position() const override { return size_; }
  void SetPosition(int64_t) override {}

 private:
  int64_t size_ = 0;
};

// A connected loopback TCP pair of raw descriptors.
struct RawPair {
  int client = -1;
  int server = -1;
  RawPair() {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sin);
    bind(listener, reinterpret_cast<sockaddr*>(&sin), len);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&sin), &len);
    client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connect(client, reinterpret_cast<sockaddr*>(&sin), len);
    server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
  }
  ~RawPair() {
    if (client >= 0) close(client);
    if (server >= 0) close(server);
  }
};

// The transfer source, built once.
const std::string& Payload() {
  static const std::string payload = [] {
    std::string s(static_cast<size_t>(kTransferBytes), '\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i * 31);
    return s;
  }();
  return payload;
}

void BM_PlainSendRecv(benchmark::State& state) {
  const std::string& payload = Payload();
  for (auto _ : state) {
    RawPair pair;
    std::thread sender([&] {
      size_t pos = 0;
      while (pos < payload.size()) {
        const ssize_t n = send(pair.client, payload.data() + pos,
                               std::min(payload.size() - pos, kBufferBytes), MSG_NOSIGNAL);
        if (n <= 0) break;
        pos += static_cast<size_t>(n);
      }
      shutdown(pair.client, SHUT_WR);
    });
    std::string buffer(kBufferBytes, '\0');
    int64_t got = 0;
    for (;;) {
      const ssize_t n = recv(pair.server, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      got += n;
    }
    sender.join();
    if (got != kTransferBytes) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

// SendStreamPlain from source into ReceiveStreamToEnd over a fresh pair.
bool MoveStream(TStream& source) {
  RawPair pair;
  std::thread sender([&] {
    TBenchSocket sock;
    sock.AdoptHandle(pair.client);
    pair.client = -1;  // owned by the socket now
    sock.SendStreamPlain(source);
    sock.Close();
  });
  TBenchSocket sock;
  sock.AdoptHandle(pair.server);
  pair.server = -1;
  CountingStream sink;
  sock.ReceiveStreamToEnd(sink, 10000);
  sender.join();
  return sink.Size() == kTransferBytes && sock.LastErrorCode() == 10054;
}

void BM_SocketStream(benchmark::State& state) {
  TMemoryStream source(Payload());
  for (auto _ : state) {
    source.SetPosition(0);
    if (!MoveStream(source)) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

void BM_SocketStreamFromReader(benchmark::State& state) {
  for (auto _ : state) {
    PatternStream source(kTransferBytes);
    if (!MoveStream(source)) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

void BM_ReceiveLine(benchmark::State& state) {
  const bool convert = state.range(0) != 0;
  std::string lines;
  for (int i = 0; i < kLineCount; ++i) lines += "line " + std::to_string(i) + "\r\n";
  for (auto _ : state) {
    RawPair pair;
    std::thread sender([&] {
      for (size_t pos = 0; pos < lines.size(); pos += kBufferBytes) {
        const size_t n = std::min(kBufferBytes, lines.size() - pos);
        size_t done = 0;
        while (done < n) {
          const ssize_t k = send(pair.client, lines.data() + pos + done, n - done, MSG_NOSIGNAL);
          if (k <= 0) return;
          done += static_cast<size_t>(k);
        }
      }
    });
    TBenchSocket sock;
    sock.ConvertLineEnd = convert;
    sock.AdoptHandle(pair.server);
    pair.server = -1;
    int count = 0;
    for (; count < kLineCount; ++count) {
      const std::string line = sock.ReceiveLine(10000);
      if (sock.LastErrorCode() != 0) break;
      benchmark::DoNotOptimize(line.data());
    }
    sender.join();
    if (count != kLineCount) state.SkipWithError("lines missing");
  }
  state.SetItemsProcessed(state.iterations() * kLineCount);
}

BENCHMARK(BM_PlainSendRecv)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_SocketStream)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_SocketStreamFromReader)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ReceiveLine)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace zud

BENCHMARK_MAIN();
