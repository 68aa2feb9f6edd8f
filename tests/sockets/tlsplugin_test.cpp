// The TLS plug-in seam without a connection: TSSLNone's answers, the
// settings copy, the process-wide plug-in class, the protocol client base
// and the socket-layer start-up.
#include "sockets/tlsplugin.h"

#include <functional>
#include <string>

#include "gtest/gtest.h"
#include "sockets/blocksocket.h"
#include "sockets/protocolclient.h"
#include "sockets/socketlayer.h"
#include "sockets/tcpsocket.h"
#include "util/sockapi.h"

namespace zud {
namespace {

constexpr const char* kNotCompiled = "SSL/TLS support is not compiled!";

// A plug-in class that can be told apart from TSSLNone.
class TMarkerSSL : public TCustomSSL {
 public:
  using TCustomSSL::TCustomSSL;
  std::string LibraryName() const override { return "marker"; }
};

// Restores the process-wide plug-in class however a test ends.
class DefaultClassRestorer {
 public:
  DefaultClassRestorer() : saved_(DefaultTLSPluginClass()) {}
  ~DefaultClassRestorer() { SetDefaultTLSPluginClass(saved_); }

 private:
  TTLSPluginClass saved_;
};

TEST(SSLNone, IsThePluginOfASocketWithoutTLS) {
  TTCPBlockSocket sock(PluginClassOf<TSSLNone>());
  TCustomSSL& plugin = sock.TLSPlugin();
  EXPECT_EQ(plugin.LibraryName(), "ssl_none");
  EXPECT_EQ(plugin.LibraryVersion(), "Without SSL support");
  EXPECT_EQ(&plugin.OwnerSocket(), &sock);
  EXPECT_FALSE(plugin.SessionActive());
  EXPECT_EQ(plugin.PluginErrorCode(), 0);
  EXPECT_EQ(plugin.SSLType, LT_all);
  EXPECT_FALSE(plugin.VerifyCert);
}

TEST(SSLNone, RefusesEveryTLSOperation) {
  TTCPBlockSocket sock(PluginClassOf<TSSLNone>());
  TCustomSSL& plugin = sock.TLSPlugin();
  // The one-text operation and the queries are answers, not failures.
  EXPECT_FALSE(plugin.SetPeerName("ftp.example"));
  EXPECT_EQ(plugin.PluginErrorCode(), 0);
  EXPECT_EQ(plugin.PeerSubject(), "");
  EXPECT_EQ(plugin.CipherName(), "");
  EXPECT_EQ(plugin.CipherBits(), 0);
  EXPECT_EQ(plugin.VerifyResult(), 1);
  EXPECT_EQ(plugin.PluginErrorCode(), 0);

  // Each on a fresh plug-in, so that every one has to set the error itself.
  using Call = std::function<bool(TCustomSSL&)>;
  const std::vector<std::pair<const char*, Call>> refused = {
      {"ClientHandshake", [](TCustomSSL& p) { return p.ClientHandshake(); }},
      {"ServerHandshake", [](TCustomSSL& p) { return p.ServerHandshake(); }},
      {"CloseSession", [](TCustomSSL& p) { return p.CloseSession(); }},
      {"AbortSession", [](TCustomSSL& p) { return p.AbortSession(); }},
      {"SendData", [](TCustomSSL& p) { return p.SendData("x", 1) != -1; }},
      {"ReceiveData",
       [](TCustomSSL& p) {
         char c;
         return p.ReceiveData(&c, 1) != -1;
       }},
      {"PendingBytes", [](TCustomSSL& p) { return p.PendingBytes() != 0; }},
  };
  for (const auto& [name, call] : refused) {
    SCOPED_TRACE(name);
    TTCPBlockSocket fresh(PluginClassOf<TSSLNone>());
    TCustomSSL& none = fresh.TLSPlugin();
    EXPECT_FALSE(call(none));
    EXPECT_EQ(none.PluginErrorCode(), -1);
    EXPECT_EQ(none.PluginErrorText(), kNotCompiled);
    EXPECT_FALSE(none.SessionActive());
  }
  plugin.ClientHandshake();
  // Never cleared once set, even by an answer that is no failure.
  plugin.SetPeerName("x");
  EXPECT_EQ(plugin.PluginErrorCode(), -1);
}

TEST(CustomSSL, CopySettingsFromCopiesAllButTheSSHFieldsAndTheState) {
  TTCPBlockSocket from_sock(PluginClassOf<TSSLNone>());
  TTCPBlockSocket to_sock(PluginClassOf<TSSLNone>());
  TCustomSSL& from = from_sock.TLSPlugin();
  TCustomSSL& to = to_sock.TLSPlugin();
  // Every text setting, each with its own value.
  const std::vector<std::string TCustomSSL::*> copied = {
      &TCustomSSL::Username,        &TCustomSSL::Password,         &TCustomSSL::KeyPassword,
      &TCustomSSL::Ciphers,         &TCustomSSL::CertificateFile,  &TCustomSSL::PrivateKeyFile,
      &TCustomSSL::CertCAFile,      &TCustomSSL::CertCA,           &TCustomSSL::TrustCertificate,
      &TCustomSSL::TrustCertificateFile, &TCustomSSL::Certificate, &TCustomSSL::PrivateKey,
      &TCustomSSL::PFX,             &TCustomSSL::PFXfile,
  };
  const std::vector<std::string TCustomSSL::*> kept = {
      &TCustomSSL::SSHChannelType, &TCustomSSL::SSHChannelArg1, &TCustomSSL::SSHChannelArg2};
  int n = 0;
  for (auto field : copied) from.*field = "value " + std::to_string(++n);
  for (auto field : kept) {
    from.*field = "from ssh";
    to.*field = "own ssh";
  }
  from.SSLType = LT_TLSv1_1;
  from.VerifyCert = true;
  from.ClientHandshake();  // leaves an error on the source

  to.CopySettingsFrom(from);
  n = 0;
  for (auto field : copied) EXPECT_EQ(to.*field, "value " + std::to_string(++n));
  for (auto field : kept) EXPECT_EQ(to.*field, "own ssh");
  EXPECT_EQ(to.SSLType, LT_TLSv1_1);
  EXPECT_TRUE(to.VerifyCert);
  EXPECT_EQ(&to.OwnerSocket(), &to_sock);
  EXPECT_EQ(to.PluginErrorCode(), 0);
  EXPECT_EQ(to.PluginErrorText(), "");
}

TEST(DefaultPluginClass, IsTheOpenSSLPluginFromTheStart) {
  TTCPBlockSocket sock;
  EXPECT_EQ(sock.TLSPlugin().LibraryName(), "openssl");
  EXPECT_TRUE(sock.TLSPlugin().VerifyCert);
  EXPECT_EQ(BuiltInTLSPluginClass()(sock)->LibraryName(), "openssl");
}

TEST(DefaultPluginClass, MakesThePluginOfNewSockets) {
  DefaultClassRestorer restore;
  SetDefaultTLSPluginClass(PluginClassOf<TMarkerSSL>());
  TTCPBlockSocket marked;
  EXPECT_EQ(marked.TLSPlugin().LibraryName(), "marker");
  EXPECT_EQ(&marked.TLSPlugin().OwnerSocket(), &marked);

  // An explicit class wins over the default.
  TTCPBlockSocket explicit_none(PluginClassOf<TSSLNone>());
  EXPECT_EQ(explicit_none.TLSPlugin().LibraryName(), "ssl_none");

  SetDefaultTLSPluginClass(nullptr);
  TTCPBlockSocket reset;
  EXPECT_EQ(reset.TLSPlugin().LibraryName(), "ssl_none");
}

TEST(DefaultPluginClass, AClassThatMakesNothingStillLeavesAPlugin) {
  TTCPBlockSocket sock([](TTCPBlockSocket&) { return std::unique_ptr<TCustomSSL>(); });
  EXPECT_EQ(sock.TLSPlugin().LibraryName(), "ssl_none");
}

TEST(ProtocolClient, Defaults) {
  TProtocolClient client;
  EXPECT_EQ(client.TargetHost, "127.0.0.1");
  EXPECT_EQ(client.TargetPort, "0");
  EXPECT_EQ(client.IPInterface, "0.0.0.0");
  EXPECT_EQ(client.Timeout, 5000);
  EXPECT_EQ(client.UserName, "");
  EXPECT_EQ(client.Password, "");
}

TEST(SocketLayer, AFailedLoadIsFatalWithTheLoadMessage) {
  const int users = SocketInterfaceUsers();
  try {
    StartSocketLayerUsing([](std::string_view) { return false; });
    FAIL() << "no exception";
  } catch (const EZudiravError& e) {
    EXPECT_STREQ(e.what(), "Error loading Socket interface (ws2_32.dll)!");
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_EQ(e.ErrorMessage, "Error loading Socket interface (ws2_32.dll)!");
  }
  StopSocketLayer();  // nothing was started: nothing to release
  EXPECT_EQ(SocketInterfaceUsers(), users);
}

TEST(SocketLayer, StartAndStopHoldOneUserOfTheInterface) {
  const int users = SocketInterfaceUsers();
  StartSocketLayer();
  EXPECT_EQ(SocketInterfaceUsers(), users + 1);
  StopSocketLayer();
  EXPECT_EQ(SocketInterfaceUsers(), users);
  StopSocketLayer();
  EXPECT_EQ(SocketInterfaceUsers(), users);
}

}  // namespace
}  // namespace zud
