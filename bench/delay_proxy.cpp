// delay_proxy: a TCP proxy that makes a loopback FTP server look distant.
//
//   delay_proxy [--delay-ms D] [--listen-port P] [--stats FILE] SERVER_HOST SERVER_PORT
//
// Listens on 127.0.0.1:P (P = 0: a free port) and prints the port it listens
// on as one line on standard output. Each connection is forwarded to
// SERVER_HOST:SERVER_PORT; every byte is held for D ms (default 10) in each
// direction, so a round trip costs 2 D. Each chunk is stamped on arrival and
// released at arrival + D, in order; nothing else limits the bandwidth.
//
// The connections are taken for FTP control connections: a passive reply
// from the server ("227 ... (h1,h2,h3,h4,p1,p2)" or "229 ... (|||port|)") is
// rewritten to name a fresh listener of the proxy's own on 127.0.0.1, which
// accepts one connection and forwards it, with the same delay, to the
// server's data port. Active mode is not handled.
//
// On SIGTERM or SIGINT it writes its counters ("name value" lines) to FILE,
// or to standard output without --stats, and exits:
//   control_connections, data_connections,
//   commands  lines the clients sent on control connections,
//   turns     times a client sent on a control connection after the server
//             had spoken there (its greeting or a reply): each is a wait for
//             the server, one round trip, unless the client sent without
//             waiting.
//
// Plain POSIX sockets and one thread per direction: the proxy is a benchmark
// fixture, not part of the tool.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// A reader waits while this much is held in one direction, as a full TCP
// window would make the sender wait.
constexpr size_t kMaxQueuedBytes = 16 << 20;
constexpr size_t kReadSize = 64 << 10;
// A control line longer than this is passed on unparsed.
constexpr size_t kMaxLine = 8 << 10;
// A passive listener nobody connects to is given up after this long.
constexpr int kAcceptTimeoutMs = 60'000;

std::chrono::milliseconds g_delay{10};
sockaddr_in g_server{};

std::atomic<long> g_control_connections{0};
std::atomic<long> g_data_connections{0};
std::atomic<long> g_commands{0};
std::atomic<long> g_turns{0};

// Owns one descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

void SetNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Listens on 127.0.0.1:port (0: any free port); returns the socket and the port.
std::optional<std::pair<Fd, int>> ListenLoopback(int port, int backlog) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return std::nullopt;
  int one = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return std::nullopt;
  if (listen(fd.get(), backlog) != 0) return std::nullopt;
  socklen_t len = sizeof addr;
  if (getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return std::nullopt;
  return std::make_pair(std::move(fd), static_cast<int>(ntohs(addr.sin_port)));
}

Fd Connect(const sockaddr_in& to) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return Fd();
  SetNoDelay(fd.get());
  return fd;
}

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Bytes in flight in one direction: stamped with their release time.
class DelayLine {
 public:
  // Queues bytes (empty: the sender's end of stream) for release after the delay.
  void Push(std::string bytes) {
    std::unique_lock lock(mutex_);
    space_.wait(lock, [&] { return queued_ < kMaxQueuedBytes || aborted_; });
    queued_ += bytes.size();
    chunks_.push_back({Clock::now() + g_delay, std::move(bytes)});
    ready_.notify_one();
  }
  // Waits for the next chunk and its release time; nullopt once aborted.
  std::optional<std::string> Pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !chunks_.empty() || aborted_; });
    if (aborted_) return std::nullopt;
    auto [release, bytes] = std::move(chunks_.front());
    chunks_.pop_front();
    queued_ -= bytes.size();
    space_.notify_one();
    lock.unlock();
    std::this_thread::sleep_until(release);
    return bytes;
  }
  void Abort() {
    std::lock_guard lock(mutex_);
    aborted_ = true;
    ready_.notify_all();
    space_.notify_all();
  }

 private:
  struct Chunk {
    Clock::time_point release;
    std::string bytes;
  };
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable space_;
  std::deque<Chunk> chunks_;
  size_t queued_ = 0;
  bool aborted_ = false;
};

