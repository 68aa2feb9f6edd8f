#include "support/scripted_peer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace zud::test {
namespace {

using Clock = std::chrono::steady_clock;

const char* const kStepNames[] = {
    "Expect", "Read", "ReadUntil", "ExpectClosed", "Send", "SendInPieces", "Sleep",
    "Close", "HalfClose", "GoSilent", "AcceptNext", "Call"};

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ScriptedPeer::ScriptedPeer(Family family) : family_(family) {
  std::string why;
  listener_ = ListenTcp(LoopbackHost(family), 0, &why);
  if (listener_.valid()) {
    port_ = LocalEndpoint(listener_.get()).port;
  } else {
    error_ = "cannot listen: " + why;
  }
}

ScriptedPeer::ScriptedPeer(std::string host, int port, std::string source_host)
    : family_(host.find(':') != std::string::npos ? Family::kIPv6 : Family::kIPv4),
      connect_host_(std::move(host)),
      connect_port_(port),
      source_host_(std::move(source_host)) {}

ScriptedPeer::~ScriptedPeer() {
  stop_.Raise();
  if (thread_.joinable()) thread_.join();
}

ScriptedPeer& ScriptedPeer::Add(Step step) {
  steps_.push_back(std::move(step));
  return *this;
}

ScriptedPeer& ScriptedPeer::Expect(const Bytes& expected, int timeout_ms) {
  return Add({.kind = StepKind::kExpect, .bytes = expected.str(), .timeout_ms = timeout_ms});
}

ScriptedPeer& ScriptedPeer::Read(size_t count, int timeout_ms) {
  return Add({.kind = StepKind::kRead, .count = count, .timeout_ms = timeout_ms});
}

ScriptedPeer& ScriptedPeer::ReadUntil(const Bytes& delimiter, int timeout_ms) {
  return Add({.kind = StepKind::kReadUntil, .bytes = delimiter.str(), .timeout_ms = timeout_ms});
}

ScriptedPeer& ScriptedPeer::ExpectClosed(int timeout_ms) {
  return Add({.kind = StepKind::kExpectClosed, .timeout_ms = timeout_ms});
}

ScriptedPeer& ScriptedPeer::Send(const Bytes& data) {
  return Add({.kind = StepKind::kSend, .bytes = data.str()});
}

ScriptedPeer& ScriptedPeer::SendInPieces(const Bytes& data, size_t piece_size, int pause_ms) {
  std::vector<size_t> pieces;
  for (size_t at = 0; piece_size > 0 && at < data.size(); at += piece_size) {
    pieces.push_back(piece_size);
  }
  return SendInPieces(data, std::move(pieces), pause_ms);
}

ScriptedPeer& ScriptedPeer::SendInPieces(const Bytes& data, std::vector<size_t> piece_sizes,
                                         int pause_ms) {
  return Add({.kind = StepKind::kSendInPieces,
              .bytes = data.str(),
              .pieces = std::move(piece_sizes),
              .pause_ms = pause_ms});
}

ScriptedPeer& ScriptedPeer::Sleep(int milliseconds) {
  return Add({.kind = StepKind::kSleep, .pause_ms = milliseconds});
}

ScriptedPeer& ScriptedPeer::Close() { return Add({.kind = StepKind::kClose}); }
ScriptedPeer& ScriptedPeer::HalfClose() { return Add({.kind = StepKind::kHalfClose}); }
ScriptedPeer& ScriptedPeer::GoSilent() { return Add({.kind = StepKind::kGoSilent}); }
ScriptedPeer& ScriptedPeer::AcceptNext() { return Add({.kind = StepKind::kAcceptNext}); }

ScriptedPeer& ScriptedPeer::Call(std::function<void()> fn) {
  return Add({.kind = StepKind::kCall, .fn = std::move(fn)});
}

void ScriptedPeer::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { Run(); });
}

bool ScriptedPeer::WaitDone(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return done_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [this] { return done_; });
}

