// The OpenSSL plug-in (see tls_openssl.h): context and session sharing, the
// socket BIO over the platform layer, the non-blocking handshake, transfers
// and close with bounded waits, and the session queries.
#include "sockets/tls_openssl.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <utility>

#include "sockets/socketerrors.h"
#include "sockets/tcpsocket.h"
#include "sockets/tls_openssl_api.h"
#include "util/certstore.h"
#include "util/deadline.h"
#include "util/iptext.h"
#include "util/sockapi.h"
#include "util/textutil.h"

namespace zud {

namespace {

using openssl::TApi;

// How soon a wait notices the owner's StopFlag.
constexpr int32_t kWaitSlice = 200;
// What one look at the connection (PendingBytes, which must not wait) reads
// at most: records that carry no data (TLS 1.3 tickets, say) could otherwise
// keep it reading for as long as a peer sends them.
constexpr int64_t kLookBudget = 64 * 1024;

const TApi* Api() {
  std::string ignored;
  return openssl::LoadApi(ignored);
}

// OpenSSL objects are owned through these, freed by the loaded calls (which
// exist whenever such an object does).
struct TSslFree {
  void operator()(SSL* ssl) const { Api()->SSL_free(ssl); }  // frees its BIO too
};
struct TContextFree {
  void operator()(SSL_CTX* ctx) const { Api()->SSL_CTX_free(ctx); }
};
struct TCertificateFree {
  void operator()(X509* cert) const { Api()->X509_free(cert); }
};
using TSslPtr = std::unique_ptr<SSL, TSslFree>;
using TContextPtr = std::unique_ptr<SSL_CTX, TContextFree>;
using TCertificatePtr = std::unique_ptr<X509, TCertificateFree>;

// One context per group of connections (a control connection and its data
// connections), with the session the next connection resumes. The context's
// application data points back here, for the new-session callback.
class TOpenSSLShare final : public TTLSSessionShare {
 public:
  TOpenSSLShare(const TApi& api, std::string key) : api_(api), key_(std::move(key)) {}
  ~TOpenSSLShare() override { Forget(); }
  TOpenSSLShare(const TOpenSSLShare&) = delete;
  TOpenSSLShare& operator=(const TOpenSSLShare&) = delete;

  // Takes ownership of session, the newest one known.
  void Keep(SSL_SESSION* session) {
    sessions_.push_back({session, 0});
    if (sessions_.size() > kKeptSessions) {
      api_.SSL_SESSION_free(sessions_.front().session);
      sessions_.pop_front();
    }
  }
  void Forget() {
    for (const TKept& kept : sessions_) api_.SSL_SESSION_free(kept.session);
    sessions_.clear();
  }
  // Offers a session to ssl: the newest one not offered yet, else the
  // newest one (servers that issue single-use TLS 1.3 tickets send a fresh
  // one on every connection; others accept the same one again).
  void Offer(SSL* ssl) {
    if (sessions_.empty()) return;
    auto chosen = std::find_if(sessions_.rbegin(), sessions_.rend(),
                               [](const TKept& kept) { return kept.offers == 0; });
    if (chosen == sessions_.rend()) chosen = sessions_.rbegin();
    ++chosen->offers;
    // OpenSSL marks a TLS 1.3 session it resumed as not resumable again, so
    // a copy goes out and the kept one stays offerable.
    SSL_SESSION* copy = api_.SSL_SESSION_dup(chosen->session);
    if (copy == nullptr) return;
    api_.SSL_set_session(ssl, copy);  // takes a reference of its own
    api_.SSL_SESSION_free(copy);
  }

  const TApi& api_;
  const std::string key_;    // the settings the context was made with
  static constexpr size_t kKeptSessions = 8;

