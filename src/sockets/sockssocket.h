// TSocksBlockSocket: the SOCKS client steps (RFC 1928 SOCKS 5 with the
// RFC 1929 user name and password login, and the SOCKS 4 and 4a request
// forms) on top of TBlockSocket.
//
// This class only runs single steps on a TCP connection that is already open
// to SocksIP:SocksPort; TTCPBlockSocket (tcpsocket.h) decides when they run
// (connect, listen and accept through the proxy) and fills the Bound/Peer
// fields. The steps run in the order NegotiateSocksLogin, SendSocksRequest,
// ReadSocksReply, each only after the previous one returned true.
//
// Failures: every step returns false and raises nothing of its own; a send or
// receive inside a step records its error (and throws under RaiseExcept) as
// every send and receive does. A step that fails without a socket error
// (wrong version byte, refused method, reply code, a field too long for its
// length byte) leaves LastErrorCode at 0; the caller chooses the code, and
// SocksRefusal says which kind of failure it was.
//
// Every answer of a step, however many receives it takes, is bounded by
// SocksTimeout as a whole, whatever InterPacketTimeout says, so a proxy that
// trickles bytes cannot stretch a step beyond it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sockets/blocksocket.h"
#include "util/api.h"

namespace ZUD_API zud {

enum TSocksType : uint8_t { ST_Socks5 = 0, ST_Socks4 = 1 };

// Command bytes of a SOCKS request.
inline constexpr uint8_t SOCKS_CONNECT = 1;  // open a connection to the target
inline constexpr uint8_t SOCKS_BIND = 2;     // open a listening port on the proxy

class TSocksBlockSocket : public TBlockSocket {
 public:
  TSocksBlockSocket() = default;

  // ---- Settings (only read by the steps) -----------------------------------
  std::string SocksIP;               // proxy host; empty: no SOCKS proxy
  std::string SocksPort = "1080";    // proxy port or service
  std::string SocksUsername;         // SOCKS 5 login name; SOCKS 4 user id
  std::string SocksPassword;         // SOCKS 5 login password
  int32_t SocksTimeout = 60000;      // ms, bound of each answer of a step
  bool SocksResolver = true;         // false: resolve host names locally first
  TSocksType SocksType = ST_Socks5;

  // ---- Read-only state --------------------------------------------------------
  // The login step succeeded; kept (also across Close) until the next one.
  bool SocksInUse() const { return socks_in_use_; }
  // Why the last step failed without a socket error: ProxyLoginRefused,
  // ProxyConnectRefused or ProxyProtocol; None after a step that succeeded
  // or failed on a socket error.
  TFailureKind SocksRefusal() const { return socks_refusal_; }
  // Code of the last reply; -1 while awaited or when none could be read.
  int32_t SocksReplyCode() const { return socks_reply_code_; }
  // Address of the last reply: dotted IPv4, IPv6 text or a host name.
  const std::string& SocksReplyIP() const { return socks_reply_ip_; }
  const std::string& SocksReplyPort() const { return socks_reply_port_; }  // decimal
  // Local end of the connection as the proxy reports it.
  const std::string& SocksBoundIP() const { return socks_bound_ip_; }
  const std::string& SocksBoundPort() const { return socks_bound_port_; }
  // Remote end of the connection through the proxy.
  const std::string& SocksPeerIP() const { return socks_peer_ip_; }
  const std::string& SocksPeerPort() const { return socks_peer_port_; }

  // ---- Steps --------------------------------------------------------------------
  // SOCKS 5: sends the greeting 05 01 00 (no user name) or 05 02 02 00, reads
  // the 2-byte choice and, for method 02, sends the login record 01, len,
  // user, len, password and reads its 2-byte answer (second byte 00 = ok).
  // False on a short answer, a version other than 05, method FF or any
  // unknown one, a refused login, and, before anything is sent, a user name
  // or password longer than 255 bytes. SOCKS 4: sends nothing, true.
  // Sets SocksInUse on success, clears it first in every case.
  bool NegotiateSocksLogin();
  // Sends one request in one send: 05 command 00 destination (SOCKS 5) or
  // 04 command destination (SOCKS 4/4a). True when the send left no error;
  // false without sending when the destination cannot be encoded.
  bool SendSocksRequest(uint8_t command, const std::string& host, const std::string& port);
  // Reads one reply (8 bytes for SOCKS 4; 4 + address + 2 for SOCKS 5) and
  // accepts reply code 0 or 90. On success fills SocksReplyIP/Port.
  // SocksReplyCode is -1 when no code could be read, else the code seen.
  bool ReadSocksReply();
  // The destination part of a request for SocksType:
  //   SOCKS 5:  01 + 4 bytes | 04 + 16 bytes | 03 + len + name, then port (BE)
  //   SOCKS 4:  port (BE), 4 address bytes, user id, 00
  //   SOCKS 4a: port (BE), 00 00 00 01, user id, 00, host name, 00
  // With SocksResolver false the host is resolved locally first. Returns ""
  // when the destination cannot be encoded: a SOCKS 5 name longer than 255
  // bytes, or a 0 byte inside a SOCKS 4 user id or 4a host name (which would
  // end the field early on the proxy's side).
  std::string EncodeSocksDestination(const std::string& host, const std::string& port) const;
  // Sets SocksReplyIP and SocksReplyPort from a whole reply of SocksType;
  // the port is "0" and the address left as it is when the reply is too
  // short or of an unknown address type.
  void DecodeSocksAddress(std::string_view reply);

 protected:
  // Written by the connect, listen and accept flows of TTCPBlockSocket.
  std::string socks_bound_ip_;
  std::string socks_bound_port_;
  std::string socks_peer_ip_;
  std::string socks_peer_port_;

 private:
  // Returns false, noting kind unless a socket error explains the failure.
  bool Refuse(TFailureKind kind);

  TFailureKind socks_refusal_ = TFailureKind::None;
  bool socks_in_use_ = false;
  int32_t socks_reply_code_ = 0;
  std::string socks_reply_ip_;
  std::string socks_reply_port_;
};

}  // namespace zud
