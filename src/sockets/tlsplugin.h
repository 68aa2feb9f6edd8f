// The TLS plug-in seam of TTCPBlockSocket.
//
// TCustomSSL is the interface a TLS implementation fills in; every socket
// owns exactly one plug-in, made for it by a plug-in class (a factory) when
// the socket is constructed. Two plug-ins come with the library: the OpenSSL
// one (tls_openssl.h), which new sockets get by default, and TSSLNone, which
// refuses every TLS operation ("SSL/TLS support is not compiled!") so that
// all traffic stays plain TCP.
//
// What the socket relies on (and calls nothing else):
//   ClientHandshake  runs the client handshake over OwnerSocket().Handle();
//                    true and SessionActive() on success, else false with
//                    PluginErrorCode() != 0 and a readable PluginErrorText().
//   SendData         takes at least 1 byte per call, or sets an error.
//   ReceiveData      up to length plain bytes, blocking like recv; 0 means
//                    the peer ended the session; an error sets the code.
//   PendingBytes     plain bytes readable at once without waiting; 0 if none.
//   CloseSession     ends the session and clears SessionActive().
// After every SendData and ReceiveData the socket treats any non-zero
// PluginErrorCode() as a failure of that call (its own code 10091, or the
// LostConnectionCode() of a connection lost under the session), so a
// plug-in leaves the code at 0 after a call that succeeds.
//
// The remaining operations (SetPeerName, ServerHandshake, AbortSession, the
// library texts and the session queries) are offered to implementations and
// tools; nothing in this program calls them.
//
// A plug-in serves one socket, on that socket's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "util/api.h"

namespace ZUD_API zud {

class TTCPBlockSocket;

// LT_all: whatever both sides support (a real plug-in sets its own floor);
// LT_TLSv1_2 and LT_TLSv1_3 ask for exactly that version.
enum TSSLType : uint8_t {
  LT_all, LT_SSLv2, LT_SSLv3, LT_TLSv1, LT_TLSv1_1, LT_SSHv2, LT_TLSv1_2, LT_TLSv1_3
};

// State that the plug-ins of connections belonging together share, such as
// an FTP control connection and its data connections: a plug-in keeps in it
// what it needs to resume the session on the next connection (servers may
// refuse a data connection that does not resume the control connection's
// session). Only the plug-in that made it looks inside; everyone else just
// passes it on (CopySettingsFrom does).
class TTLSSessionShare {
 public:
  virtual ~TTLSSessionShare() = default;
};

class TCustomSSL {
 public:
  // Makes a plug-in for one socket; the plug-in never outlives it.
  explicit TCustomSSL(TTCPBlockSocket& owner) : owner_(owner) {}
  virtual ~TCustomSSL() = default;
  TCustomSSL(const TCustomSSL&) = delete;
  TCustomSSL& operator=(const TCustomSSL&) = delete;

  // ---- Settings (stored here; only a real implementation uses them) --------
  TSSLType SSLType = LT_all;
  std::string KeyPassword;
  std::string Username;
  std::string Password;
  std::string Ciphers;
  std::string CertificateFile;
  std::string PrivateKeyFile;
  std::string Certificate;
  std::string PrivateKey;
  std::string PFX;
  std::string PFXfile;
  std::string TrustCertificateFile;
  std::string TrustCertificate;
  std::string CertCA;
  std::string CertCAFile;
  bool VerifyCert = false;
  std::string SSHChannelType;
  std::string SSHChannelArg1;
  std::string SSHChannelArg2;
  // Bound of each wait inside a TLS operation in ms (-1: none): a peer that
  // stalls in the middle of a handshake, a record or a close cannot hold the
  // socket for ever. The owner's StopFlag ends such waits too.
  int32_t Timeout = 30000;
  // Empty until a handshake fills it; copied by CopySettingsFrom, so that
  // later connections resume the session.
  std::shared_ptr<TTLSSessionShare> SessionShare;

  // ---- Read-only state (changed only by the plug-in itself) ---------------
  TTCPBlockSocket& OwnerSocket() const { return owner_; }
  bool SessionActive() const { return session_active_; }
  // 0 for none, -1 for "not supported"; kept until the plug-in changes it.
  int32_t PluginErrorCode() const { return error_.code; }
  const std::string& PluginErrorText() const { return error_.text; }
  // Whether the recorded error is a wait that ran out (the owner then
  // reports a timeout, 10060, rather than a TLS failure).
  bool PluginTimedOut() const { return error_.timed_out; }
  // The socket code (10054, 10053 ...) when the recorded error is the
  // connection lost under the session: reset, broken, or closed by the peer
  // without the session's own end. The owner then reports that code, as on
  // a plain connection, rather than a TLS failure. 0 for any other error.
  int32_t LostConnectionCode() const { return error_.lost_connection; }

