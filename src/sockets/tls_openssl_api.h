// The OpenSSL calls the TLS plug-in makes, loaded from the shared library the
// first time a TLS session is asked for, so that a run without TLS neither
// maps nor initialises OpenSSL (start-up time and memory stay those of a
// plain run). A build that links OpenSSL in (ZUD_OPENSSL_LINKED: the Windows
// tool, one file with no DLLs) fills the same table from the linked calls.
// Internal to the plug-in's own files.
//
// Every entry has the type of the function the OpenSSL headers declare, so
// calls are checked as if they were direct. OpenSSL's function-like macros
// (SSL_CTX_set_min_proto_version, SSL_set_tlsext_host_name ...) expand to
// direct calls and cannot be used: their ctrl calls are written out instead.
#pragma once

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <string>

namespace zud::openssl {

#define ZUD_OPENSSL_CALLS(X)                                                                \
  X(OpenSSL_version_num) X(OpenSSL_version) X(TLS_client_method) X(SSL_CTX_new)            \
  X(SSL_CTX_free) X(SSL_CTX_ctrl) X(SSL_CTX_set_default_verify_paths)                      \
  X(SSL_CTX_load_verify_file) X(SSL_CTX_set_verify) X(SSL_CTX_set_cipher_list)             \
  X(SSL_CTX_sess_set_new_cb) X(SSL_CTX_set_ex_data) X(SSL_CTX_get_ex_data)                 \
  X(SSL_CTX_get_cert_store) X(X509_STORE_add_cert) X(X509_STORE_set_flags)                 \
  X(SSL_CTX_use_certificate_chain_file) X(SSL_CTX_use_PrivateKey_file)                     \
  X(SSL_CTX_set_default_passwd_cb_userdata) X(BIO_new_mem_buf) X(BIO_free)                 \
  X(PEM_read_bio_X509) X(X509_free) X(SSL_new) X(SSL_free) X(SSL_set_bio) X(SSL_set1_host) \
  X(SSL_set_hostflags) X(SSL_get0_param) X(X509_VERIFY_PARAM_set1_ip_asc) X(SSL_ctrl)      \
  X(SSL_set_session) X(SSL_SESSION_free) X(SSL_SESSION_is_resumable) X(SSL_connect)        \
  X(SSL_get_error) X(SSL_read) X(SSL_write) X(SSL_peek) X(SSL_pending) X(SSL_shutdown)     \
  X(SSL_get_verify_result) X(X509_verify_cert_error_string) X(ERR_get_error)               \
  X(ERR_reason_error_string) X(ERR_clear_error)                                            \
  X(SSL_get_version) X(SSL_get_current_cipher) X(SSL_CIPHER_get_name)                      \
  X(SSL_CIPHER_get_bits) X(SSL_get1_peer_certificate) X(X509_get_subject_name)             \
  X(X509_get_issuer_name) X(X509_NAME_oneline) X(X509_digest) X(EVP_sha256)                \
  X(SSL_get_SSL_CTX) X(BIO_meth_new) X(BIO_meth_set_write) X(BIO_meth_set_read)            \
  X(BIO_meth_set_ctrl) X(BIO_new) X(BIO_set_data) X(BIO_get_data) X(BIO_set_init)          \
  X(BIO_set_flags) X(BIO_clear_flags) X(BIO_get_new_index)                                \
  X(d2i_X509) X(SSL_session_reused) X(SSL_SESSION_dup)

struct TApi {
#define ZUD_OPENSSL_FIELD(name) decltype(&::name) name = nullptr;
  ZUD_OPENSSL_CALLS(ZUD_OPENSSL_FIELD)
#undef ZUD_OPENSSL_FIELD
};

// The loaded calls, or nullptr with the reason in error (the library is
// missing, older than 3.0, or lacks a call). Loads at most once per process;
// later calls return the same answer. Any thread may call it.
const TApi* LoadApi(std::string& error);

}  // namespace zud::openssl
