// TBlockSocket: one platform socket handle behind synchronous operations that
// record their outcome on the object (LastErrorCode / LastErrorText), report
// progress through optional hooks and, only when RaiseExcept is set, throw
// EZudiravError. Protocol code never calls the platform directly.
//
// Threads: one object is used by one thread at a time; the class takes no
// locks. StopFlag is the only member another thread may touch while an
// operation runs.
//
// Extension: subclasses replace the virtual operations (declared below in
// their slot order). Everything above the raw layer reaches SendBytes,
// ReceiveRaw, PendingByteCount and WaitReadable through virtual dispatch, so
// replacing those changes every send, receive and wait at once.
//
// Units: timeouts in ms (-1 no limit, 0 look only), bandwidth in bytes per
// second (0 unlimited). Integers on the wire are 4 bytes, least significant
// first, unless an operation says network order.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "util/api.h"
#include "util/bytebuffer.h"
#include "util/sockapi.h"

namespace ZUD_API zud {

class TBlockSocket;
class TStream;

enum TSocketFamily : uint8_t { SF_Any = 0, SF_IP4 = 1, SF_IP6 = 2 };

// The platform address family for a TSocketFamily (kAfUnspec for SF_Any).
int FamilyToAddressFamily(TSocketFamily family);

// Status reasons, in report order of a typical life; see ReportStatus callers.
enum THookSocketReason : uint8_t {
  SR_ResolveStart,   // "host:port" as passed
  SR_ResolveDone,    // "ip:port" of the result (also on failure)
  SR_SocketCreated,  // "IPv4" or "IPv6"
  SR_SocketClosed,   // ""
  SR_Bound,          // "host:port" as passed, after any SR_Error
  SR_Connected,      // "host:port" as passed, after any SR_Error
  SR_ReadReady,      // ""
  SR_WriteReady,     // ""
  SR_Listening,      // ""
  SR_Accepted,       // ""
  SR_BytesRead,      // byte count
  SR_BytesWritten,   // byte count
  SR_Throttled,      // wait in ms
  SR_Error,          // "code,text"
};

using THookSocketStatus =
    std::function<void(TBlockSocket& sender, THookSocketReason reason, const std::string& value)>;
// May shorten or change the received bytes; longer results are cut back.
using THookDataFilter = std::function<void(TBlockSocket& sender, std::string& value)>;
using THookCreateSocket = std::function<void(TBlockSocket& sender)>;
// Sees every buffer before it is sent (writing) and after it was received.
using THookMonitor =
    std::function<void(TBlockSocket& sender, bool writing, const void* buffer, int length)>;
using THookHeartbeat = std::function<void(TBlockSocket& sender)>;

enum TSocketOptionKind : uint8_t {
  OT_Linger,                // SO_LINGER, Value ms (whole seconds used)
  OT_ReceiveBufferSize,     // SO_RCVBUF
  OT_SendBufferSize,        // SO_SNDBUF
  OT_NonBlocking,           // FIONBIO; also sets NonBlocking
  OT_ReceiveTimeout,        // SO_RCVTIMEO, ms
  OT_SendTimeout,           // SO_SNDTIMEO, ms
  OT_ReuseAddress,          // SO_REUSEADDR from Enabled
  OT_TimeToLive,            // IP_TTL, or IPV6_UNICAST_HOPS on an IPv6 socket
  OT_Broadcast,             // SO_BROADCAST from Enabled
  OT_MulticastTimeToLive,   // IP_MULTICAST_TTL / IPV6_MULTICAST_HOPS
  OT_MulticastLoopback,     // IP_MULTICAST_LOOP / IPV6_MULTICAST_LOOP from Enabled
  // TCP keep-alive probes from Enabled. Value: seconds of idle time before the
  // first probe (0 or less: 60; at most 32767, the largest Linux takes); then
  // one probe every Value / 4 s (at least 1 s) until the peer answers or is
  // given up. Keeps a NAT router from dropping an idle control connection.
  OT_KeepAlive,
  // TCP_NODELAY from Enabled: small writes go out at once instead of waiting
  // for the peer to acknowledge earlier ones (see NoDelay).
  OT_NoDelay,
};

// What kind of failure LastErrorCode stands for, where one code covers
// several (10091 is a proxy refusal or a TLS failure, 10053 a stop request
// or an aborted connection).
enum class TFailureKind : uint8_t {
  None,                 // no failure recorded
  Socket,               // a platform or socket error: LastErrorCode says which
  Timeout,              // a wait ran out (10060)
  Stopped,              // StopFlag ended the operation (10053)
  ProxyLoginRefused,    // the SOCKS proxy refused the login or every method offered
  ProxyConnectRefused,  // the SOCKS proxy refused the request (or it could not be made)
  ProxyProtocol,        // the SOCKS proxy's answer broke the protocol
  TunnelRefused,        // the HTTP proxy did not open the CONNECT tunnel
  TunnelAuthRequired,   // ... because it wants a login (407)
  TLSHandshake,         // the TLS handshake failed
  TLSCertificate,       // the TLS peer's certificate was not accepted
  TLSSession,           // TLS failed after the handshake
};

// A socket option waiting for (or applied to) a handle.
struct TSocketOption {
  TSocketOptionKind Kind = OT_Linger;
  bool Enabled = false;
  int32_t Value = 0;
};

// Raised by ReportLastError when RaiseExcept is set. what() is
// "Zudirav TCP/IP Socket error <code>: <text>".
class EZudiravError : public std::runtime_error {
 public:
  EZudiravError(int error_code, const std::string& error_message);
  // A fully given message (start-up failures use this form).
  EZudiravError(const std::string& message, int error_code, const std::string& error_message);

