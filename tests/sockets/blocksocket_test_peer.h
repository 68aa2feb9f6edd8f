// Test helpers for TBlockSocket: a raw POSIX peer on a loopback port that runs
// a script on its own thread, a gate that paces the peer by what the client
// consumed, and a TCP flavour of TBlockSocket. The peer deliberately does not
// use the socket classes under test.
//
//   Peer peer(Family::kIPv4);
//   Gate consumed;                       // released on every SR_BytesRead
//   peer.Run([&](Conn& c) { c.Send("a\r"); consumed.Acquire(); c.Send("\nb\r\n"); });
//   TTestSocket sock; sock.OnStatus = ...; sock.ConnectTo(peer.host(), peer.port());
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "sockets/blocksocket.h"

namespace zud::blocksocket_test {

constexpr int kPeerWaitMs = 10000;  // the longest any helper waits

enum class Family { kIPv4, kIPv6 };

inline const char* LoopbackText(Family family) {
  return family == Family::kIPv4 ? "127.0.0.1" : "::1";
}
inline const char* FamilyLabel(Family family) { return family == Family::kIPv4 ? "IPv4" : "IPv6"; }
inline void PrintTo(Family family, std::ostream* os) { *os << FamilyLabel(family); }

// TBlockSocket itself has socket kind 0; the tests need a TCP one.
class TTestSocket : public TBlockSocket {
 public:
  int SocketKind() const override { return kSockStream; }
  int SocketProtocolNumber() const override { return kIpProtoTcp; }
};

class TTestDatagramSocket : public TBlockSocket {
 public:
  int SocketKind() const override { return kSockDgram; }
  int SocketProtocolNumber() const override { return kIpProtoUdp; }
};

// Owns one descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Fd() { Reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1) {
#if defined(_WIN32)
    if (fd_ >= 0) ::closesocket(static_cast<SOCKET>(fd_));
#else
    if (fd_ >= 0) ::close(fd_);
#endif
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A counting semaphore with timeouts; Close() wakes every waiter for good.
class Gate {
 public:
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    cv_.notify_all();
  }
  bool Acquire(int timeout_ms = kPeerWaitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return count_ > 0 || closed_; })) {
      return false;
    }
    if (closed_ && count_ == 0) return false;
    --count_;
    return true;
  }
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_ = 0;
  bool closed_ = false;
};

inline bool FillSockaddr(Family family, int port, sockaddr_storage& ss, socklen_t& len) {
  std::memset(&ss, 0, sizeof(ss));
  if (family == Family::kIPv4) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(static_cast<uint16_t>(port));
    sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof(sockaddr_in);
  } else {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(static_cast<uint16_t>(port));
    sin6->sin6_addr = in6addr_loopback;
    len = sizeof(sockaddr_in6);
  }
  return true;
}

inline int LocalPort(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
}

inline bool WaitFor(int fd, short events, int timeout_ms = kPeerWaitMs) {
  pollfd pfd{fd, events, 0};
  return poll(&pfd, 1, timeout_ms) > 0;
}

// A raw client connect to the loopback of family; invalid Fd on failure.
inline Fd RawConnect(Family family, int port) {
  sockaddr_storage ss{};
  socklen_t len = 0;
  FillSockaddr(family, port, ss, len);
  Fd fd(socket(family == Family::kIPv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid() || connect(fd.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) return Fd();
  return fd;
}

// A loopback port that nobody listens on (bound, never listening, closed).
inline int RefusingPort(Family family) {
  sockaddr_storage ss{};
  socklen_t len = 0;
  FillSockaddr(family, 0, ss, len);
  Fd fd(socket(family == Family::kIPv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) return 0;
  return LocalPort(fd.get());
}

// The accepted side of a peer connection.
class Conn {
 public:
  explicit Conn(Fd fd) : fd_(std::move(fd)) {}
  int fd() const { return fd_.get(); }
  bool Send(std::string_view data) {
    size_t done = 0;
    while (done < data.size()) {
      if (!WaitFor(fd_.get(), POLLOUT)) return false;
      const ssize_t n = ::send(fd_.get(), data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Up to n bytes, fewer on end of stream or timeout.
  std::string Recv(size_t n, int timeout_ms = kPeerWaitMs) {
    std::string out;
    char buffer[65536];
    while (out.size() < n) {
      if (!WaitFor(fd_.get(), POLLIN, timeout_ms)) break;
      const ssize_t got =
          ::recv(fd_.get(), buffer, std::min(sizeof(buffer), n - out.size()), 0);
      if (got <= 0) break;
      out.append(buffer, static_cast<size_t>(got));
    }
    return out;
  }
  // Everything until the client closes (or the wait runs out).
  std::string RecvAll(int timeout_ms = kPeerWaitMs) { return Recv(SIZE_MAX, timeout_ms); }
  void ShutdownWrite() { ::shutdown(fd_.get(), SHUT_WR); }
  void Close() { fd_.Reset(); }
  // Close with a reset instead of an orderly end.
  void Reset() {
    linger l{1, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    fd_.Reset();
  }

 private:
  Fd fd_;
};

// Listens on a loopback port; Run() accepts one connection on a thread and
// hands it to the script. The destructor waits for the script.
class Peer {
 public:
  explicit Peer(Family family) : family_(family) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    FillSockaddr(family, 0, ss, len);
    Fd fd(socket(family == Family::kIPv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.valid() && bind(fd.get(), reinterpret_cast<sockaddr*>(&ss), len) == 0 &&
        listen(fd.get(), 16) == 0) {
      port_ = LocalPort(fd.get());
      listener_ = std::move(fd);
    }
  }
  ~Peer() { Join(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool ok() const { return listener_.valid(); }
  std::string host() const { return LoopbackText(family_); }
  std::string port() const { return std::to_string(port_); }
  int port_number() const { return port_; }
  int listener() const { return listener_.get(); }

  void Run(std::function<void(Conn&)> script) {
    thread_ = std::thread([this, script = std::move(script)] {
      if (!WaitFor(listener_.get(), POLLIN)) return;
      Fd accepted(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!accepted.valid()) return;
      Conn conn(std::move(accepted));
      script(conn);
    });
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  Family family_;
  Fd listener_;
  int port_ = 0;
  std::thread thread_;
};

// Entries of /proc/self/fd (the directory's own descriptor included); on
// Windows the process's handle count.
inline int CountOpenDescriptors() {
#if defined(_WIN32)
  DWORD handles = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &handles) ? static_cast<int>(handles) : -1;
#endif
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// Records the status reports of a socket as "reason value" lines.
struct StatusLog {
  std::vector<std::pair<THookSocketReason, std::string>> events;
  void Attach(TBlockSocket& sock) {
    sock.OnStatus = [this](TBlockSocket&, THookSocketReason reason, const std::string& value) {
      events.emplace_back(reason, value);
    };
  }
  std::vector<THookSocketReason> Reasons() const {
    std::vector<THookSocketReason> out;
    for (const auto& e : events) out.push_back(e.first);
    return out;
  }
  std::vector<std::string> ValuesOf(THookSocketReason reason) const {
    std::vector<std::string> out;
    for (const auto& e : events) {
      if (e.first == reason) out.push_back(e.second);
    }
    return out;
  }
};

}  // namespace zud::blocksocket_test