  struct TKept {
    SSL_SESSION* session;
    int offers;
  };
  TContextPtr ctx_;
  std::deque<TKept> sessions_;
  std::string peer_;         // the server the kept sessions belong to
  std::string key_password_; // the context reads it while loading a key
};

// Called by OpenSSL whenever a session can be resumed later: at the end of a
// TLS 1.2 handshake, and for every TLS 1.3 ticket, which arrives after it.
int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
  const TApi* api = Api();
  if (api == nullptr) return 0;
  auto* share =
      static_cast<TOpenSSLShare*>(api->SSL_CTX_get_ex_data(api->SSL_get_SSL_CTX(ssl), 0));
  if (share == nullptr || api->SSL_SESSION_is_resumable(session) != 1) return 0;
  share->Keep(session);
  return 1;  // the session is ours now
}

// ---- The BIO: OpenSSL's bytes go through the platform layer's send and
// receive (no SIGPIPE on a closed peer, errors translated once) --------------

struct TBioTarget {
  TSocketHandle handle = kInvalidSocket;
  int error = 0;       // the socket error that ended a transfer
  bool eof = false;    // the peer closed the connection
  // Bounds of the current operation's reads: once its deadline is spent or
  // its budget (bytes, -1: none) used, reads "would block", so that OpenSSL,
  // which consumes record after record inside one call while bytes keep
  // coming, returns to the caller's bounded wait.
  const TDeadline* deadline = nullptr;
  int64_t budget = -1;
};

// Sets the read bounds of a BIO target while it lives.
class TReadBound {
 public:
  TReadBound(TBioTarget& target, const TDeadline* deadline, int64_t budget)
      : target_(target), deadline_(target.deadline), budget_(target.budget) {
    target_.deadline = deadline;
    target_.budget = budget;
  }
  ~TReadBound() {
    target_.deadline = deadline_;
    target_.budget = budget_;
  }
  TReadBound(const TReadBound&) = delete;
  TReadBound& operator=(const TReadBound&) = delete;

 private:
  TBioTarget& target_;
  const TDeadline* deadline_;
  int64_t budget_;
};

int BioWrite(BIO* bio, const char* data, int length) {
  const TApi& api = *Api();
  auto* target = static_cast<TBioTarget*>(api.BIO_get_data(bio));
  api.BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  const int n = SendToSocket(target->handle, data, length, 0);
  if (n < 0) {
    const int error = LastSocketError();
    if (error == kErrWouldBlock) {
      api.BIO_set_flags(bio, BIO_FLAGS_WRITE | BIO_FLAGS_SHOULD_RETRY);
    } else {
      target->error = error;
    }
  }
  return n;
}

int BioRead(BIO* bio, char* data, int length) {
  const TApi& api = *Api();
  auto* target = static_cast<TBioTarget*>(api.BIO_get_data(bio));
  api.BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  if (target->budget == 0 || (target->deadline != nullptr && target->deadline->Left() == 0)) {
    api.BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
    return -1;
  }
  if (target->budget > 0) length = static_cast<int>(std::min<int64_t>(length, target->budget));
  const int n = ReceiveFromSocket(target->handle, data, length, 0);
  if (n > 0 && target->budget > 0) target->budget -= n;
  if (n == 0) target->eof = true;
  if (n < 0) {
    const int error = LastSocketError();
    if (error == kErrWouldBlock) {
      api.BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
    } else {
      target->error = error;
    }
  }
  return n;
}

long BioControl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
  // Nothing is buffered here, so a flush is done at once; nothing else applies.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* SocketBioMethod(const TApi& api) {
  static BIO_METHOD* const method = [&api] {
    BIO_METHOD* m = api.BIO_meth_new(api.BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zud socket");
    if (m != nullptr) {
      api.BIO_meth_set_write(m, BioWrite);
      api.BIO_meth_set_read(m, BioRead);
      api.BIO_meth_set_ctrl(m, BioControl);
    }
    return m;
  }();
  return method;
}

std::string StripBrackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

// ---- The plug-in ---------------------------------------------------------------

class TOpenSSLPlugin final : public TCustomSSL {
 public:
  explicit TOpenSSLPlugin(TTCPBlockSocket& owner) : TCustomSSL(owner) { VerifyCert = true; }
  ~TOpenSSLPlugin() override { Release(); }

  bool SetPeerName(const std::string& name) override {
    peer_name_ = StripBrackets(name);
    return true;
  }

