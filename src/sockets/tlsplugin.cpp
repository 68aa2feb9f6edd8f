// TCustomSSL's base answers, TSSLNone and the process-wide plug-in class.
#include "sockets/tlsplugin.h"

#include <utility>

#include "sockets/tls_openssl.h"

namespace zud {

namespace {

constexpr int32_t kNotSupported = -1;

TTLSPluginClass& DefaultClassStorage() {
  static TTLSPluginClass plugin_class = BuiltInTLSPluginClass();
  return plugin_class;
}

}  // namespace

bool TCustomSSL::SetPeerName(const std::string& /*name*/) { return false; }

void TCustomSSL::CopySettingsFrom(const TCustomSSL& other) {
  // The SSH channel fields describe one channel, not the connection's
  // security, so they stay with their own socket.
  Username = other.Username;
  Password = other.Password;
  VerifyCert = other.VerifyCert;
  SSLType = other.SSLType;
  KeyPassword = other.KeyPassword;
  Ciphers = other.Ciphers;
  CertificateFile = other.CertificateFile;
  PrivateKeyFile = other.PrivateKeyFile;
  CertCAFile = other.CertCAFile;
  CertCA = other.CertCA;
  TrustCertificate = other.TrustCertificate;
  TrustCertificateFile = other.TrustCertificateFile;
  Certificate = other.Certificate;
  PrivateKey = other.PrivateKey;
  PFX = other.PFX;
  PFXfile = other.PFXfile;
  Timeout = other.Timeout;
  SessionShare = other.SessionShare;
}

std::string TCustomSSL::LibraryVersion() const { return std::string(); }
std::string TCustomSSL::LibraryName() const { return std::string(); }

bool TCustomSSL::ClientHandshake() {
  ReportNotSupported();
  return false;
}

bool TCustomSSL::ServerHandshake() {
  ReportNotSupported();
  return false;
}

bool TCustomSSL::CloseSession() {
  ReportNotSupported();
  return false;
}

bool TCustomSSL::AbortSession() {
  ReportNotSupported();
  return false;
}

int TCustomSSL::SendData(const void* /*buffer*/, int /*length*/) {
  ReportNotSupported();
  return -1;
}

int TCustomSSL::ReceiveData(void* /*buffer*/, int /*length*/) {
  ReportNotSupported();
  return -1;
}

int TCustomSSL::PendingBytes() {
  ReportNotSupported();
  return 0;
}

std::string TCustomSSL::SessionProtocol() const { return std::string(); }
bool TCustomSSL::SessionReused() const { return false; }
std::string TCustomSSL::PeerSubject() const { return std::string(); }
std::string TCustomSSL::PeerIssuer() const { return std::string(); }
std::string TCustomSSL::PeerName() const { return std::string(); }
std::string TCustomSSL::PeerSerialNumber() const { return std::string(); }
std::string TCustomSSL::PeerFingerprint() const { return std::string(); }
std::string TCustomSSL::CipherName() const { return std::string(); }
int TCustomSSL::CipherBits() const { return 0; }
int TCustomSSL::CipherAlgorithmBits() const { return 0; }
int TCustomSSL::VerifyResult() const { return 1; }

void TCustomSSL::ReportNotSupported() {
  SetPluginError(kNotSupported, "SSL/TLS support is not compiled!");
}

void TCustomSSL::SetPluginError(TPluginError error) {
  // Nothing but an error can have timed out or lost the connection.
  if (error.code == 0) error = TPluginError{};
  error_ = std::move(error);
}

bool TCustomSSL::CertificateRejected() const { return false; }

std::string TSSLNone::LibraryVersion() const { return "Without SSL support"; }
std::string TSSLNone::LibraryName() const { return "ssl_none"; }

TTLSPluginClass BuiltInTLSPluginClass() {
  // Every build carries the OpenSSL plug-in; it loads OpenSSL only when a
  // handshake first asks for it, so a program that never starts TLS pays
  // nothing for having it as the default.
  return OpenSSLPluginClass();
}

const TTLSPluginClass& DefaultTLSPluginClass() { return DefaultClassStorage(); }

void SetDefaultTLSPluginClass(TTLSPluginClass plugin_class) {
  DefaultClassStorage() = plugin_class ? std::move(plugin_class) : PluginClassOf<TSSLNone>();
}

}  // namespace zud
