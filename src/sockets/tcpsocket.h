// TTCPBlockSocket: the TCP socket the protocol code uses.
//
// Beyond TBlockSocket it
//   - connects directly, through a SOCKS proxy (when SocksIP is set) or
//     through an HTTP proxy's CONNECT tunnel (else when HTTPTunnelIP is set),
//     and listens and accepts through a SOCKS proxy (SOCKS BIND);
//   - calls OnAfterConnect after every connect that ends without error;
//   - owns a TLS plug-in (tlsplugin.h): while it reports an active session,
//     SendBytes, ReceiveRaw and PendingByteCount (and with them every send,
//     receive and wait built on them) go through the plug-in; PeekBytes and
//     the datagram calls stay plain;
//   - reports the addresses the proxy sees while a proxy is in use;
//   - closes in order: TLS session, shutdown of the sending side, drain.
//
// Error codes of its own: 10091 for a refused SOCKS connect, a refused
// tunnel or a TLS failure (handshake, certificate, protocol), 10060 for a
// wait inside a TLS transfer that ran out (with the plug-in's text), 11003
// for a failed SOCKS listen or accept. A connection lost under a TLS session
// (reset, broken, closed without close_notify) keeps the code a plain one
// would get (10054 ...), with the plug-in's text.
// LastErrorKind tells the 10091s apart, and their texts say what happened:
//   ProxyLoginRefused    "SOCKS proxy refused the login"
//   ProxyConnectRefused  "SOCKS proxy refused the connection to HOST:PORT"
//                        (with " (reply N)" when the proxy sent a code)
//   ProxyProtocol        "SOCKS proxy answered out of protocol"
//   TunnelRefused / TunnelAuthRequired (407)
//                        "HTTP proxy refused the tunnel: " + its status,
//                        e.g. "407 Proxy Authentication Required"
//   TLSHandshake, TLSCertificate, TLSSession  the plug-in's own text (or
//                        RecordTLSRefusal's reason)
// Like every socket, it records failures and throws only under RaiseExcept.
// One thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sockets/sockssocket.h"
#include "sockets/tlsplugin.h"
#include "util/api.h"

namespace ZUD_API zud {

class TFileStream;
class TTCPBlockSocket;

using THookAfterConnect = std::function<void(TTCPBlockSocket& sender)>;

class TTCPBlockSocket : public TSocksBlockSocket {
 public:
  // Longest line and most lines read from an HTTP proxy's answer; beyond
  // them the tunnel fails (10055 for a long line, 10091 for many lines).
  static constexpr int32_t kTunnelMaxLineLength = 8192;
  static constexpr int kTunnelMaxLines = 100;

  // The plug-in comes from DefaultTLSPluginClass().
  TTCPBlockSocket();
  // CreateWithPlugin: the plug-in comes from plugin_class (TSSLNone when it
  // is empty or makes nothing).
  explicit TTCPBlockSocket(const TTLSPluginClass& plugin_class);
  // Runs the orderly close without any report and keeps the recorded error;
  // the plug-in is freed after it. Never throws.
  ~TTCPBlockSocket() override;

  // ---- Settings ----------------------------------------------------------------
  std::string HTTPTunnelIP;            // HTTP proxy host; empty: no tunnel
  std::string HTTPTunnelPort;          // HTTP proxy port or service
  std::string HTTPTunnelUser;          // empty: no Proxy-Authorization line
  std::string HTTPTunnelPass;
  int32_t HTTPTunnelTimeout = 30000;   // ms, bound of the whole answer
  THookAfterConnect OnAfterConnect;

  // ---- Read-only state ------------------------------------------------------------
  // Never absent; change its settings through the reference.
  TCustomSSL& TLSPlugin() const { return *tls_plugin_; }
  // The proxy answered the last CONNECT with a 2xx status line.
  bool TunnelEstablished() const { return tunnel_established_; }
  // Host of the last CONNECT request ("[::1]" for IPv6) and its port, decimal.
  const std::string& TunnelPeerIP() const { return tunnel_peer_ip_; }
  const std::string& TunnelPeerPort() const { return tunnel_peer_port_; }
  // The host the last ConnectTo was asked for, as given (also through a
  // proxy): the name a TLS plug-in checks the server's certificate against.
  const std::string& ConnectedHost() const { return connected_host_; }