  void CopySettingsFrom(const TCustomSSL& other) override {
    TCustomSSL::CopySettingsFrom(other);
    if (const auto* same = dynamic_cast<const TOpenSSLPlugin*>(&other)) {
      peer_name_ = same->peer_name_.empty() ? same->handshake_name_ : same->peer_name_;
    }
  }

  std::string LibraryName() const override { return "openssl"; }
  bool CertificateRejected() const override {
    return PluginErrorCode() == static_cast<int32_t>(TOpenSSLError::kVerify);
  }
  bool SessionReused() const override { return reused_; }
  std::string LibraryVersion() const override {
    const TApi* api = Api();
    return api != nullptr ? api->OpenSSL_version(OPENSSL_VERSION) : "OpenSSL (not available)";
  }

  bool ClientHandshake() override;
  bool CloseSession() override;
  // Keeps the error that ended the session: the caller may still ask why.
  bool AbortSession() override {
    Release();
    return true;
  }
  int SendData(const void* buffer, int length) override;
  int ReceiveData(void* buffer, int length) override;
  int PendingBytes() override;

  std::string SessionProtocol() const override {
    return ssl_ != nullptr ? api_->SSL_get_version(ssl_.get()) : "";
  }
  std::string CipherName() const override {
    const SSL_CIPHER* cipher = ssl_ != nullptr ? api_->SSL_get_current_cipher(ssl_.get()) : nullptr;
    return cipher != nullptr ? api_->SSL_CIPHER_get_name(cipher) : "";
  }
  int CipherBits() const override { return Bits(false); }
  int CipherAlgorithmBits() const override { return Bits(true); }
  std::string PeerSubject() const override { return PeerNameText(true); }
  std::string PeerIssuer() const override { return PeerNameText(false); }
  std::string PeerFingerprint() const override;
  int VerifyResult() const override {
    return ssl_ != nullptr ? static_cast<int>(api_->SSL_get_verify_result(ssl_.get())) : 1;
  }

 private:
  enum class TEnd : uint8_t { kNone, kClean };

  bool Fail(TOpenSSLError code, const std::string& text) {
    SetPluginError(static_cast<int32_t>(code), text, code == TOpenSSLError::kTimedOut);
    return false;
  }
  // The read bounds of an operation that may wait until deadline: the
  // deadline when Timeout limits it, a look's budget when Timeout is 0 (no
  // wait at all), none without a limit.
  TReadBound BoundReads(const TDeadline& deadline) {
    if (Timeout > 0) return TReadBound(target_, &deadline, -1);
    return TReadBound(target_, nullptr, Timeout == 0 ? kLookBudget : -1);
  }
  bool ProtocolRange(int& lowest, int& highest);
  std::string SettingsKey(int lowest, int highest) const;
  std::shared_ptr<TOpenSSLShare> ShareFor(int lowest, int highest);
  bool SetUpContext(TOpenSSLShare& share, int lowest, int highest);
  bool AddPemCertificates(SSL_CTX* ctx, const std::string& pem, const char* what);
  std::string ErrorQueueText();
  // Waits for the direction OpenSSL asked for (ssl_error WANT_READ or
  // WANT_WRITE); records a timeout, a stop or a poll failure.
  bool WaitFor(int ssl_error, const TDeadline& deadline, const char* what);
  // Records why a session call failed with ssl_error; the session is over.
  void RecordFailure(int ssl_error, const char* what);
  // A session that is over answers every later transfer with the failure
  // that ended it; -1.
  int RepeatFailure();
  void RecordHandshakeFailure(int ssl_error);
  // After our close_notify: reads and drops until the peer ends too.
  void AwaitPeerClose(const TDeadline& deadline);
  // Frees the session and gives the handle its blocking mode back.
  void Release();
  int Bits(bool algorithm) const;
  std::string PeerNameText(bool subject) const;

