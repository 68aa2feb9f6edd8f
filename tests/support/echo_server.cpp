#include "support/echo_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <list>

namespace zud::test {
namespace {

constexpr size_t kMaxPending = 1 << 20;

struct Connection {
  UniqueFd fd;
  std::string pending;  // received, not yet echoed
  bool input_closed = false;
};

}  // namespace

EchoServer::EchoServer(Family family) : family_(family) {
  listener_ = ListenTcp(LoopbackHost(family), 0, &error_);
  if (!listener_.valid()) return;
  port_ = LocalEndpoint(listener_.get()).port;
  thread_ = std::thread([this] { Run(); });
}

EchoServer::~EchoServer() {
  stop_.Raise();
  if (thread_.joinable()) thread_.join();
}

int EchoServer::connection_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(peers_.size());
}

std::vector<Endpoint> EchoServer::peers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peers_;
}

size_t EchoServer::bytes_echoed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_echoed_;
}

void EchoServer::Run() {
  std::list<Connection> connections;
  for (;;) {
    std::vector<pollfd> fds = {{stop_.fd(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
    for (Connection& c : connections) {
      short events = 0;
      // Reading pauses while a peer does not take its echo back.
      if (!c.input_closed && c.pending.size() < kMaxPending) events |= POLLIN;
      if (!c.pending.empty()) events |= POLLOUT;
      fds.push_back({c.fd.get(), events, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents) return;
    size_t index = 2;
    for (auto it = connections.begin(); it != connections.end(); ++index) {
      Connection& c = *it;
      short revents = fds[index].revents;
      bool drop = false;
      if ((revents & (POLLIN | POLLHUP | POLLERR)) && c.pending.size() < kMaxPending) {
        char buffer[16384];
        ssize_t n = ::recv(c.fd.get(), buffer, sizeof(buffer), 0);
        if (n > 0) {
          c.pending.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
          c.input_closed = true;
        } else if (errno != EAGAIN && errno != EINTR) {
          drop = true;
        }
      }
      if (!drop && !c.pending.empty()) {
        ssize_t n = ::send(c.fd.get(), c.pending.data(), c.pending.size(), MSG_NOSIGNAL);
        if (n > 0) {
          c.pending.erase(0, static_cast<size_t>(n));
          std::lock_guard<std::mutex> lock(mutex_);
          bytes_echoed_ += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
          drop = true;
        }
      }
      if (c.input_closed && c.pending.empty()) drop = true;
      it = drop ? connections.erase(it) : std::next(it);
    }
    // Accepted last: the loop above matches connections to fds by position.
    if (fds[1].revents & POLLIN) {
      UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (fd.valid()) {
        std::lock_guard<std::mutex> lock(mutex_);
        peers_.push_back(PeerEndpoint(fd.get()));
        connections.push_back(Connection{std::move(fd), {}, false});
      }
    }
  }
}

}  // namespace zud::test
