// The kind and the message of the failures a real or scripted server cannot
// easily stage (the acceptance tests run the others), from a session's facts.
#include "deploy/failure.h"

#include <gtest/gtest.h>

namespace zud {
namespace {

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
    const char* message;
  };
  const auto with = [&](auto change) {
    TSessionFacts f = base;
    change(f);
    return f;
  };
  const Case cases[] = {
      {"ConnectTimeout", false, with([](auto& f) { f.control_error = 10036; }),
       TDeployFailure::kTimeout, "cannot connect to h port 21: no answer within 5 s (10060)"},
      {"ClosedBeforeGreeting", false,
       with([](auto& f) { f.connected = true, f.control_error = 10054; }),
       TDeployFailure::kConnectFailed,
       "h port 21 closed the connection before its greeting: Connection reset by peer (10054)"},
      {"LoginRefused", false,
       with([](auto& f) { f.connected = true, f.replies = 3, f.result_code = 530; }),
       TDeployFailure::kLoginRefused, ""},
      {"TLSHandshake", false, with([](auto& f) {
         f.connected = true, f.control_error = 10091, f.control_error_text = "TLS handshake failed";
       }),
       TDeployFailure::kTLS, "TLS with h port 21 failed: TLS handshake failed (10091)"},
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
       "cannot open the data connection for /x: Connection refused (10061)"},
      {"DataTLS", true,
       with([](auto& f) { f.data_error = 10091, f.data_error_text = "TLS handshake failed"; }),
       TDeployFailure::kTLS, "TLS on the data connection for /x failed: TLS handshake failed (10091)"},
      {"DataSessionNotResumed", true, with([](auto& f) {
         f.store_started = f.data_connected = true, f.result_code = 425, f.data_error = 10091,
         f.data_error_text = "TLS session reuse refused: ... (425 Unable to build data connection)";
       }),
       TDeployFailure::kTLS,
       "TLS on the data connection for /x failed: TLS session reuse refused: ... (425 Unable to "
       "build data connection) (10091)"},
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

}  // namespace
}  // namespace zud
