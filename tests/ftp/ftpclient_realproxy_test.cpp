// TFTPSend through real proxies (dante, microsocks, tinyproxy) to vsftpd,
// with the proxy set on the control socket only: LIST and STOR must work,
// and their data connections must go through the proxy too. The client
// binds to 127.0.0.2 while the proxies leave from 127.0.0.1, and vsftpd
// refuses a data connection from another address than its control
// connection's, so a direct data connection fails the transfer.
#include <memory>
#include <string>

#include "ftp/ftpclient.h"
#include "gtest/gtest.h"
#include "support/ftp_daemons.h"
#include "support/proxy_daemons.h"

namespace zud::test {
namespace {

enum class Proxy { kDante, kMicrosocksLogin, kTinyproxy };

struct RouteCase {
  const char* name;
  Proxy proxy;
  TSocksType type;
  bool passive;
  bool data_from_control;  // DataProxyFromControl
  bool transfers;          // LIST and STOR succeed
};

std::unique_ptr<DaemonFixture> StartProxy(Proxy proxy) {
  switch (proxy) {
    case Proxy::kDante: return std::make_unique<DanteServer>();
    case Proxy::kMicrosocksLogin:
      return std::make_unique<MicrosocksServer>(ProxyCredentials{"zud", "secret"});
    case Proxy::kTinyproxy: return std::make_unique<TinyproxyServer>();
  }
  return nullptr;
}

class DataThroughProxy : public ::testing::TestWithParam<RouteCase> {};

TEST_P(DataThroughProxy, ListAndStoreGoThroughTheControlProxy) {
  const RouteCase& c = GetParam();
  VsftpdServer server;
  ZUD_REQUIRE_DAEMON(server);
  std::unique_ptr<DaemonFixture> proxy = StartProxy(c.proxy);
  ZUD_REQUIRE_DAEMON(*proxy);

  TFTPSend ftp;
  ftp.TargetHost = server.host();
  ftp.TargetPort = std::to_string(server.port());
  ftp.UserName = server.user();
  ftp.Password = server.password();
  ftp.Timeout = 10000;
  ftp.IPInterface = "127.0.0.2";
  ftp.PassiveMode = c.passive;
  ftp.DataProxyFromControl = c.data_from_control;
  TTCPBlockSocket& control = ftp.Sock();
  if (c.proxy == Proxy::kTinyproxy) {
    control.HTTPTunnelIP = proxy->host();
    control.HTTPTunnelPort = std::to_string(proxy->port());
  } else {
    control.SocksIP = proxy->host();
    control.SocksPort = std::to_string(proxy->port());
    control.SocksType = c.type;
    if (c.proxy == Proxy::kMicrosocksLogin) {
      control.SocksUsername = "zud";
      control.SocksPassword = "secret";
    }
  }
  ASSERT_TRUE(ftp.SignIn()) << ftp.ResultString() << " " << control.LastErrorText() << "\n"
                            << proxy->Log();

  EXPECT_EQ(ftp.ListDirectory("", false), c.transfers)
      << ftp.ResultString() << " " << ftp.DSock().LastErrorText() << "\n" << server.Log();
  ftp.DataStream().Clear();
  ftp.DataStream().Write("through the proxy", 17);
  ftp.DataStream().SetPosition(0);
  EXPECT_EQ(ftp.UploadFile("proxied.txt", false), c.transfers)
      << ftp.ResultString() << " " << ftp.DSock().LastErrorText();
  if (c.transfers) {
    EXPECT_EQ(server.ReadFile("proxied.txt"), "through the proxy");
  } else {
    EXPECT_EQ(ftp.ResultCode(), 425) << ftp.ResultString();  // "Bad IP connecting"
  }
  EXPECT_EQ(ftp.DSock().SocksInUse(), c.proxy != Proxy::kTinyproxy && c.data_from_control);
  // Lent for the connection only: the data socket keeps its own settings.
  EXPECT_EQ(ftp.DSock().SocksIP, "");
  EXPECT_EQ(ftp.DSock().HTTPTunnelIP, "");
  ftp.SignOff();
}

INSTANTIATE_TEST_SUITE_P(
    Routes, DataThroughProxy,
    ::testing::Values(
        RouteCase{"DanteSocks5Passive", Proxy::kDante, ST_Socks5, true, true, true},
        RouteCase{"DanteSocks4Passive", Proxy::kDante, ST_Socks4, true, true, true},
        RouteCase{"MicrosocksLoginPassive", Proxy::kMicrosocksLogin, ST_Socks5, true, true, true},
        RouteCase{"TinyproxyPassive", Proxy::kTinyproxy, ST_Socks5, true, true, true},
        RouteCase{"DanteSocks5ActiveBind", Proxy::kDante, ST_Socks5, false, true, true},
        // The proof that the rows above say something: direct data is refused.
        RouteCase{"DanteDirectDataRefused", Proxy::kDante, ST_Socks5, true, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zud::test
