// The test peers' socket helpers, written once over the raw calls of
// net_calls.h. On Windows the POSIX names below come from the Winsock shim
// in win/include.
#include "support/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "support/net_calls.h"

namespace zud::test {
namespace {

using namespace net_calls;

using Clock = std::chrono::steady_clock;

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

// Milliseconds left until deadline, never negative.
int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

Endpoint FromSockAddr(const sockaddr_storage& address) {
  Endpoint endpoint;
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text));
    endpoint.port = ntohs(in->sin_port);
  } else if (address.ss_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text));
    endpoint.port = ntohs(in6->sin6_port);
  }
  endpoint.host = text;
  return endpoint;
}

// Explains a WaitFd result other than kReady.
std::string WaitFailure(WaitResult result, const std::string& what) {
  switch (result) {
    case WaitResult::kTimeout: return "timed out waiting to " + what;
    case WaitResult::kStopped: return "stopped while waiting to " + what;
    default: return "poll failed waiting to " + what + ": " + LastErrorText();
  }
}

}  // namespace

const char* LoopbackHost(Family family) {
  return family == Family::kIPv6 ? "::1" : "127.0.0.1";
}

const char* FamilyName(Family family) {
  return family == Family::kIPv6 ? "IPv6" : "IPv4";
}

void PrintTo(Family family, std::ostream* os) { *os << FamilyName(family); }