std::string ScriptedPeer::Error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string error = error_;
  if (!done_ && step_number_ > 0 && step_number_ <= steps_.size()) {
    error += "script still at step " + std::to_string(step_number_) + " (" +
             kStepNames[static_cast<int>(steps_[step_number_ - 1].kind)] + ")";
  } else if (!done_) {
    error += thread_.joinable() ? "script not yet running" : "peer not started";
  }
  return error;
}

std::string ScriptedPeer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_all_;
}

std::string ScriptedPeer::ReceivedOn(size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index < connections_.size() ? connections_[index]->received : "";
}

int ScriptedPeer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(connections_.size());
}

Endpoint ScriptedPeer::PeerOf(size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index < connections_.size() ? connections_[index]->peer : Endpoint{};
}

ScriptedPeer::Connection* ScriptedPeer::current() {
  return current_ < connections_.size() ? connections_[current_].get() : nullptr;
}

int ScriptedPeer::StepTimeout(const Step& step) const {
  return step.timeout_ms >= 0 ? step.timeout_ms : timeout_ms_;
}

void ScriptedPeer::Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string where = step_number_ == 0 ? std::string("opening the connection")
                                         : "step " + std::to_string(step_number_);
  if (step_number_ > 0 && step_number_ <= steps_.size()) {
    where += std::string(" (") + kStepNames[static_cast<int>(steps_[step_number_ - 1].kind)] +
             ")";
  }
  error_ += where + ": " + what + "\n";
}

void ScriptedPeer::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  done_changed_.notify_all();
}

bool ScriptedPeer::PauseFor(int milliseconds) {
  return WaitFd(stop_.fd(), POLLIN, milliseconds) == WaitResult::kTimeout;
}

