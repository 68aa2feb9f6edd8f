// The TLS plug-in on OpenSSL 3: a TCustomSSL for the client side of TLS 1.2
// and 1.3.
//
// It is the default plug-in class of new sockets (BuiltInTLSPluginClass);
// a socket made with another class can still ask for it by name:
//
//   TTCPBlockSocket sock(OpenSSLPluginClass());
//
// What it does with the settings of TCustomSSL:
//   VerifyCert       on by default (unlike the base class): the server's
//                    chain must lead to a trusted certificate and name the
//                    host (or IP address) the connection was made to;
//                    turning it off is the caller's explicit choice.
//   CertCAFile/CertCA  the certificate authorities (PEM file / PEM text)
//                    trusted instead of the system's store.
//   TrustCertificateFile/TrustCertificate  certificates trusted as they are
//                    (a self-signed server certificate, say), in addition.
//   CertificateFile/PrivateKeyFile/KeyPassword  a client certificate.
//   SSLType          LT_all: TLS 1.2 or 1.3; LT_TLSv1_2 / LT_TLSv1_3 only that
//                    version; older protocols and SSH are refused.
//   Ciphers          the OpenSSL cipher list for TLS 1.2.
//   Timeout          the bound of each wait inside a handshake, record or close.
//   SessionShare     the first handshake fills it; later connections with the
//                    same settings and server resume its session. Every
//                    ticket a server sends on any connection of the group is
//                    kept (TLS 1.3 tickets arrive after the handshake; a
//                    close reads those that came); a connection offers the
//                    newest one not offered yet, else the newest again, so
//                    that servers with single-use tickets (a fresh one per
//                    connection) and servers that send none after a
//                    resumption (ProFTPD) both resume every connection.
//                    SessionReused() tells whether the last handshake did.
// PFX, PFXfile, Certificate, PrivateKey and the SSH fields have no effect.
//
// The peer name checked and sent (SNI) is the one given to SetPeerName, else
// the host the owner socket was asked to connect to. CopySettingsFrom another
// OpenSSL plug-in also takes over its peer name, so that a data connection
// made to an address still checks the control connection's host.
//
// The session runs over the owner's handle switched to non-blocking mode;
// every wait goes through the platform layer's poll in slices that honour
// the owner's StopFlag. CloseSession sends close_notify and waits (within
// Timeout) for the peer to end its side too, so that no unread answer makes
// the system reset the connection under data the peer has yet to read; a
// session that the peer ends without close_notify is reported as truncated.
// OpenSSL itself is loaded and initialised at the first handshake, not
// before.
#pragma once

#include <string>

#include "sockets/tlsplugin.h"
#include "util/api.h"

namespace ZUD_API zud {

// Codes in PluginErrorCode besides 0.
enum class TOpenSSLError : int {
  kLibrary = 1,      // OpenSSL cannot be loaded or set up
  kSettings = 2,     // a setting cannot be used (unreadable file, SSLType ...)
  kHandshake = 3,    // the handshake failed (protocol, refused, closed)
  kVerify = 4,       // the certificate was not accepted
  kTimedOut = 5,     // a wait inside the session ran out
  kStopped = 6,      // the owner's StopFlag ended a wait
  kTransport = 7,    // the connection failed under the session
  kTruncated = 8,    // the peer closed without close_notify
  kProtocol = 9,     // any other failure of the session
};

// The class of the OpenSSL plug-in.
TTLSPluginClass OpenSSLPluginClass();

// Whether OpenSSL can be loaded; reason says why not. Loads it (once).
bool OpenSSLAvailable(std::string& reason);

}  // namespace zud