bool LoopbackAvailable(Family family) {
  return ListenTcp(LoopbackHost(family), 0).valid();
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

bool StopSignal::raised() const {
  pollfd p{fd_.get(), POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

std::string Endpoint::ToString() const {
  if (host.find(':') != std::string::npos) return "[" + host + "]:" + std::to_string(port);
  return host + ":" + std::to_string(port);
}

bool MakeSockAddr(const std::string& host, int port, sockaddr_storage* address,
                  socklen_t* length) {
  std::memset(address, 0, sizeof(*address));
  auto* in = reinterpret_cast<sockaddr_in*>(address);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(address);
  if (inet_pton(AF_INET, host.c_str(), &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    *length = sizeof(sockaddr_in);
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    *length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

Endpoint LocalEndpoint(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return FromSockAddr(address);
}

Endpoint PeerEndpoint(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return FromSockAddr(address);
}

WaitResult WaitFd(int fd, short events, int timeout_ms, const StopSignal* stop) {
  pollfd fds[2] = {{fd, events, 0}, {stop ? stop->fd() : -1, POLLIN, 0}};
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    int wait = timeout_ms < 0 ? -1 : MsLeft(deadline);
    int n = ::poll(fds, stop ? 2 : 1, wait);
    if (n < 0) {
      if (LastWaitInterrupted()) continue;
      return WaitResult::kError;
    }
    if (stop && fds[1].revents) return WaitResult::kStopped;
    if (n > 0) return WaitResult::kReady;  // includes POLLHUP/POLLERR: the call tells
    return WaitResult::kTimeout;
  }
}

UniqueFd ListenTcp(const std::string& host, int port, std::string* error, int backlog) {
  sockaddr_storage address;
  socklen_t length;
  if (!MakeSockAddr(host, port, &address, &length)) {
    SetError(error, "not a numeric address: " + host);
    return {};
  }
  UniqueFd fd(NewStreamSocket(address.ss_family, false));
  if (!fd.valid()) {
    SetError(error, "socket: " + LastErrorText());
    return {};
  }
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (address.ss_family == AF_INET6) {
    ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    SetError(error, "bind " + Endpoint{host, port}.ToString() + ": " + LastErrorText());
    return {};
  }
  if (::listen(fd.get(), backlog) != 0) {
    SetError(error, "listen: " + LastErrorText());
    return {};
  }
  return fd;
}

UniqueFd AcceptTcp(int listen_fd, int timeout_ms, const StopSignal* stop,
                   std::string* error) {
  WaitResult ready = WaitFd(listen_fd, POLLIN, timeout_ms, stop);
  if (ready != WaitResult::kReady) {
    SetError(error, WaitFailure(ready, "accept a connection"));
    return {};
  }
  UniqueFd fd(AcceptSocket(listen_fd));
  if (!fd.valid()) SetError(error, "accept: " + LastErrorText());
  return fd;
}

UniqueFd ConnectTcp(const std::string& host, int port, int timeout_ms,
                    std::string* error, const std::string& source_host) {
  sockaddr_storage address;
  socklen_t length;
  if (!MakeSockAddr(host, port, &address, &length)) {
    SetError(error, "not a numeric address: " + host);
    return {};
  }
  UniqueFd fd(NewStreamSocket(address.ss_family, true));
  if (!fd.valid()) {
    SetError(error, "socket: " + LastErrorText());
    return {};
  }
  if (!source_host.empty()) {
    sockaddr_storage source;
    socklen_t source_length;
    if (!MakeSockAddr(source_host, 0, &source, &source_length) ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&source), source_length) != 0) {
      SetError(error, "bind to source " + source_host + ": " + LastErrorText());
      return {};
    }
  }
  std::string target = Endpoint{host, port}.ToString();
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    if (!LastConnectInProgress()) {
      SetError(error, "connect " + target + ": " + LastErrorText());
      return {};
    }
    WaitResult ready = WaitFd(fd.get(), POLLOUT, timeout_ms);
    if (ready != WaitResult::kReady) {
      SetError(error, WaitFailure(ready, "connect to " + target));
      return {};
    }
    int so_error = 0;
    socklen_t so_length = sizeof(so_error);
    ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &so_length);
    if (so_error != 0) {
      SetError(error, "connect " + target + ": " + ErrorCodeText(so_error));
      return {};
    }
  }
  SetBlocking(fd.get(), true);
  return fd;
}

bool SendAll(int fd, std::string_view data, int timeout_ms, std::string* error,
             const StopSignal* stop) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t sent = 0;
  while (sent < data.size()) {
    WaitResult ready = WaitFd(fd, POLLOUT, MsLeft(deadline), stop);
    if (ready != WaitResult::kReady) {
      SetError(error, WaitFailure(ready, "send"));
      return false;
    }
    const long n = SendNow(fd, data.data() + sent, data.size() - sent);
    if (n < 0) {
      if (LastCallShouldRetry()) continue;
      SetError(error, "send: " + LastErrorText());
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

long RecvSome(int fd, std::string* out, int timeout_ms, std::string* error,
              const StopSignal* stop) {
  for (;;) {
    WaitResult ready = WaitFd(fd, POLLIN, timeout_ms, stop);
    if (ready != WaitResult::kReady) {
      SetError(error, WaitFailure(ready, "receive"));
      return -1;
    }
    char buffer[16384];
    const long n = ReceiveNow(fd, buffer, sizeof(buffer));
    if (n < 0) {
      if (LastCallShouldRetry()) continue;
      SetError(error, "recv: " + LastErrorText());
      return -1;
    }
    out->append(buffer, static_cast<size_t>(n));
    return n;
  }
}

bool RecvExact(int fd, size_t n, std::string* out, int timeout_ms, std::string* error,
               const StopSignal* stop) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t have = 0;
  while (have < n) {
    WaitResult ready = WaitFd(fd, POLLIN, MsLeft(deadline), stop);
    if (ready != WaitResult::kReady) {
      SetError(error, WaitFailure(ready, "receive") + " (" + std::to_string(have) +
                          " of " + std::to_string(n) + " bytes arrived)");
      return false;
    }
    char buffer[16384];
    size_t want = std::min(sizeof(buffer), n - have);
    const long got = ReceiveNow(fd, buffer, want);
    if (got < 0) {
      if (LastCallShouldRetry()) continue;
      SetError(error, "recv: " + LastErrorText());
      return false;
    }
    if (got == 0) {
      SetError(error, "peer closed after " + std::to_string(have) + " of " +
                          std::to_string(n) + " bytes");
      return false;
    }
    out->append(buffer, static_cast<size_t>(got));
    have += static_cast<size_t>(got);
  }
  return true;
}

bool RecvLine(int fd, std::string* line, int timeout_ms, std::string* error,
              const StopSignal* stop, size_t max_length) {
  // Byte by byte, so nothing after the LF is consumed; fine for test traffic.
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  line->clear();
  for (;;) {
    std::string byte;
    if (!RecvExact(fd, 1, &byte, MsLeft(deadline), error, stop)) return false;
    if (byte[0] == '\n') break;
    if (line->size() >= max_length) {
      SetError(error, "line longer than " + std::to_string(max_length) + " bytes");
      return false;
    }
    line->push_back(byte[0]);
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool RecvAll(int fd, std::string* out, int timeout_ms, std::string* error,
             const StopSignal* stop) {
  for (;;) {
    long n = RecvSome(fd, out, timeout_ms, error, stop);
    if (n < 0) return false;
    if (n == 0) return true;
  }
}

std::string ErrnoText(int error_number) {
  return std::string(std::strerror(error_number)) + " (" + std::to_string(error_number) + ")";
}

}  // namespace zud::test