  const TApi* api_ = nullptr;
  TSslPtr ssl_;
  std::shared_ptr<TOpenSSLShare> share_;  // keeps ssl_'s context alive
  TBioTarget target_;
  bool restore_blocking_ = false;
  bool failed_ = false;         // a fatal error: no close_notify any more
  TPluginError failure_;        // ... and what it was, when known
  TEnd end_ = TEnd::kNone;      // the peer ended its side with close_notify
  std::string peer_name_;       // given by SetPeerName or CopySettingsFrom
  std::string handshake_name_;  // the name the last handshake checked
  bool reused_ = false;         // the last handshake resumed a session
};

bool TOpenSSLPlugin::ProtocolRange(int& lowest, int& highest) {
  switch (SSLType) {
    case LT_all:
      lowest = TLS1_2_VERSION;
      highest = 0;  // the newest both sides know
      return true;
    case LT_TLSv1_2:
      lowest = highest = TLS1_2_VERSION;
      return true;
    case LT_TLSv1_3:
      lowest = highest = TLS1_3_VERSION;
      return true;
    case LT_SSHv2:
      return Fail(TOpenSSLError::kSettings,
                  "SSH is not offered: this plug-in speaks TLS 1.2 and 1.3");
    default:
      return Fail(TOpenSSLError::kSettings,
                  "protocols older than TLS 1.2 are not offered (they are broken)");
  }
}

std::string TOpenSSLPlugin::SettingsKey(int lowest, int highest) const {
  std::string key = std::to_string(lowest) + "-" + std::to_string(highest) +
                    (VerifyCert ? "+v" : "-v");
  for (const std::string* part : {&CertCAFile, &CertCA, &TrustCertificateFile, &TrustCertificate,
                                  &CertificateFile, &PrivateKeyFile, &KeyPassword, &Ciphers}) {
    key += '\0';
    key += *part;
  }
  return key;
}

std::shared_ptr<TOpenSSLShare> TOpenSSLPlugin::ShareFor(int lowest, int highest) {
  const std::string key = SettingsKey(lowest, highest);
  auto existing = std::dynamic_pointer_cast<TOpenSSLShare>(SessionShare);
  if (existing != nullptr && existing->key_ == key) return existing;
  // New settings (or none shared yet): a new context, and no session to
  // resume from the old one.
  auto share = std::make_shared<TOpenSSLShare>(*api_, key);
  if (!SetUpContext(*share, lowest, highest)) return nullptr;
  SessionShare = share;
  return share;
}

bool TOpenSSLPlugin::SetUpContext(TOpenSSLShare& share, int lowest, int highest) {
  const TApi& api = *api_;
  api.ERR_clear_error();
  share.ctx_.reset(api.SSL_CTX_new(api.TLS_client_method()));
  SSL_CTX* ctx = share.ctx_.get();
  if (ctx == nullptr) {
    return Fail(TOpenSSLError::kLibrary, "cannot set up TLS: " + ErrorQueueText());
  }
  api.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, lowest, nullptr);
  if (highest != 0) api.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MAX_PROTO_VERSION, highest, nullptr);
  api.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_SESS_CACHE_MODE,
                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE, nullptr);
  api.SSL_CTX_sess_set_new_cb(ctx, KeepNewSession);
  api.SSL_CTX_set_ex_data(ctx, 0, &share);
  api.SSL_CTX_set_verify(ctx, VerifyCert ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);

  if (VerifyCert) {
    // Given authorities replace the system's store; trusted certificates
    // only add to whichever store is in use.
    const bool system_store = CertCAFile.empty() && CertCA.empty();
    if (system_store && api.SSL_CTX_set_default_verify_paths(ctx) != 1) {
      return Fail(TOpenSSLError::kSettings, "cannot load the system's trusted certificates");
    }
    if (system_store) {
      // Where OpenSSL does not read the system's store itself (Windows), its
      // roots are handed over.
      X509_STORE* store = api.SSL_CTX_get_cert_store(ctx);
      for (const std::string& der : SystemRootCertificates()) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
        X509* cert = api.d2i_X509(nullptr, &bytes, static_cast<long>(der.size()));
        if (cert == nullptr) continue;
        api.X509_STORE_add_cert(store, cert);  // a repeated root is refused, harmlessly
        api.X509_free(cert);
      }
      api.ERR_clear_error();
    }
    for (const std::string* file : {&CertCAFile, &TrustCertificateFile}) {
      if (!file->empty() && api.SSL_CTX_load_verify_file(ctx, file->c_str()) != 1) {
        return Fail(TOpenSSLError::kSettings,
                    "cannot read the certificate file " + *file + ": " + ErrorQueueText());
      }
    }
    if (!AddPemCertificates(ctx, CertCA, "CertCA") ||
        !AddPemCertificates(ctx, TrustCertificate, "TrustCertificate")) {
      return false;
    }
    if (!system_store || !TrustCertificateFile.empty() || !TrustCertificate.empty()) {
      // A certificate the user names is trusted as it stands, also when it
      // is not a self-signed root.
      api.X509_STORE_set_flags(api.SSL_CTX_get_cert_store(ctx), X509_V_FLAG_PARTIAL_CHAIN);
    }
  }

  if (!CertificateFile.empty()) {
    share.key_password_ = KeyPassword;
    if (!share.key_password_.empty()) {
      api.SSL_CTX_set_default_passwd_cb_userdata(ctx, share.key_password_.data());
    }
    const std::string& key_file = PrivateKeyFile.empty() ? CertificateFile : PrivateKeyFile;
    if (api.SSL_CTX_use_certificate_chain_file(ctx, CertificateFile.c_str()) != 1 ||
        api.SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
      return Fail(TOpenSSLError::kSettings,
                  "cannot use the client certificate " + CertificateFile + ": " + ErrorQueueText());
    }
  }
  if (!Ciphers.empty() && api.SSL_CTX_set_cipher_list(ctx, Ciphers.c_str()) != 1) {
    return Fail(TOpenSSLError::kSettings, "no usable cipher in \"" + Ciphers + "\"");
  }
  return true;
}