// Turns the server's passive replies into ones naming the proxy's listeners.
class ReplyRewriter {
 public:
  // Takes bytes from the server; returns the complete lines, rewritten.
  std::string Feed(const char* data, size_t size) {
    pending_.append(data, size);
    std::string out;
    size_t start = 0;
    for (size_t nl; (nl = pending_.find('\n', start)) != std::string::npos; start = nl + 1) {
      out += Rewrite(pending_.substr(start, nl + 1 - start));
    }
    pending_.erase(0, start);
    if (pending_.size() > kMaxLine) out += std::exchange(pending_, {});
    return out;
  }
  // What is left at the end of the stream.
  std::string Rest() { return std::exchange(pending_, {}); }

 private:
  static std::string Rewrite(std::string line);
  std::string pending_;
};

// Reads numbers "a,b,c,d,e,f" at line[pos]; returns the end or npos.
size_t ParseSixNumbers(const std::string& line, size_t pos, int (&n)[6]) {
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      if (pos >= line.size() || line[pos] != ',') return std::string::npos;
      ++pos;
    }
    size_t digits = 0;
    int value = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9' && digits < 3) {
      value = value * 10 + (line[pos++] - '0');
      ++digits;
    }
    if (digits == 0 || value > 255) return std::string::npos;
    n[i] = value;
  }
  return pos;
}

void StartRelay(Fd client, Fd server, bool control);

