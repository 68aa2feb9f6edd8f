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
      {"DataSessionNotResumed", true, with([](auto& f) {
         f.store_started = f.data_connected = true, f.result_code = 425, f.data_error = 10091,
         f.data_error_text = "TLS session reuse refused: ... (425 Unable to build data connection)";
       }),
       TDeployFailure::kTLS,
       "TLS on the data connection for /x failed: TLS session reuse refused: ... (425 Unable to "
       "build data connection)" + Code("10091")},
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

// Only a connection that is gone or stuck is worth a reconnect; a refusal,
// TLS on the data connection included, would come again.
TEST(FailureTest, ConnectionLostOnlyWhenAReconnectMayMendIt) {
  const struct {
    const char* name;
    int control_error, result_code, data_error;
    bool lost;
  } cases[] = {
      {"Reset", 10054, 0, 0, true},
      {"NoReply", 0, 0, 0, true},
      {"ServerClosing", 0, 421, 0, true},
      {"DataCut", 0, 426, 10054, true},
      {"DataTLSRefused", 0, 425, 10091, false},
      {"VsftpdReuseRequired", 0, 522, 10091, false},
      {"StoreRefused", 0, 553, 0, false},
  };
  for (const auto& c : cases) {
    TSessionFacts facts;
    facts.control_error = c.control_error;
    facts.result_code = c.result_code;
    facts.data_error = c.data_error;
    EXPECT_EQ(ConnectionLost(facts), c.lost) << c.name;
  }
}

// The hints the tool tests cannot meet on their servers, and where none is due.
TEST(FailureTest, HintsOnlyWhereTheyHelp) {
  const auto refused = [](int code, const char* line, bool tls = false) {
    TSessionFacts f;
    f.connected = true, f.replies = 2, f.last_command = "PASS";
    f.result_code = code, f.result_line = line, f.explicit_tls = tls;
    return f;
  };
  const struct {
    TSessionFacts facts;
    TDeployHint hint;
  } cases[] = {
      {refused(421, "421 Sorry, cleartext sessions and weak ciphers are not accepted"),
       TDeployHint::kTLSRequired},
      {refused(550, "550 SSL/TLS required on the control channel.", true), TDeployHint::kNone},
      {refused(530, "530 Sorry, the maximum number of clients (5) from your host are already "
                    "connected."),
       TDeployHint::kConnectionLimit},
      {refused(530, "530 Login incorrect."), TDeployHint::kNone},  // FEAT offered no TLS
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClassifySignInFailure(c.facts).hint, c.hint) << c.facts.result_line;
  }
  TSessionFacts passive;
  passive.passive = true, passive.last_command = "STOR /x", passive.result_code = 425;
  EXPECT_EQ(ClassifyStoreFailure(passive, "/x").hint, TDeployHint::kNone);
}

}  // namespace
}  // namespace zud