bool TOpenSSLPlugin::AddPemCertificates(SSL_CTX* ctx, const std::string& pem, const char* what) {
  if (pem.empty()) return true;
  const TApi& api = *api_;
  BIO* bio = api.BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) return Fail(TOpenSSLError::kLibrary, "out of memory");
  X509_STORE* store = api.SSL_CTX_get_cert_store(ctx);
  int added = 0;
  // The store takes a reference of its own to each certificate.
  while (TCertificatePtr cert{api.PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)}) {
    if (api.X509_STORE_add_cert(store, cert.get()) == 1) ++added;
  }
  api.BIO_free(bio);
  api.ERR_clear_error();  // the end of the text reads as an error
  if (added == 0) {
    return Fail(TOpenSSLError::kSettings, std::string(what) + " holds no PEM certificate");
  }
  return true;
}

std::string TOpenSSLPlugin::ErrorQueueText() {
  std::string text;
  while (const unsigned long code = api_->ERR_get_error()) {
    const char* reason = api_->ERR_reason_error_string(code);
    if (reason == nullptr) continue;
    if (!text.empty()) text += "; ";
    text += reason;
  }
  return text.empty() ? "unknown error" : text;
}

bool TOpenSSLPlugin::ClientHandshake() {
  ClearPluginError();
  if (SessionActive()) return true;
  std::string reason;
  api_ = openssl::LoadApi(reason);
  if (api_ == nullptr) return Fail(TOpenSSLError::kLibrary, reason);
  const TApi& api = *api_;
  const TSocketHandle handle = OwnerSocket().Handle();
  if (handle == kInvalidSocket) return Fail(TOpenSSLError::kTransport, "not connected");
  int lowest = 0;
  int highest = 0;
  if (!ProtocolRange(lowest, highest)) return false;
  const std::string name =
      !peer_name_.empty() ? peer_name_ : StripBrackets(OwnerSocket().ConnectedHost());
  if (VerifyCert && name.empty()) {
    return Fail(TOpenSSLError::kSettings, "no host name to check the certificate against");
  }
  std::shared_ptr<TOpenSSLShare> share = ShareFor(lowest, highest);
  if (share == nullptr) return false;
  BIO_METHOD* method = SocketBioMethod(api);
  api.ERR_clear_error();
  ssl_.reset(api.SSL_new(share->ctx_.get()));
  BIO* bio = ssl_ != nullptr && method != nullptr ? api.BIO_new(method) : nullptr;
  if (bio == nullptr) {
    Release();
    return Fail(TOpenSSLError::kLibrary, "cannot set up TLS: " + ErrorQueueText());
  }
  share_ = share;
  target_ = TBioTarget{handle, 0, false};
  api.BIO_set_data(bio, &target_);
  api.BIO_set_init(bio, 1);
  api.SSL_set_bio(ssl_.get(), bio, bio);
  api.SSL_ctrl(ssl_.get(), SSL_CTRL_MODE,
               SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER, nullptr);
  if (!name.empty()) {
    if (IsIPv4Text(name) || IsIPv6Text(name)) {
      api.X509_VERIFY_PARAM_set1_ip_asc(api.SSL_get0_param(ssl_.get()), name.c_str());
    } else {
      api.SSL_set_hostflags(ssl_.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      api.SSL_set1_host(ssl_.get(), name.c_str());
      api.SSL_ctrl(ssl_.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                   const_cast<char*>(name.c_str()));
    }
  }
  // A session is offered only to the server it was made with.
  if (share->peer_ != name) {
    share->Forget();
    share->peer_ = name;
  }
  share->Offer(ssl_.get());

  if (!OwnerSocket().NonBlocking()) {
    SetNonBlockingMode(handle, true);
    restore_blocking_ = true;
  }
  failed_ = false;
  failure_ = TPluginError{};
  end_ = TEnd::kNone;
  reused_ = false;
  const TDeadline deadline(Timeout);
  const TReadBound bound = BoundReads(deadline);
  for (;;) {
    api.ERR_clear_error();
    const int result = api.SSL_connect(ssl_.get());
    if (result == 1) break;
    const int error = api.SSL_get_error(ssl_.get(), result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (WaitFor(error, deadline, "TLS handshake")) continue;
    } else {
      RecordHandshakeFailure(error);
    }
    Release();
    return false;
  }
  handshake_name_ = name;
  reused_ = api.SSL_session_reused(ssl_.get()) == 1;
  SetSessionActive(true);
  return true;
}

void TOpenSSLPlugin::RecordHandshakeFailure(int ssl_error) {
  const long verify = api_->SSL_get_verify_result(ssl_.get());
  if (VerifyCert && verify != X509_V_OK) {
    api_->ERR_clear_error();
    Fail(TOpenSSLError::kVerify, std::string("certificate verify failed: ") +
                                     api_->X509_verify_cert_error_string(verify));
    return;
  }
  if (target_.eof || (ssl_error == SSL_ERROR_SYSCALL && target_.error == 0)) {
    api_->ERR_clear_error();
    Fail(TOpenSSLError::kHandshake, "TLS handshake failed: the server closed the connection");
    return;
  }
  if (target_.error != 0) {
    api_->ERR_clear_error();
    Fail(TOpenSSLError::kTransport, "TLS handshake failed: " + GetErrorDesc(target_.error));
    return;
  }
  Fail(TOpenSSLError::kHandshake, "TLS handshake failed: " + ErrorQueueText());
}

bool TOpenSSLPlugin::WaitFor(int ssl_error, const TDeadline& deadline, const char* what) {
  const bool writing = ssl_error == SSL_ERROR_WANT_WRITE;
  TSelectSet set;
  ClearSelectSet(set);
  AddToSelectSet(target_.handle, set);
  for (;;) {
    if (OwnerSocket().StopFlag) {
      return Fail(TOpenSSLError::kStopped, std::string(what) + " stopped");
    }
    const int32_t left = deadline.Left();
    if (left == 0) return Fail(TOpenSSLError::kTimedOut, std::string(what) + " timed out");
    const int32_t slice = left < 0 ? kWaitSlice : std::min(left, kWaitSlice);
    const int ready = PollSelectSet(set, writing, slice);
    if (ready > 0) return true;
    if (ready < 0) {
      return Fail(TOpenSSLError::kTransport,
                  std::string(what) + " failed: " + GetErrorDesc(LastSocketError()));
    }
  }
}

void TOpenSSLPlugin::RecordFailure(int ssl_error, const char* what) {
  failed_ = true;
  const unsigned long code = api_->ERR_get_error();
  api_->ERR_clear_error();
  // A connection that breaks or ends under the session is lost, as a plain
  // one would be (a reset, a broken pipe: the platform's code; an end
  // without close_notify: the peer's close); only what TLS itself refuses
  // is a TLS failure.
  if (target_.error != 0) {
    SetPluginError({static_cast<int32_t>(TOpenSSLError::kTransport),
                    GetErrorDesc(target_.error), false, target_.error});
  } else if ((code != 0 && ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) ||
             ssl_error == SSL_ERROR_SYSCALL) {
    SetPluginError(
        {static_cast<int32_t>(TOpenSSLError::kTruncated),
         "the peer closed the connection without ending the TLS session: data may be missing",
         false, kErrPeerClosed});
  } else {
    const char* reason = code != 0 ? api_->ERR_reason_error_string(code) : nullptr;
    Fail(TOpenSSLError::kProtocol,
         std::string(what) + " failed: " + (reason != nullptr ? reason : "protocol error"));
  }
  failure_ = PluginError();
}

int TOpenSSLPlugin::RepeatFailure() {
  if (failure_.code != 0) {
    SetPluginError(failure_);
  } else {
    Fail(TOpenSSLError::kProtocol, "no usable TLS session");
  }
  return -1;
}

int TOpenSSLPlugin::SendData(const void* buffer, int length) {
  ClearPluginError();
  if (ssl_ == nullptr || failed_) return RepeatFailure();
  if (length <= 0) return 0;
  const TDeadline deadline(Timeout);
  const TReadBound bound = BoundReads(deadline);
  for (;;) {
    api_->ERR_clear_error();
    const int n = api_->SSL_write(ssl_.get(), buffer, length);
    if (n > 0) return n;
    const int error = api_->SSL_get_error(ssl_.get(), n);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (WaitFor(error, deadline, "TLS send")) continue;
      // A record left half written cannot be finished, nor followed by
      // close_notify: the session is over.
      failed_ = true;
      failure_ = PluginError();
      return -1;
    }
    RecordFailure(error, "TLS send");
    return -1;
  }
}