  int ErrorCode = 0;
  std::string ErrorMessage;
};

class TBlockSocket {
 public:
  // Neither form loads the socket interface (that is done once per process);
  // the library name is ignored.
  TBlockSocket();
  explicit TBlockSocket(const std::string& library_name);
  // Closes the handle without any report (hooks may point at objects already
  // gone); never throws, never touches the recorded error. A subclass with
  // its own close sequence runs it in its own destructor.
  virtual ~TBlockSocket();
  TBlockSocket(const TBlockSocket&) = delete;
  TBlockSocket& operator=(const TBlockSocket&) = delete;

  // ---- Hooks (optional; called synchronously on the calling thread) --------
  THookSocketStatus OnStatus;
  THookDataFilter OnReadFilter;
  THookCreateSocket OnCreateSocket;
  THookMonitor OnMonitor;
  THookHeartbeat OnHeartbeat;

  // ---- Settings (plain fields) ---------------------------------------------
  int32_t Tag = 0;                  // free for the user
  bool RaiseExcept = false;         // throw EZudiravError on each reported error
  int32_t MaxLineLength = 0;        // longest accumulated line, 0 = no limit
  int32_t MaxSendBandwidth = 0;     // bytes/s, 0 = no limit
  int32_t MaxRecvBandwidth = 0;     // bytes/s, 0 = no limit
  bool ConvertLineEnd = false;      // lines may end in CR LF, LF CR, CR or LF
  bool PreferIP4 = true;            // try IPv4 first when the family is open
  bool InterPacketTimeout = true;   // timeouts per packet, not per operation
  int32_t SendMaxChunk = 65536;     // largest piece per send; stream piece size
  std::atomic<bool> StopFlag{false};  // abandon the current transfer or wait
  int32_t NonblockSendTimeout = 15000;  // ms to wait after "would block"
  int32_t HeartbeatRate = 0;        // ms between OnHeartbeat calls in waits
  // Longest wait of ConnectTo for the peer's answer, ms. 0: the platform's
  // own limit (minutes on Linux). Else the connect runs non-blocking and
  // gives up with 10060 once this much time passed; the wait goes in
  // HeartbeatRate slices, and StopFlag ends it (10053) like other waits.
  int32_t ConnectTimeout = 0;
  // The pause DiscardPending makes first, so that bytes still on their way
  // are dropped too. A caller that reads every reply in step may set 0: on
  // many small transfers the pauses add up to most of the time.
  int32_t DiscardPauseMs = 1;
  // TCP_NODELAY on every stream handle this socket creates or adopts. A
  // protocol that waits for an answer after each small write (a command, a
  // TLS close_notify) otherwise waits for the peer's delayed acknowledgement
  // too, up to 40 ms on Linux, 200 ms on Windows. Off by default; the FTP
  // client turns it on for both of its connections.
  bool NoDelay = false;
  void* Owner = nullptr;            // the object using this socket; never read

  // Sets MaxSendBandwidth and MaxRecvBandwidth.
  void SetMaxBandwidth(int32_t bytes_per_second);
  TSocketFamily Family() const { return family_; }
  void SetFamily(TSocketFamily value) { ChangeFamily(value); }