bool ScriptedPeer::AcceptOne(int timeout_ms) {
  std::string why;
  UniqueFd fd = AcceptTcp(listener_.get(), timeout_ms, &stop_, &why);
  if (!fd.valid()) {
    Fail(why);
    return false;
  }
  auto connection = std::make_unique<Connection>();
  connection->peer = PeerEndpoint(fd.get());
  connection->fd = std::move(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.push_back(std::move(connection));
  current_ = connections_.size() - 1;
  return true;
}

bool ScriptedPeer::Connect() {
  std::string why;
  UniqueFd fd = ConnectTcp(connect_host_, connect_port_, timeout_ms_, &why, source_host_);
  if (!fd.valid()) {
    Fail(why);
    return false;
  }
  auto connection = std::make_unique<Connection>();
  connection->peer = PeerEndpoint(fd.get());
  connection->fd = std::move(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.push_back(std::move(connection));
  current_ = 0;
  return true;
}

long ScriptedPeer::ReadSome(Connection& c, int timeout_ms, std::string* why) {
  if (c.input_ended) return 0;
  std::string chunk;
  long n = RecvSome(c.fd.get(), &chunk, timeout_ms, why, &stop_);
  if (n == 0) c.input_ended = true;
  if (n > 0) {
    c.buffered += chunk;
    std::lock_guard<std::mutex> lock(mutex_);
    c.received += chunk;
    received_all_ += chunk;
  }
  return n;
}

bool ScriptedPeer::RunStep(const Step& step) {
  if (step.kind == StepKind::kSleep) {
    if (PauseFor(step.pause_ms)) return true;
    Fail("stopped");
    return false;
  }
  if (step.kind == StepKind::kCall) {
    step.fn();
    return true;
  }
  if (step.kind == StepKind::kAcceptNext) {
    if (!listener_.valid()) {
      Fail("a connecting peer has no listener to accept on");
      return false;
    }
    return AcceptOne(StepTimeout(step));
  }
  Connection* c = current();
  if (c == nullptr || !c->fd.valid()) {
    Fail("no open connection");
    return false;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(StepTimeout(step));
  std::string why;
  switch (step.kind) {
    case StepKind::kExpect:
      for (;;) {
        size_t compared = std::min(c->buffered.size(), step.bytes.size());
        if (c->buffered.compare(0, compared, step.bytes, 0, compared) != 0) {
          Fail("unexpected bytes, " +
               DescribeMismatch(step.bytes, c->buffered.substr(0, step.bytes.size())));
          return false;
        }
        if (compared == step.bytes.size()) {
          c->buffered.erase(0, compared);
          return true;
        }
        long n = ReadSome(*c, MsLeft(deadline), &why);
        if (n <= 0) {
          Fail((n == 0 ? std::string("peer closed early") : why) + ", " +
               DescribeMismatch(step.bytes, c->buffered));
          return false;
        }
      }
    case StepKind::kRead:
      while (c->buffered.size() < step.count) {
        long n = ReadSome(*c, MsLeft(deadline), &why);
        if (n <= 0) {
          Fail((n == 0 ? std::string("peer closed") : why) + " after " +
               std::to_string(c->buffered.size()) + " of " + std::to_string(step.count) +
               " bytes");
          return false;
        }
      }
      c->buffered.erase(0, step.count);
      return true;
    case StepKind::kReadUntil:
      for (;;) {
        size_t at = c->buffered.find(step.bytes);
        if (at != std::string::npos) {
          c->buffered.erase(0, at + step.bytes.size());
          return true;
        }
        long n = ReadSome(*c, MsLeft(deadline), &why);
        if (n <= 0) {
          Fail((n == 0 ? std::string("peer closed") : why) + " before the delimiter; got\n" +
               HexDump(c->buffered));
          return false;
        }
      }
    case StepKind::kExpectClosed:
      for (;;) {
        if (!c->buffered.empty()) {
          Fail("bytes arrived instead of the close:\n" + HexDump(c->buffered));
          return false;
        }
        long n = ReadSome(*c, MsLeft(deadline), &why);
        if (n == 0) return true;
        if (n < 0) {
          Fail(why);
          return false;
        }
      }
    case StepKind::kSend:
      if (!SendAll(c->fd.get(), step.bytes, StepTimeout(step), &why, &stop_)) {
        Fail(why);
        return false;
      }
      return true;
    case StepKind::kSendInPieces: {
      int one = 1;
      ::setsockopt(c->fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      size_t at = 0;
      for (size_t i = 0; at < step.bytes.size(); ++i) {
        size_t size = i < step.pieces.size() ? step.pieces[i] : step.bytes.size() - at;
        if (i > 0 && !PauseFor(step.pause_ms)) {
          Fail("stopped");
          return false;
        }
        if (!SendAll(c->fd.get(), std::string_view(step.bytes).substr(at, size),
                     StepTimeout(step), &why, &stop_)) {
          Fail(why);
          return false;
        }
        at += std::min(size, step.bytes.size() - at);
      }
      return true;
    }
    case StepKind::kClose:
      c->fd.reset();
      return true;
    case StepKind::kHalfClose:
      ::shutdown(c->fd.get(), SHUT_WR);
      return true;
    default:
      return true;
  }
}

void ScriptedPeer::Hold() {
  for (;;) {
    std::vector<pollfd> fds = {{stop_.fd(), POLLIN, 0}};
    std::vector<Connection*> watched;
    for (auto& c : connections_) {
      if (c->fd.valid() && !c->input_ended) {
        fds.push_back({c->fd.get(), POLLIN, 0});
        watched.push_back(c.get());
      }
    }
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
    if (fds[0].revents) return;
    for (size_t i = 0; i < watched.size(); ++i) {
      if (fds[i + 1].revents == 0) continue;
      std::string why;
      // An error counts as the end of that connection's input.
      if (ReadSome(*watched[i], 0, &why) < 0) watched[i]->input_ended = true;
    }
  }
}

void ScriptedPeer::Run() {
  bool ok = listener_.valid() ? AcceptOne(timeout_ms_) : Connect();
  for (size_t i = 0; ok && i < steps_.size(); ++i) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      step_number_ = i + 1;
    }
    if (steps_[i].kind == StepKind::kGoSilent) break;
    ok = RunStep(steps_[i]);
  }
  if (!ok) {
    // Closing at once lets the code under test fail fast instead of waiting.
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& c : connections_) c->fd.reset();
  }
  Finish();
  if (ok) Hold();
}

}  // namespace zud::test