  // ---- Overrides ---------------------------------------------------------------------
  // Ends a TLS session (without its closing exchange after a timeout: the
  // peer let one wait run out already); unless an error is recorded, shuts
  // the sending side down and drops what the peer still sends; then closes
  // the handle.
  void Close() override;
  // Drops a TLS session without its closing exchange (the handle is going
  // away), then the inherited close.
  void CloseAtOnce() override;
  // Through SOCKS when SocksIP is set, else through the HTTP tunnel when
  // HTTPTunnelIP is set, else directly; then NotifyAfterConnect if no error.
  void ConnectTo(const std::string& host, const std::string& port) override;
  // With SocksIP set: connects to the proxy and asks it to listen for us
  // (SOCKS BIND); LocalAddressText/LocalPortNumber then give the proxy's
  // listening address (SocksIP when it answers 0.0.0.0). Failure without a
  // socket error: 11003. Else the plain listen.
  void StartListening() override;
  // With SocksInUse: reads the proxy's second BIND reply (the remote party
  // connected) and returns Handle() itself, as the proxy connection becomes
  // the accepted one. Failure without a socket error: 11003. Else plain.
  TSocketHandle AcceptConnection() override;
  int SendBytes(const void* buffer, int length) override;
  // A local file (TFileStream) whose bytes nothing needs to see (no OnMonitor
  // hook, no TLS session) goes from the file straight to the socket with the
  // platform's zero-copy send; pieces, SR_BytesWritten reports, the bandwidth
  // limit, StopFlag and errors are those of the plain send. Else plain.
  void SendStreamPlain(TStream& stream) override;
  int ReceiveRaw(void* buffer, int length) override;
  // With a TLS session: each wait inside the plug-in's receive ends within
  // timeout too (when that is below the plug-in's Timeout).
  int ReceiveRawWithin(void* buffer, int length, int32_t timeout) override;
  int PendingByteCount() override;
  // With a TLS session: ready when the session holds plain bytes (or its
  // end), without looking at the handle; records that carry no data (a
  // TLS 1.3 ticket) do not end the wait. Else plain.
  bool WaitReadable(int32_t timeout) override;
  // SOCKS in use: SocksBoundIP / SocksPeerIP / SocksBoundPort /
  // ResolvePortNumber(SocksPeerPort). Else tunnel up: TunnelPeerIP and
  // TunnelPeerPort for the remote end. Else the plain addresses.
  std::string LocalAddressText() const override;
  std::string RemoteAddressText() const override;
  int LocalPortNumber() const override;
  int RemotePortNumber() const override;
  int SocketKind() const override;            // SOCK_STREAM
  int SocketProtocolNumber() const override;  // TCP
  // The plug-in's error text for 10091 when the plug-in has an error.
  std::string GetErrorDescEx() const override;

  // ---- Own operations --------------------------------------------------------------
  // Connects to SocksIP:SocksPort, then login, CONNECT request and reply.
  // Fills SocksBound*/SocksPeer* (peer: host and port as given). Reports
  // SR_Connected with host:port.
  void ConnectThroughSocks(const std::string& host, const std::string& port);
  // Connects to HTTPTunnelIP:HTTPTunnelPort and sends
  //   "CONNECT host:port HTTP/1.0" CR LF
  //   ["Proxy-Authorization: Basic " base64(user:pass) CR LF]
  //   CR LF
  // (IPv6 hosts in brackets, the port resolved locally to a number), then
  // reads the answer header up to the empty line. 10091 unless a status line
  // begins with 2; a read error (10060 timeout, 10054 closed) stays as it is.
  // The proxy's answer body, if any, is left for the caller to read.
  void ConnectThroughHTTPTunnel(const std::string& host, const std::string& port);
  // Calls OnAfterConnect with this socket, when assigned.
  void NotifyAfterConnect();
  // Runs the plug-in's client handshake; 10091 with the plug-in's text when
  // it fails (always, with TSSLNone).
  void StartClientTLS();
  // Records and reports 10091 (kind TLSSession) with reason as its text: for
  // a protocol that learns from its peer that the session was refused after
  // the handshake (an FTP server refusing a data connection that did not
  // resume the control connection's session).
  void RecordTLSRefusal(const std::string& reason);

 private:
  // The SOCKS forms of StartListening and AcceptConnection.
  void StartListeningThroughSocks();
  TSocketHandle AcceptThroughSocks();
  // The zero-copy form of SendStreamPlain; false, with nothing sent and no
  // error left, when the platform cannot send from this file.
  bool SendFileDirectly(TFileStream& file);
  // Whether traffic goes through the plug-in now.
  bool TLSActive() const { return tls_plugin_ && tls_plugin_->SessionActive(); }
  // Record 10091 for a plug-in failure (described in the plug-in's words),
  // or a proxy failure code (described by the general table).
  void SetPluginFailure(TFailureKind kind);
  void SetProxyFailure(int code, TFailureKind kind, std::string text = std::string());
  // The tunnel's request and answer; the connection to the proxy is open.
  void RequestTunnel(const std::string& target, const std::string& port);

  std::unique_ptr<TCustomSSL> tls_plugin_;
  // A plug-in call failed: 10053 when the StopFlag ended it, else 10091.
  void SetPluginCallFailure();

  bool failure_from_plugin_ = false;
  std::string connected_host_;
  bool tunnel_established_ = false;
  std::string tunnel_peer_ip_;
  std::string tunnel_peer_port_;
  // The proxy's status line after "HTTP/x.y ", "" when none came.
  std::string tunnel_status_;
};

}  // namespace zud