  // ---- Read-only state ------------------------------------------------------
  TSocketHandle Handle() const { return handle_; }
  int LastErrorCode() const { return last_error_code_; }
  const std::string& LastErrorText() const { return last_error_text_; }
  // Recorded with LastErrorCode and cleared with it.
  TFailureKind LastErrorKind() const { return last_error_kind_; }
  const TSocketAddress& LocalAddress() const { return local_address_; }
  const TSocketAddress& RemoteAddress() const { return remote_address_; }
  // Bytes received but not yet handed out.
  std::string_view LineBuffer() const {
    return std::string_view(line_buffer_.data() + line_pos_, line_end_ - line_pos_);
  }
  bool NonBlocking() const { return non_blocking_; }
  uint32_t NextSendTime() const { return next_send_time_; }
  uint32_t NextReceiveTime() const { return next_receive_time_; }
  bool SawCR() const { return saw_cr_; }
  bool SawLF() const { return saw_lf_; }
  bool Bound() const { return bound_; }
  TSocketFamily SavedFamily() const { return saved_family_; }
  bool UsesIPv6() const { return uses_ipv6_; }
  // Options waiting for a handle, in the order they will be applied.
  const std::vector<TSocketOption>& QueuedOptions() const { return queued_options_; }
  const TSelectSet& ReadySet() const { return ready_set_; }
  // Since the handle was created or adopted (64-bit: transfers can pass 2 GiB).
  int64_t BytesReceived() const { return bytes_received_; }
  int64_t BytesSent() const { return bytes_sent_; }

  // ---- Virtual operations, in slot order ------------------------------------
  // Setter of Family: also saved as the family restored on close.
  virtual void ChangeFamily(TSocketFamily value);
  // Takes ownership of a connected handle (the previous one is not closed);
  // refreshes both addresses; reports nothing.
  virtual void AdoptHandle(TSocketHandle new_handle);
  // Sends the rest of stream in SendMaxChunk pieces, optionally behind a
  // 4-byte count (little-endian, or network order); stops at the first error.
  virtual void SendStreamData(TStream& stream, bool with_length, bool big_endian_length);
  // One wait for readability; records a failure, reports nothing.
  virtual bool PollReadable(int32_t timeout);
  // In TBlockSocket the same as CloseAtOnce.
  virtual void Close();
  // Closes the handle, drops queued options, restores Family, reports
  // SR_SocketClosed (also without a handle). Keeps LineBuffer and the error.
  virtual void CloseAtOnce();
  // Resolves, creates the handle if needed and connects, within
  // ConnectTimeout when it is set. A failed connect leaves the handle open
  // (Close before trying again). Reports SR_ResolveStart/Done, [SR_Error,]
  // SR_Connected.
  virtual void ConnectTo(const std::string& host, const std::string& port);
  // listen() with the platform's largest backlog; reports SR_Listening.
  virtual void StartListening();
  // Accepts one connection into a new handle (returned; -1 with the error
  // recorded on failure); RemoteAddress becomes the peer. Reports SR_Accepted.
  virtual TSocketHandle AcceptConnection();
  // Sends in pieces of SendMaxChunk, throttled; returns the bytes sent, also
  // when an error ended the loop. 10053 when StopFlag was set.
  virtual int SendBytes(const void* buffer, int length);
  virtual int SendOneByte(uint8_t value);
  virtual void SendText(std::string_view text);
  // 4 bytes, least significant first.
  virtual int SendInt32(int32_t value);
  // 4-byte little-endian length, then the text, in one send.
  virtual void SendLengthPrefixed(std::string_view text);
  virtual void SendStreamPlain(TStream& stream);
  // Nothing at all (no prefix) when the stream has no bytes left.
  virtual void SendStreamWithLength(TStream& stream);
  virtual void SendStreamWithNetLength(TStream& stream);
  // One platform receive, no waiting, bypassing LineBuffer. Returns the count
  // after OnReadFilter, 0 when the peer closed (10054), -1 on an error.
  virtual int ReceiveRaw(void* buffer, int length);
  // Exactly length bytes (less on error); surplus stays in LineBuffer.
  virtual int ReceiveExact(void* buffer, int length, int32_t timeout);
  // "" on any error (what arrived is dropped).
  virtual std::string ReceiveExactText(int length, int32_t timeout);
  // 0 on error.
  virtual uint8_t ReceiveOneByte(int32_t timeout);
  virtual int32_t ReceiveInt32(int32_t timeout);
  // One line without its CR LF (any line end with ConvertLineEnd); "" on error.
  virtual std::string ReceiveLine(int32_t timeout);
  // Bytes before terminator; on error "" with the partial data kept in
  // LineBuffer (10060 timeout, 10055 past MaxLineLength, 10054 peer closed).
  virtual std::string ReceiveUntil(int32_t timeout, std::string_view terminator);
  // LineBuffer if it holds anything, else the first packet within timeout
  // (10060 when none came, 10054 when the peer closed). The other receives
  // share its packet reader in place; to change how packets are read,
  // replace PendingByteCount, ReceiveRaw or WaitReadable.
  virtual std::string ReceiveAvailable(int32_t timeout);
  virtual std::string ReceiveLengthPrefixed(int32_t timeout);
  // Writes every packet to stream until an error; always ends with one
  // (10054 when the peer closed: the normal end).
  virtual void ReceiveStreamToEnd(TStream& stream, int32_t timeout);
  virtual void ReceiveStreamWithLength(TStream& stream, int32_t timeout);
  virtual void ReceiveStreamWithNetLength(TStream& stream, int32_t timeout);
  // recv with MSG_PEEK; ignores LineBuffer, limiter, StopFlag and filter.
  virtual int PeekBytes(void* buffer, int length);
  virtual uint8_t PeekOneByte(int32_t timeout);
  // Bytes the platform holds (at most 65536); 0 on failure.
  virtual int PendingByteCount();
  // Records the platform error when value is -1; returns LastErrorCode.
  virtual int CheckResult(int value);
  virtual std::string LocalAddressText() const;
  virtual std::string RemoteAddressText() const;
  virtual int LocalPortNumber() const;
  virtual int RemotePortNumber() const;
  // Waits for readability in HeartbeatRate slices; StopFlag ends it (10053).
  // Reports SR_ReadReady on success.
  virtual bool WaitReadable(int32_t timeout);
  // True at once (no report) while LineBuffer holds data.
  virtual bool WaitReadableOrBuffered(int32_t timeout);
  // Reports SR_WriteReady on success.
  virtual bool WaitWritable(int32_t timeout);
  // One datagram to RemoteAddress; the platform result.
  virtual int SendDatagram(const void* buffer, int length);
  // One datagram; RemoteAddress becomes the sender; the platform result.
  virtual int ReceiveDatagram(void* buffer, int length);
  // Socket type and protocol for creation and resolution; 0 here.
  virtual int SocketKind() const;
  virtual int SocketProtocolNumber() const;
  // Text of LastErrorCode (a failure's own text where one was given).
  virtual std::string GetErrorDescEx() const;