int TOpenSSLPlugin::ReceiveData(void* buffer, int length) {
  ClearPluginError();
  if (end_ == TEnd::kClean) return 0;
  if (ssl_ == nullptr || failed_) return RepeatFailure();
  if (length <= 0) return 0;
  const TDeadline deadline(Timeout);
  const TReadBound bound = BoundReads(deadline);
  for (;;) {
    api_->ERR_clear_error();
    const int n = api_->SSL_read(ssl_.get(), buffer, length);
    if (n > 0) return n;
    const int error = api_->SSL_get_error(ssl_.get(), n);
    if (error == SSL_ERROR_ZERO_RETURN) {
      end_ = TEnd::kClean;
      return 0;
    }
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (WaitFor(error, deadline, "TLS receive")) continue;
      return -1;
    }
    RecordFailure(error, "TLS receive");
    return -1;
  }
}

int TOpenSSLPlugin::PendingBytes() {
  if (ssl_ == nullptr) return 0;
  // The session's end is readable at once: the reader then learns of it.
  if (end_ != TEnd::kNone || failed_) return 1;
  const int pending = api_->SSL_pending(ssl_.get());
  if (pending > 0) return pending;
  // Process what arrived, without waiting: records that carry no data (a
  // TLS 1.3 ticket) leave nothing to read even though the handle was ready.
  char probe;
  const TReadBound bound(target_, nullptr, kLookBudget);
  api_->ERR_clear_error();
  const int n = api_->SSL_peek(ssl_.get(), &probe, 1);
  if (n > 0) return std::max(1, api_->SSL_pending(ssl_.get()));
  const int error = api_->SSL_get_error(ssl_.get(), n);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
  if (error == SSL_ERROR_ZERO_RETURN) {
    end_ = TEnd::kClean;
  } else {
    // Kept for the receive that comes for it; a query reports nothing.
    const TPluginError before = PluginError();
    RecordFailure(error, "TLS receive");
    SetPluginError(before);
  }
  return 1;
}