// Opens a listener that forwards one connection to `target`; returns its port or 0.
int OpenDataListener(const sockaddr_in& target) {
  auto listener = ListenLoopback(0, 1);
  if (!listener) return 0;
  int port = listener->second;
  std::thread([fd = std::move(listener->first), target]() mutable {
    pollfd p{fd.get(), POLLIN, 0};
    if (poll(&p, 1, kAcceptTimeoutMs) != 1) return;
    Fd client(accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    fd.Reset();
    if (!client.valid()) return;
    SetNoDelay(client.get());
    Fd server = Connect(target);
    if (!server.valid()) return;
    ++g_data_connections;
    StartRelay(std::move(client), std::move(server), false);
  }).detach();
  return port;
}

std::string ReplyRewriter::Rewrite(std::string line) {
  if (line.rfind("227", 0) == 0) {
    for (size_t pos = 4; pos < line.size(); ++pos) {
      int n[6];
      size_t end = ParseSixNumbers(line, pos, n);
      if (end == std::string::npos) continue;
      sockaddr_in target = g_server;
      uint32_t host = (uint32_t(n[0]) << 24) | (n[1] << 16) | (n[2] << 8) | n[3];
      if (host != 0) target.sin_addr.s_addr = htonl(host);
      target.sin_port = htons(static_cast<uint16_t>(n[4] * 256 + n[5]));
      int port = OpenDataListener(target);
      if (port == 0) return line;
      char text[32];
      std::snprintf(text, sizeof text, "127,0,0,1,%d,%d", port / 256, port % 256);
      return line.replace(pos, end - pos, text);
    }
  } else if (line.rfind("229", 0) == 0) {
    size_t open = line.find("(|||");
    if (open == std::string::npos) return line;
    size_t begin = open + 4;
    size_t end = line.find('|', begin);
    if (end == std::string::npos || end == begin || end - begin > 5) return line;
    int server_port = std::atoi(line.substr(begin, end - begin).c_str());
    if (server_port <= 0 || server_port > 65535) return line;
    sockaddr_in target = g_server;
    target.sin_port = htons(static_cast<uint16_t>(server_port));
    int port = OpenDataListener(target);
    if (port == 0) return line;
    return line.replace(begin, end - begin, std::to_string(port));
  }
  return line;
}

// One proxied connection: a reader and a writer thread per direction. The
// descriptors close when the last of the four threads lets go.
struct Relay {
  Fd client;
  Fd server;
  bool control = false;
  DelayLine upstream;    // client to server
  DelayLine downstream;  // server to client
  // Who spoke last on a control connection (false: the client).
  std::atomic<bool> server_spoke{false};

  // Stops both directions at once after a failed write.
  void Break() {
    shutdown(client.get(), SHUT_RDWR);
    shutdown(server.get(), SHUT_RDWR);
    upstream.Abort();
    downstream.Abort();
  }
};

void ReadInto(std::shared_ptr<Relay> relay, bool from_client) {
  int fd = from_client ? relay->client.get() : relay->server.get();
  DelayLine& line = from_client ? relay->upstream : relay->downstream;
  ReplyRewriter rewriter;
  std::string buffer(kReadSize, '\0');
  for (;;) {
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (relay->control) {
      if (from_client) {
        if (relay->server_spoke.exchange(false)) ++g_turns;
        for (ssize_t i = 0; i < n; ++i) g_commands += buffer[i] == '\n';
      } else {
        relay->server_spoke = true;
      }
    }
    if (relay->control && !from_client) {
      std::string out = rewriter.Feed(buffer.data(), static_cast<size_t>(n));
      if (!out.empty()) line.Push(std::move(out));
    } else {
      line.Push(buffer.substr(0, static_cast<size_t>(n)));
    }
  }
  std::string rest = rewriter.Rest();
  if (!rest.empty()) line.Push(std::move(rest));
  line.Push({});  // end of stream
}

void WriteFrom(std::shared_ptr<Relay> relay, bool to_server) {
  int fd = to_server ? relay->server.get() : relay->client.get();
  DelayLine& line = to_server ? relay->upstream : relay->downstream;
  while (auto bytes = line.Pop()) {
    if (bytes->empty()) {
      shutdown(fd, SHUT_WR);
      return;
    }
    if (!SendAll(fd, bytes->data(), bytes->size())) {
      relay->Break();
      return;
    }
  }
}

void StartRelay(Fd client, Fd server, bool control) {
  auto relay = std::make_shared<Relay>();
  relay->client = std::move(client);
  relay->server = std::move(server);
  relay->control = control;
  std::thread(ReadInto, relay, true).detach();
  std::thread(ReadInto, relay, false).detach();
  std::thread(WriteFrom, relay, true).detach();
  std::thread(WriteFrom, relay, false).detach();
}

void WriteStats(const char* path) {
  FILE* out = path ? std::fopen(path, "w") : stdout;
  if (!out) return;
  std::fprintf(out, "control_connections %ld\ndata_connections %ld\ncommands %ld\nturns %ld\n",
               g_control_connections.load(), g_data_connections.load(), g_commands.load(),
               g_turns.load());
  if (path) std::fclose(out);
  else std::fflush(out);
}

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: delay_proxy [--delay-ms D] [--listen-port P] [--stats FILE] "
               "SERVER_HOST SERVER_PORT\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  int listen_port = 0;
  const char* stats = nullptr;
  int i = 1;
  for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
    if (std::strcmp(argv[i], "--delay-ms") == 0) g_delay = std::chrono::milliseconds(std::atoi(argv[i + 1]));
    else if (std::strcmp(argv[i], "--listen-port") == 0) listen_port = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--stats") == 0) stats = argv[i + 1];
    else Usage();
  }
  if (argc - i != 2) Usage();
  g_server.sin_family = AF_INET;
  if (inet_pton(AF_INET, argv[i], &g_server.sin_addr) != 1) Usage();
  g_server.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[i + 1])));

  // The signals are taken by sigwait below; every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  auto listener = ListenLoopback(listen_port, 64);
  if (!listener) {
    std::perror("delay_proxy: listen");
    return 1;
  }
  std::printf("%d\n", listener->second);
  std::fflush(stdout);

  std::thread([fd = std::move(listener->first)] {
    for (;;) {
      Fd client(accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!client.valid()) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        std::perror("delay_proxy: accept");
        return;
      }
      SetNoDelay(client.get());
      Fd server = Connect(g_server);
      if (!server.valid()) continue;  // the client sees its connection close
      ++g_control_connections;
      StartRelay(std::move(client), std::move(server), true);
    }
  }).detach();

  int signal_number = 0;
  sigwait(&signals, &signal_number);
  WriteStats(stats);
  std::fflush(nullptr);
  _exit(0);
}