  // ---- Handle life ------------------------------------------------------------
  // Resolves, creates the handle if needed and binds. On a fresh SF_Any
  // object, "0.0.0.0" with "0" does nothing at all.
  void BindTo(const std::string& host, const std::string& port);

  // ---- Options ------------------------------------------------------------------
  void ConfigureLinger(bool enable, int32_t milliseconds);
  // Applied at once on a live handle, else queued until one is created.
  void QueueOption(const TSocketOption& option);
  // The platform call of the option; its result is ignored.
  void ApplyOption(const TSocketOption& option);

  // ---- Addresses and names --------------------------------------------------
  static std::string AddressText(const TSocketAddress& address);
  static int AddressPort(const TSocketAddress& address);
  void RefreshLocalAddress();
  void RefreshRemoteAddress();
  void RefreshAddresses();
  // This machine's name, "127.0.0.1" when the platform gives none.
  std::string LocalMachineName() const;
  // Numeric IP texts of name for Family; never empty ("0.0.0.0").
  void ResolveNameToList(std::string_view name, std::vector<std::string>& list) const;
  std::string ResolveNameFirst(std::string_view name) const;
  uint16_t ResolvePortNumber(std::string_view port) const;

  // ---- Receive helpers ----------------------------------------------------------
  // Size bytes in SendMaxChunk pieces, each written as it arrives.
  void ReceiveStreamOfSize(TStream& stream, int32_t timeout, int64_t size);
  // Pauses DiscardPauseMs, then drops everything already received (at most
  // 4 MiB, so that a flooding peer cannot hold the caller); never leaves an
  // error behind.
  void DiscardPending();

  // ---- Errors -----------------------------------------------------------------
  void ClearLastError();

