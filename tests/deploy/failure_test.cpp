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

}  // namespace
}  // namespace zud