  // ---- Operations, with what this base class answers ------------------------
  // Names the peer the session is meant for (certificate name check, server
  // name indication). Base: false, no error.
  virtual bool SetPeerName(const std::string& name);
  // Copies every setting except the three SSH fields (and never the state);
  // Timeout and SessionShare are settings.
  virtual void CopySettingsFrom(const TCustomSSL& other);
  virtual std::string LibraryVersion() const;  // base: ""
  virtual std::string LibraryName() const;     // base: ""
  // Base: not supported (PluginErrorCode -1), false.
  virtual bool ClientHandshake();
  virtual bool ServerHandshake();
  virtual bool CloseSession();
  // Ends the session without the closing exchange. Base: not supported, false.
  virtual bool AbortSession();
  // Base: not supported, -1.
  virtual int SendData(const void* buffer, int length);
  virtual int ReceiveData(void* buffer, int length);
  // Base: not supported, 0.
  virtual int PendingBytes();
  // Session queries; base: "" each, no error.
  virtual std::string SessionProtocol() const;   // e.g. "TLSv1.3"
  virtual std::string PeerSubject() const;
  virtual std::string PeerIssuer() const;
  virtual std::string PeerName() const;          // the peer certificate's name
  virtual std::string PeerSerialNumber() const;
  virtual std::string PeerFingerprint() const;
  virtual std::string CipherName() const;
  // Base: 0 each.
  virtual int CipherBits() const;
  virtual int CipherAlgorithmBits() const;
  // Outcome of checking the peer certificate, 0 = verified. Base: 1.
  virtual int VerifyResult() const;
  // Whether the recorded error is the peer's certificate being refused (the
  // owner then reports a certificate failure rather than a handshake one).
  // Base: false.
  virtual bool CertificateRejected() const;
  // Whether the last handshake resumed an earlier session (false after one
  // that failed; kept after the session ends). Base: false.
  virtual bool SessionReused() const;

 protected:
  // What the read-only error state above holds, kept and put back whole.
  struct TPluginError {
    int32_t code = 0;
    std::string text;
    bool timed_out = false;
    int32_t lost_connection = 0;
  };
  // PluginErrorCode -1, PluginErrorText "SSL/TLS support is not compiled!".
  void ReportNotSupported();
  const TPluginError& PluginError() const { return error_; }
  void SetPluginError(TPluginError error);
  void SetPluginError(int32_t code, const std::string& text, bool timed_out = false) {
    SetPluginError(TPluginError{code, text, timed_out, 0});
  }
  void ClearPluginError() { SetPluginError(TPluginError{}); }
  void SetSessionActive(bool active) { session_active_ = active; }

 private:
  TTCPBlockSocket& owner_;
  bool session_active_ = false;
  TPluginError error_;
};

// The plug-in that offers no TLS: LibraryName "ssl_none", LibraryVersion
// "Without SSL support", every TLS operation refused as in TCustomSSL.
class TSSLNone : public TCustomSSL {
 public:
  using TCustomSSL::TCustomSSL;
  std::string LibraryVersion() const override;
  std::string LibraryName() const override;
};

// A plug-in class: makes the plug-in of one socket.
using TTLSPluginClass = std::function<std::unique_ptr<TCustomSSL>(TTCPBlockSocket& owner)>;

// The plug-in class of type T (a TCustomSSL with a constructor from the owner).
template <typename T>
TTLSPluginClass PluginClassOf() {
  return [](TTCPBlockSocket& owner) -> std::unique_ptr<TCustomSSL> {
    return std::make_unique<T>(owner);
  };
}

// The class the process starts with: the OpenSSL plug-in (a build without
// it would give TSSLNone). OpenSSL is loaded at the first handshake; when it
// cannot be, that handshake fails with a text saying why.
TTLSPluginClass BuiltInTLSPluginClass();
// The process-wide class that TTCPBlockSocket() makes its plug-in with;
// BuiltInTLSPluginClass() from process start. Replace it before any socket
// is made (it is read without a lock); an empty class sets TSSLNone (no TLS
// at all).
const TTLSPluginClass& DefaultTLSPluginClass();
void SetDefaultTLSPluginClass(TTLSPluginClass plugin_class);

}  // namespace zud