 protected:
  // Records a code set by the socket itself (text from GetErrorDescEx);
  // its kind is Timeout for 10060, else Socket.
  void SetLastErrorCode(int code);
  // Records a code of a given kind; a non-empty text replaces the code's own
  // (GetErrorDescEx gives it while this failure stands).
  void SetFailure(int code, TFailureKind kind, std::string text = std::string());
  // Fills LastErrorText; reports SR_Error and throws when RaiseExcept is set,
  // except for 0, 10035 and 10036.
  void ReportLastError();
  // First step of every raw transfer: heartbeat, then true (10053 recorded
  // and reported, StopFlag cleared) when a stop was requested.
  bool CheckStopRequest();
  void ReportStatus(THookSocketReason reason, const std::string& value);
  void NotifySocketCreated();
  void ReportTraffic(bool writing, const void* buffer, int length);
  void FireHeartbeat();
  // Runs OnReadFilter over buffer; length may shrink, never grow.
  void FilterReceived(void* buffer, int& length);
  // The bandwidth limiter: sleeps off what is left of the previous transfer's
  // share (SR_Throttled, 250 ms slices, StopFlag ends it), then sets
  // next_time to now + length / limit seconds.
  void ThrottleTransfer(int length, int32_t limit, uint32_t& next_time);
  // ReceiveRaw for a reader whose operation has timeout ms left (-1: no
  // limit); a layer that may wait inside its receive keeps within it.
  virtual int ReceiveRawWithin(void* buffer, int length, int32_t timeout);
  // After a send said "would block": on a non-blocking handle, waits for room
  // and retries send until it takes bytes or fails, NonblockSendTimeout after
  // progress (the tick of the last bytes taken) at most; records 10060 then.
  // On a blocking handle the send timeout ran out already: 10060 at once.
  // Returns send's last result.
  int RetrySendAfterWouldBlock(uint32_t progress, const std::function<int()>& send);

  // Resolution and creation steps shared by bind and connect.
  void FillAddress(TSocketAddress& address, const std::string& host, const std::string& port);
  void CreateHandle(const TSocketAddress& address);
  void ApplyQueuedOptions();
  // OT_NoDelay on a new or adopted stream handle when NoDelay is set.
  void ApplyNoDelay();
  // The connect of ConnectTo with ConnectTimeout set; records its outcome.
  void ConnectWithin(const TSocketAddress& address);

  // Empties LineBuffer.
  void ClearLineBuffer();

  TSocketAddress local_address_;
  TSocketAddress remote_address_;
  bool non_blocking_ = false;
  uint32_t next_send_time_ = 0;
  uint32_t next_receive_time_ = 0;
  bool saw_cr_ = false;
  bool saw_lf_ = false;
  bool bound_ = false;
  TSocketFamily family_ = SF_Any;
  TSocketFamily saved_family_ = SF_Any;
  bool uses_ipv6_ = false;
  TSelectSet ready_set_;
  int64_t bytes_received_ = 0;
  int64_t bytes_sent_ = 0;
  TSocketHandle handle_ = kInvalidSocket;
  int last_error_code_ = 0;
  std::string last_error_text_;
  TFailureKind last_error_kind_ = TFailureKind::None;
  std::string failure_text_;  // SetFailure's own text, "" for the code's

 private:
  // The packet reader behind ReceiveAvailable when LineBuffer is empty: one
  // packet from the platform (waiting up to timeout) appended to LineBuffer,
  // with the line-end repair; records and reports its error.
  void ReadPacketIntoLineBuffer(int32_t timeout);
  // What ReceiveAvailable does with a non-empty LineBuffer, in place.
  void TakeLineBuffer();
  // With ConvertLineEnd: drops the LF (after a lone CR) or CR (after a lone
  // LF) that starts the bytes at offset from, then clears SawCR and SawLF.
  void RepairLineStart(size_t from);
  // Room for n more bytes at the end of LineBuffer; moves the unconsumed
  // bytes to the front rather than growing when that makes room.
  char* ReserveLineTail(size_t n);
  void DropLineByte(size_t offset);
  // ReceiveExact into any sink (a buffer, or a text that grows only as
  // bytes arrive).
  int ReceiveExactTo(int length, int32_t timeout,
                     const std::function<void(const char*, size_t)>& sink);

  // LineBuffer is line_buffer_[line_pos_, line_end_): handing out a line only
  // moves the offset, and the storage is reused for every packet.
  TByteBuffer line_buffer_;
  size_t line_pos_ = 0;
  size_t line_end_ = 0;
  std::vector<TSocketOption> queued_options_;
  TByteBuffer stream_piece_;  // reused by stream sends
};

}  // namespace zud
