// A byte-exact fake TCP peer for proxy and socket tests: a thread that
// listens on a loopback port (or connects out) and plays a script of steps,
// recording every byte it receives. Build the script, Start(), run the code
// under test, then check WaitDone() and what arrived.
//
//   ScriptedPeer proxy(Family::kIPv4);          // listens on 127.0.0.1, port 0
//   proxy.Expect({
//            0x05,  // Version
//            0x01,  // One method
//            0x00,  // No authentication
//        })
//       .Send({0x05, 0x00})
//       .Expect(Bytes{0x05, 0x01, 0x00, 0x01, 127, 0, 0, 1} + PortBytes(21))
//       .SendInPieces({0x05, 0x00, 0x00, 0x01, 10, 0, 0, 1, 0x00, 0x15}, 1, 20)
//       .Close();
//   proxy.Start();
//   ... point the client at proxy.port() ...
//   ASSERT_TRUE(proxy.WaitDone(5000)) << proxy.Error();
//
// A failed step (wrong bytes, timeout, early close) records an error with hex
// dumps of both sides, closes every connection, and ends the script. A script
// that runs out of steps without Close() holds its connections open and keeps
// recording what arrives until the peer is destroyed. Steps wait at most
// timeout_ms() each (10 s unless set). Build the script before Start(); the
// accessors may be used from any thread at any time.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/bytes.h"
#include "support/net.h"

namespace zud::test {

class ScriptedPeer {
 public:
  // Listens on the family's loopback address, port 0; the first step waits
  // for a connection.
  explicit ScriptedPeer(Family family = Family::kIPv4);
  // Connects out to host:port when started (source_host: optional local
  // address to connect from, e.g. "127.0.0.2").
  ScriptedPeer(std::string host, int port, std::string source_host = "");
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // ---- Script steps; each returns *this for chaining --------------------
  // Reads exactly expected.size() bytes and compares them.
  ScriptedPeer& Expect(const Bytes& expected, int timeout_ms = -1);
  // Reads exactly count bytes, whatever they are.
  ScriptedPeer& Read(size_t count, int timeout_ms = -1);
  // Reads through the first occurrence of delimiter (e.g. "\r\n\r\n").
  ScriptedPeer& ReadUntil(const Bytes& delimiter, int timeout_ms = -1);
  // Waits for the other side to close; any byte before that is an error.
  ScriptedPeer& ExpectClosed(int timeout_ms = -1);
  ScriptedPeer& Send(const Bytes& data);
  // Sends data in pieces of piece_size bytes, pausing pause_ms between them
  // with TCP_NODELAY set, so that the receiver sees separate segments.
  ScriptedPeer& SendInPieces(const Bytes& data, size_t piece_size, int pause_ms);
  // The same with explicit piece sizes; bytes left over form a last piece.
  ScriptedPeer& SendInPieces(const Bytes& data, std::vector<size_t> piece_sizes,
                             int pause_ms);
  ScriptedPeer& Sleep(int milliseconds);
  // Closes the current connection (the other side reads end of stream).
  ScriptedPeer& Close();
  // Shuts down the sending direction only; reading goes on.
  ScriptedPeer& HalfClose();
  // Ends the script here: holds every connection open, never answers, and
  // records what arrives until destruction. Steps after it do not run.
  ScriptedPeer& GoSilent();
  // Accepts another connection on the listener (within the step timeout);
  // it becomes the current one, earlier ones stay open.
  ScriptedPeer& AcceptNext();
  // Runs fn on the peer's thread (e.g. to connect somewhere or to signal).
  ScriptedPeer& Call(std::function<void()> fn);

  // Starts the peer's thread; the listener already exists before this.
  void Start();
  // Waits until the script has ended (every step run, or one failed).
  bool WaitDone(int timeout_ms);
  // Problems so far; "" when everything went as scripted.
  std::string Error() const;
  // Every byte received, over all connections, in arrival order.
  std::string Received() const;
  // Bytes received on connection index (0: the first one).
  std::string ReceivedOn(size_t index) const;
  int ConnectionCount() const;
  // Remote address of connection index ({} if none).
  Endpoint PeerOf(size_t index) const;

  const char* host() const { return LoopbackHost(family_); }
  int port() const { return port_; }
  Endpoint endpoint() const { return Endpoint{host(), port_}; }
  int timeout_ms() const { return timeout_ms_; }
  void set_timeout_ms(int timeout_ms) { timeout_ms_ = timeout_ms; }

 private:
  enum class StepKind {
    kExpect, kRead, kReadUntil, kExpectClosed, kSend, kSendInPieces, kSleep,
    kClose, kHalfClose, kGoSilent, kAcceptNext, kCall
  };
  struct Step {
    StepKind kind = StepKind::kSleep;
    std::string bytes{};
    size_t count = 0;
    std::vector<size_t> pieces{};
    int timeout_ms = -1;
    int pause_ms = 0;
    std::function<void()> fn{};
  };
  struct Connection {
    UniqueFd fd;
    Endpoint peer;
    std::string received;  // guarded by mutex_: every byte that arrived
    std::string buffered;  // arrived, not yet consumed by a step
    bool input_ended = false;
  };

  ScriptedPeer& Add(Step step);
  void Run();
  // Runs one step on the current connection; false (after Fail) on failure.
  bool RunStep(const Step& step);
  bool Connect();
  bool AcceptOne(int timeout_ms);
  // One receive on c within timeout_ms: >0 bytes added to c.buffered (and
  // the record), 0 at end of stream, -1 on timeout, stop or error (*why).
  long ReadSome(Connection& c, int timeout_ms, std::string* why);
  // Records what arrives on every open connection until the peer stops.
  void Hold();
  bool PauseFor(int milliseconds);
  void Fail(const std::string& what);
  void Finish();
  int StepTimeout(const Step& step) const;
  Connection* current();

  Family family_ = Family::kIPv4;
  std::string connect_host_;
  int connect_port_ = 0;
  std::string source_host_;
  UniqueFd listener_;
  int port_ = 0;
  int timeout_ms_ = kDefaultWaitMs;
  std::vector<Step> steps_;
  StopSignal stop_;
  std::thread thread_;

  mutable std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  std::string error_;
  // The list is changed only by the peer's thread, under mutex_.
  std::vector<std::unique_ptr<Connection>> connections_;
  std::string received_all_;
  size_t current_ = 0;
  size_t step_number_ = 0;  // 1-based number of the running step
};

}  // namespace zud::test