bool TOpenSSLPlugin::CloseSession() {
  // A close that goes well leaves the error that ended the session (if one
  // did) for the caller to ask about.
  const TPluginError before = PluginError();
  ClearPluginError();
  bool closed = true;
  if (ssl_ != nullptr && !failed_) {
    // Tickets the server sent on this connection may be needed by the next
    // one; an upload never read them. Take what arrived, without waiting.
    PendingBytes();
  }
  if (ssl_ != nullptr && !failed_) {
    // close_notify tells the peer that the data ended here and was not cut
    // off.
    const TDeadline deadline(Timeout);
    const TReadBound bound = BoundReads(deadline);
    int result = 0;
    for (;;) {
      api_->ERR_clear_error();
      result = api_->SSL_shutdown(ssl_.get());
      if (result >= 0) break;
      const int error = api_->SSL_get_error(ssl_.get(), result);
      if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
          WaitFor(error, deadline, "TLS close")) {
        continue;
      }
      if (PluginErrorCode() == 0) RecordFailure(error, "TLS close");
      closed = false;
      break;
    }
    if (closed && result == 0) AwaitPeerClose(deadline);
  }
  Release();
  if (closed) SetPluginError(before);
  return closed;
}

void TOpenSSLPlugin::AwaitPeerClose(const TDeadline& deadline) {
  // Were the handle closed while the peer's answer (or a late ticket) sits
  // unread, the system would reset the connection, and a peer that had not
  // yet read all the data would lose the rest of it. So whatever still comes
  // is read and dropped until the peer's close_notify or its close.
  char scratch[4096];
  const TReadBound bound = BoundReads(deadline);
  for (;;) {
    api_->ERR_clear_error();
    const int n = api_->SSL_read(ssl_.get(), scratch, sizeof scratch);
    if (n > 0) continue;
    const int error = api_->SSL_get_error(ssl_.get(), n);
    if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
        WaitFor(error, deadline, "TLS close")) {
      continue;
    }
    break;
  }
  // Our side ended in order; how the peer ended its own is not our failure.
  api_->ERR_clear_error();
  ClearPluginError();
}

