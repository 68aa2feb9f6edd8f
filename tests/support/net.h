// Raw POSIX socket helpers for test peers and self-tests. They deliberately do
// not use the project's own socket classes, so that tests of those classes
// do not test them with themselves. Loopback and numeric addresses only.
//
//   std::string error;
//   UniqueFd listener = ListenTcp(LoopbackHost(Family::kIPv6), 0, &error);
//   int port = LocalEndpoint(listener.get()).port;
//   UniqueFd client = ConnectTcp("::1", port, 5000, &error);
//   UniqueFd server = AcceptTcp(listener.get(), 5000, nullptr, &error);
//   ASSERT_TRUE(SendAll(client.get(), "hello\r\n", 5000));
//   std::string line;
//   ASSERT_TRUE(RecvLine(server.get(), &line, 5000));  // "hello"
//
// Every wait takes a timeout in milliseconds and, where a helper thread must
// be stoppable, a StopSignal that ends the wait early. Descriptors are
// close-on-exec, sends never raise SIGPIPE.
#pragma once

#include <sys/socket.h>

#include <ostream>
#include <string>
#include <string_view>

namespace zud::test {

// How long a test peer waits for anything by default.
inline constexpr int kDefaultWaitMs = 10000;

enum class Family { kIPv4, kIPv6 };

// "127.0.0.1" or "::1".
const char* LoopbackHost(Family family);
// "IPv4" or "IPv6", for parameterised test names.
const char* FamilyName(Family family);
// Whether a listener can be bound on the family's loopback address.
bool LoopbackAvailable(Family family);
// Lets GoogleTest print a Family parameter by name.
void PrintTo(Family family, std::ostream* os);

// Owns one descriptor; closes it on destruction. Movable, not copyable.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A level-triggered flag (an eventfd) that wakes every wait given it.
class StopSignal {
 public:
  StopSignal();
  void Raise();
  bool raised() const;
  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
};

struct Endpoint {
  std::string host;  // numeric, without brackets
  int port = 0;
  // "127.0.0.1:21" or "[::1]:21".
  std::string ToString() const;
};

// Fills a socket address from a numeric IPv4 or IPv6 host; false otherwise.
bool MakeSockAddr(const std::string& host, int port, sockaddr_storage* address,
                  socklen_t* length);
Endpoint LocalEndpoint(int fd);
Endpoint PeerEndpoint(int fd);

enum class WaitResult { kReady, kTimeout, kStopped, kError };
// Waits until fd reports one of events (POLLIN, POLLOUT); a negative timeout
// waits without limit (only with a stop signal, which then ends it).
WaitResult WaitFd(int fd, short events, int timeout_ms,
                  const StopSignal* stop = nullptr);

// Listens on a numeric host and port (0: a free port), SO_REUSEADDR set.
// Returns an invalid descriptor and sets *error on failure.
UniqueFd ListenTcp(const std::string& host, int port, std::string* error = nullptr,
                   int backlog = 16);
UniqueFd AcceptTcp(int listen_fd, int timeout_ms, const StopSignal* stop = nullptr,
                   std::string* error = nullptr);
// Connects within timeout_ms; a non-empty source_host is bound first (for
// example "127.0.0.2" to connect as a stranger).
UniqueFd ConnectTcp(const std::string& host, int port, int timeout_ms,
                    std::string* error = nullptr,
                    const std::string& source_host = "");

// Sends every byte before the deadline; false (with *error) otherwise.
bool SendAll(int fd, std::string_view data, int timeout_ms = kDefaultWaitMs,
             std::string* error = nullptr, const StopSignal* stop = nullptr);
// Appends exactly n bytes to *out within timeout_ms in all. On timeout, end of
// stream or error returns false; *out keeps what did arrive.
bool RecvExact(int fd, size_t n, std::string* out, int timeout_ms = kDefaultWaitMs,
               std::string* error = nullptr, const StopSignal* stop = nullptr);
// Reads one line through LF within timeout_ms; *line gets it without CR LF.
// Lines longer than max_length fail.
bool RecvLine(int fd, std::string* line, int timeout_ms = kDefaultWaitMs,
              std::string* error = nullptr, const StopSignal* stop = nullptr,
              size_t max_length = 1 << 20);
// Appends everything until the peer closes. timeout_ms bounds each wait for
// more bytes (an idle limit), so long transfers do not need a large value.
bool RecvAll(int fd, std::string* out, int timeout_ms = kDefaultWaitMs,
             std::string* error = nullptr, const StopSignal* stop = nullptr);
// One recv of whatever arrives within timeout_ms: >0 bytes appended, 0 at end
// of stream, -1 on timeout, stop or error.
long RecvSome(int fd, std::string* out, int timeout_ms,
              std::string* error = nullptr, const StopSignal* stop = nullptr);

// strerror text with the errno name's number, e.g. "Connection refused (111)".
std::string ErrnoText(int error_number);

}  // namespace zud::test
