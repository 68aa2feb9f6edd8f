// The kind and the message of the failures a real or scripted server cannot
// easily stage (the acceptance tests run the others), from a session's facts.
#include "deploy/failure.h"

#include <gtest/gtest.h>

#include <string>

#include "util/sockapi.h"

namespace zud {
namespace {

// " (10054)" where messages show error numbers (Windows), else "".
std::string Code(const char* number) {
  return kErrorNumbersForPeople ? std::string(" (") + number + ")" : std::string();
}

TEST(FailureTest, KindAndMessageByCause) {
  TSessionFacts base;
  base.host = "h";
  base.port = "21";
  base.timeout_ms = 5000;
  struct Case {
    const char* name;
    bool store;  // a store failure, else a sign-in failure
    TSessionFacts facts;
    TDeployFailure kind;
    std::string message;
  };
  const auto with = [&](auto change) {
    TSessionFacts f = base;
    change(f);
    return f;
  };
  const Case cases[] = {
      {"ConnectTimeout", false, with([](auto& f) { f.control_error = 10036; }),
       TDeployFailure::kTimeout, "cannot connect to h port 21: no answer within 5 s" + Code("10060")},
      {"ClosedBeforeGreeting", false,
       with([](auto& f) { f.connected = true, f.control_error = 10054; }),
       TDeployFailure::kConnectFailed,
       "h port 21 closed the connection before its greeting: Connection reset by peer" +
           Code("10054")},
      {"LoginRefused", false,
       with([](auto& f) { f.connected = true, f.replies = 3, f.result_code = 530; }),
       TDeployFailure::kLoginRefused, ""},
      {"TLSHandshake", false, with([](auto& f) {
         f.connected = true, f.control_error = 10091, f.control_error_text = "TLS handshake failed";
       }),
       TDeployFailure::kTLS, "TLS with h port 21 failed: TLS handshake failed" + Code("10091")},
      {"AuthTLSRefused", false,
       with([](auto& f) { f.connected = true, f.last_command = "AUTH TLS", f.result_code = 502; }),
       TDeployFailure::kTLS, ""},
      {"StoreRefused", true, with([](auto& f) { f.last_command = "STOR /x", f.result_code = 553; }),
       TDeployFailure::kRefused, ""},
      {"PasvRefused", true, with([](auto& f) { f.last_command = "PASV", f.result_code = 425; }),
       TDeployFailure::kTransferFailed, ""},
      {"DataConnectFailed", true,
       with([](auto& f) { f.data_error = 10061, f.data_error_text = "Connection refused"; }),
       TDeployFailure::kTransferFailed,
       "cannot open the data connection for /x: Connection refused" + Code("10061")},
      {"DataTLS", true,
       with([](auto& f) { f.data_error = 10091, f.data_error_text = "TLS handshake failed"; }),
       TDeployFailure::kTLS, "TLS on the data connection for /x failed: TLS handshake failed" +
           Code("10091")},
      {"NoActiveConnection", true, with([](auto& f) { f.data_error = 10060; }),
       TDeployFailure::kTimeout, "no data connection from h within 5 s"},
      {"Stalled", true,
       with([](auto& f) { f.store_started = f.data_connected = true, f.data_error = 10060; }),
       TDeployFailure::kTimeout, "transfer of /x stalled: no progress within 5 s"},
      {"FinalReplyRefused", true, with([](auto& f) {
         f.store_started = true, f.result_code = 426, f.bytes_sent = 20, f.bytes_to_send = 20;
       }),
       TDeployFailure::kTransferFailed, ""},
  };
  for (const Case& c : cases) {
    const TFailure failure =
        c.store ? ClassifyStoreFailure(c.facts, "/x") : ClassifySignInFailure(c.facts);
    EXPECT_EQ(failure.kind, c.kind) << c.name;
    EXPECT_EQ(failure.message, c.message) << c.name;
  }
  // The resolver's failure in the system's words (Linux), or with its number.
  TSessionFacts resolver = base;
  resolver.control_error = 11002;
  resolver.control_error_text = "Non authoritative - host not found";
  EXPECT_EQ(ClassifySignInFailure(resolver).message,
            kErrorNumbersForPeople
                ? "cannot resolve host h: Non authoritative - host not found (11002)"
                : "cannot resolve host h: Temporary failure in name resolution");
  TDeployFailure first = TDeployFailure::kNone;
  KeepFirstFailure(first, TDeployFailure::kRefused);
  KeepFirstFailure(first, TDeployFailure::kTimeout);
  EXPECT_EQ(first, TDeployFailure::kRefused);
}

// What would help, by what the session saw.
TEST(FailureTest, HintByCause) {
  TSessionFacts base;
  base.host = "h";
  base.port = "21";
  base.connected = true;
  base.replies = 2;
  const auto with = [&](auto change) {
    TSessionFacts f = base;
    change(f);
    return f;
  };
  const struct {
    const char* name;
    bool store;
    TSessionFacts facts;
    TDeployHint hint;
  } cases[] = {
      {"TLSRequiredVsftpd", false, with([](auto& f) {
         f.result_code = 530, f.result_line = "530 Non-anonymous sessions must use encryption.";
       }),
       TDeployHint::kTLSRequired},
      {"TLSRequiredPureFtpd", false, with([](auto& f) {
         f.replies = 1, f.result_code = 421,
         f.result_line = "421 Sorry, cleartext sessions and weak ciphers are not accepted";
       }),
       TDeployHint::kTLSRequired},
      {"TLSRequiredButTLSOn", false, with([](auto& f) {
         f.explicit_tls = true, f.result_code = 550,
         f.result_line = "550 SSL/TLS required on the control channel.";
       }),
       TDeployHint::kNone},
      {"PlainLoginRefusedTLSOffered", false, with([](auto& f) {
         f.last_command = "PASS", f.result_code = 530, f.result_line = "530 Login incorrect.",
         f.offers_tls = true;
       }),
       TDeployHint::kTLSOffered},
      {"PlainLoginRefused", false, with([](auto& f) {
         f.last_command = "PASS", f.result_code = 530, f.result_line = "530 Login incorrect.";
       }),
       TDeployHint::kNone},
      {"ConnectionLimit", false, with([](auto& f) {
         f.replies = 1, f.result_code = 421,
         f.result_line = "421 Too many connections (8) from this IP";
       }),
       TDeployHint::kConnectionLimit},
      {"SelfSigned", false, with([](auto& f) {
         f.explicit_tls = true, f.control_error = 10091,
         f.control_error_text = "certificate verify failed: self-signed certificate";
       }),
       TDeployHint::kCertificateUntrusted},
      {"ImplicitOnExplicitPort", false, with([](auto& f) {
         f.connected = false, f.implicit_tls = true, f.control_error = 10091,
         f.control_error_text = "TLS handshake failed: error:0A00010B:SSL routines::wrong version number";
       }),
       TDeployHint::kPlainFTPPort},
      {"NoGreeting", false, with([](auto& f) {
         f.explicit_tls = true, f.replies = 0, f.control_error = 10060;
       }),
       TDeployHint::kNoGreeting},
      {"PortRefused", true, with([](auto& f) {
         f.last_command = "PORT 127,0,0,1,4,1", f.result_code = 500;
       }),
       TDeployHint::kActiveRefused},
      {"NoConnectionBack", true, with([](auto& f) {
         f.last_command = "STOR /x", f.result_code = 425;
       }),
       TDeployHint::kActiveRefused},
      {"PassiveStoreRefused", true, with([](auto& f) {
         f.passive = true, f.last_command = "STOR /x", f.result_code = 425;
       }),
       TDeployHint::kNone},
  };
  for (const auto& c : cases) {
    const TFailure failure =
        c.store ? ClassifyStoreFailure(c.facts, "/x") : ClassifySignInFailure(c.facts);
    EXPECT_EQ(failure.hint, c.hint) << c.name;
  }
}

}  // namespace
}  // namespace zud