void TOpenSSLPlugin::Release() {
  ssl_.reset();
  share_.reset();
  if (restore_blocking_ && target_.handle != kInvalidSocket) {
    SetNonBlockingMode(target_.handle, false);
  }
  restore_blocking_ = false;
  SetSessionActive(false);
}

int TOpenSSLPlugin::Bits(bool algorithm) const {
  const SSL_CIPHER* cipher = ssl_ != nullptr ? api_->SSL_get_current_cipher(ssl_.get()) : nullptr;
  if (cipher == nullptr) return 0;
  int algorithm_bits = 0;
  const int bits = api_->SSL_CIPHER_get_bits(cipher, &algorithm_bits);
  return algorithm ? algorithm_bits : bits;
}

std::string TOpenSSLPlugin::PeerNameText(bool subject) const {
  const TCertificatePtr cert(ssl_ != nullptr ? api_->SSL_get1_peer_certificate(ssl_.get())
                                              : nullptr);
  if (cert == nullptr) return std::string();
  char text[512];
  X509_NAME* name =
      subject ? api_->X509_get_subject_name(cert.get()) : api_->X509_get_issuer_name(cert.get());
  const char* line = api_->X509_NAME_oneline(name, text, sizeof text);
  return line != nullptr ? line : "";
}

std::string TOpenSSLPlugin::PeerFingerprint() const {
  const TCertificatePtr cert(ssl_ != nullptr ? api_->SSL_get1_peer_certificate(ssl_.get())
                                              : nullptr);
  if (cert == nullptr) return std::string();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  std::string result;
  if (api_->X509_digest(cert.get(), api_->EVP_sha256(), digest, &length) == 1) {
    char hex[4];
    for (unsigned int i = 0; i < length; ++i) {
      std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", digest[i]);
      result += hex;
    }
  }
  return result;
}

}  // namespace

TTLSPluginClass OpenSSLPluginClass() { return PluginClassOf<TOpenSSLPlugin>(); }

bool OpenSSLAvailable(std::string& reason) { return openssl::LoadApi(reason) != nullptr; }

}  // namespace zud
