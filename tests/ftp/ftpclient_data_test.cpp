// TFTPSend data connections against a scripted server: the PASV and EPSV
// reply parsers, passive and active negotiation over IPv4 and IPv6 with
// their whole transcripts, the guards against a server naming a foreign
// address and against strangers on the active-mode port, TLS on data, data
// sides that fail, and the abort.
#include "ftp/ftpclient.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "ftp/ftpclient_test_support.h"
#include "ftp/ftpclient_transfer_support.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "sockets/tlsplugin.h"
#include "support/net.h"

namespace zud::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

#define REQUIRE_FAMILY(family) \
  if (!LoopbackAvailable(family)) GTEST_SKIP() << FamilyName(family) << " loopback unavailable"

// ---- Reply parsers --------------------------------------------------------------

struct PassiveCase {
  const char* reply;
  const char* ip;
  const char* port;
};

class PassiveReply : public ::testing::TestWithParam<PassiveCase> {};

TEST_P(PassiveReply, AddressAndPort) {
  TFTPSend ftp;
  ftp.ParsePassiveReply(GetParam().reply);
  EXPECT_EQ(ftp.DataIP(), GetParam().ip);
  EXPECT_EQ(ftp.DataPort(), GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PassiveReply,
    ::testing::Values(
        PassiveCase{"227 Entering Passive Mode (192,168,0,5,19,137)", "192.168.0.5", "5001"},
        PassiveCase{"227 Entering Passive Mode (192,168,0,5,19,137).", "192.168.0.5", "5001"},
        PassiveCase{"227 Entering Passive Mode 10,0,0,1,4,1", "10.0.0.1", "1025"},
        PassiveCase{"227 Entering Passive Mode ( 10, 0, 0, 1, 4, 1 )", "10.0.0.1", "1025"},
        PassiveCase{"  227 Entering Passive Mode 10,0,0,1,4,1\r\n\t", "10.0.0.1", "1025"},
        PassiveCase{"227 =10,0,0,1,4,1", "=10.0.0.1", "1025"},
        PassiveCase{"10,0,0,1,4,1", "10.0.0.1", "1025"},
        // A port field that is not a number counts as 0.
        PassiveCase{"227 Entering Passive Mode (10,0,0,1,4,x)", "10.0.0.1", "1024"},
        PassiveCase{"227 Entering Passive Mode (10,0,0,1,y,7)", "10.0.0.1", "7"},
        PassiveCase{"227 Entering Passive Mode (10,0,0,1)", "10.0.0.1", "0"},
        // ")" before "(": nothing between them.
        PassiveCase{"227 odd )1,2,3,4,5,6(", "...", "0"},
        // Huge fields give an unusable port, computed without overflow.
        PassiveCase{"227 (1,2,3,4,2147483647,2147483647)", "1.2.3.4", "551903297279"}));

struct ExtendedCase {
  const char* reply;
  const char* port;
};

class ExtendedPassiveReply : public ::testing::TestWithParam<ExtendedCase> {};

TEST_P(ExtendedPassiveReply, PortAndTargetHost) {
  TFTPSend ftp;
  ftp.TargetHost = "ftp.example.org";
  ftp.ParseExtendedPassiveReply(GetParam().reply);
  EXPECT_EQ(ftp.DataPort(), GetParam().port);
  EXPECT_EQ(ftp.DataIP(), "ftp.example.org");
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ExtendedPassiveReply,
    ::testing::Values(ExtendedCase{"229 Extended Passive Mode OK (|||5001|)", "5001"},
                      ExtendedCase{"229 Entering Extended Passive Mode (!!!6000!).", "6000"},
                      ExtendedCase{"229 ( |||7000| )", "7000"},
                      ExtendedCase{"229 no parentheses |||8000|", "8000"},
                      ExtendedCase{"229 (|||abc|)", ""}, ExtendedCase{"229 ()", ""},
                      // The last character is taken for the delimiter.
                      ExtendedCase{"229 Entering Extended Passive Mode 9000", "900"}));

// ---- Negotiation ------------------------------------------------------------------

struct NegotiationCase {
  const char* name;
  Family family;
  bool passive;
  bool force_old_port;
  const char* refused_verb;  // answered "500 Not today." ("" for none)
  bool succeeds;
  // The expected commands; "{PORT}" and "{EPRT}" stand for the command with
  // the address and port the client chose.
  std::vector<std::string> commands;
};

std::string Expand(const std::string& command, const TFTPSend& ftp) {
  if (command == "{PORT}") {
    const int port = std::stoi(ftp.DataPort());
    std::string address = ftp.DataIP();
    for (char& c : address) {
      if (c == '.') c = ',';
    }
    return "PORT " + address + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
  }
  if (command == "{EPRT}") return "EPRT |2|" + ftp.DataIP() + "|" + ftp.DataPort() + "|";
  return command;
}

class Negotiation : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(Negotiation, CommandsAndOutcome) {
  const NegotiationCase& c = GetParam();
  REQUIRE_FAMILY(c.family);
  ScriptedConversation talk(c.family);
  ASSERT_TRUE(talk.SignIn()) << talk.server.Errors();
  if (*c.refused_verb != '\0') talk.server.ReplyTo(c.refused_verb, "500 Not today.");
  talk.ftp.PassiveMode = c.passive;
  talk.ftp.ForceOldPort = c.force_old_port;

  EXPECT_EQ(talk.ftp.PrepareDataConnection(), c.succeeds);
  std::vector<std::string> expected;
  for (const std::string& command : c.commands) expected.push_back(Expand(command, talk.ftp));
  EXPECT_EQ(talk.Commands(), expected);
  if (c.succeeds) {
    EXPECT_EQ(talk.ftp.DataIP(), LoopbackHost(c.family));
    EXPECT_NE(talk.ftp.DSock().Handle(), kInvalidSocket);
    if (!c.passive) {
      EXPECT_EQ(std::to_string(talk.ftp.DSock().LocalPortNumber()), talk.ftp.DataPort());
    }
  }
  EXPECT_EQ(talk.server.Errors(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Negotiation,
    ::testing::Values(
        // Over IPv4 PASV is used whatever ForceOldPort says.
        NegotiationCase{"PassiveIPv4", Family::kIPv4, true, false, "", true, {"PASV"}},
        NegotiationCase{"PassiveIPv4OldPort", Family::kIPv4, true, true, "", true, {"PASV"}},
        NegotiationCase{"PassiveIPv4Refused", Family::kIPv4, true, false, "PASV", false,
                        {"PASV"}},
        NegotiationCase{"PassiveIPv6", Family::kIPv6, true, false, "", true, {"EPSV 2"}},
        // PASV cannot name an IPv6 address: nothing is sent at all.
        NegotiationCase{"PassiveIPv6OldPort", Family::kIPv6, true, true, "", false, {}},
        // EPSV refused: PASV is not tried over IPv6.
        NegotiationCase{"PassiveIPv6EpsvRefused", Family::kIPv6, true, false, "EPSV", false,
                        {"EPSV 2"}},
        NegotiationCase{"ActiveIPv4", Family::kIPv4, false, false, "", true, {"{PORT}"}},
        NegotiationCase{"ActiveIPv4OldPort", Family::kIPv4, false, true, "", true, {"{PORT}"}},
        NegotiationCase{"ActiveIPv4Refused", Family::kIPv4, false, false, "PORT", false,
                        {"{PORT}"}},
        NegotiationCase{"ActiveIPv6", Family::kIPv6, false, false, "", true, {"{EPRT}"}},
        // PORT cannot carry an IPv6 address either.
        NegotiationCase{"ActiveIPv6OldPort", Family::kIPv6, false, true, "", false, {}},
        NegotiationCase{"ActiveIPv6EprtRefused", Family::kIPv6, false, false, "EPRT", false,
                        {"{EPRT}"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ActiveMode, ListensOnTheAdvertisedPortAndReceivesTheServersConnection) {
  for (Family family : {Family::kIPv4, Family::kIPv6}) {
    if (!LoopbackAvailable(family)) continue;
    SCOPED_TRACE(FamilyName(family));
    ScriptedConversation talk(family);
    ASSERT_TRUE(talk.SignIn());
    talk.server.PutFile("f", "active payload");
    talk.ftp.PassiveMode = false;
    ASSERT_TRUE(talk.ftp.DownloadFile("f", false)) << talk.ftp.ResultString();
    EXPECT_EQ(talk.ftp.DataStream().Data(), "active payload");
    EXPECT_EQ(talk.server.Errors(), "");
  }
}

TEST(ActiveMode, PortTwentyThatCannotBeBoundFailsBeforeAnyCommand) {
  // Hold port 20 on the control connection's address ourselves.
  std::string why;
  UniqueFd holder = ListenTcp("127.0.0.1", 20, &why);
  if (!holder.valid()) GTEST_SKIP() << "cannot hold port 20 for the test: " << why;
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.ftp.PassiveMode = false;
  talk.ftp.ForceDefaultPort = true;
  EXPECT_FALSE(talk.ftp.PrepareDataConnection());
  EXPECT_NE(talk.ftp.DSock().LastErrorCode(), 0);
  EXPECT_THAT(talk.Commands(), IsEmpty());
}

// A plug-in that agrees to the first succeed_count handshakes (without
// starting a session, so the bytes stay readable) and remembers the CA file
// setting each handshake saw.
class TRecordingSSL : public TCustomSSL {
 public:
  using TCustomSSL::TCustomSSL;
  bool ClientHandshake() override {
    ++handshakes;
    seen_ca_files.push_back(CertCAFile);
    if (handshakes > succeed_count) {
      SetPluginError(1, "handshake refused");
      return false;
    }
    ClearPluginError();
    return true;
  }
  static inline int handshakes = 0;
  static inline int succeed_count = 0;
  static inline std::vector<std::string> seen_ca_files;
};

class DataTLS : public ::testing::Test {
 protected:
  DataTLS() : plugin_(PluginClassOf<TRecordingSSL>()) {
    TRecordingSSL::handshakes = 0;
    TRecordingSSL::succeed_count = 100;
    TRecordingSSL::seen_ca_files.clear();
    talk_ = std::make_unique<ScriptedConversation>();
    talk_->server.ReplyTo("AUTH", "234 Proceed with negotiation.");
    talk_->server.ReplyTo("PBSZ", "200 PBSZ set to 0.");
    talk_->server.ReplyTo("PROT", "200 PROT now Private.");
    talk_->server.PutFile("f", "secret");
    talk_->ftp.AutoTLS = true;
  }

  ScopedDefaultTLSPlugin plugin_;
  std::unique_ptr<ScriptedConversation> talk_;
};

TEST_F(DataTLS, ForcesPassiveModeForGoodAndStartsTLSWithTheControlSettings) {
  ScriptedConversation& talk = *talk_;
  ASSERT_TRUE(talk.SignIn());
  ASSERT_TRUE(talk.ftp.IsDataTLS());
  talk.ftp.Sock().TLSPlugin().CertCAFile = "ca.pem";
  talk.ftp.PassiveMode = false;
  ASSERT_TRUE(talk.ftp.DownloadFile("f", false)) << talk.ftp.ResultString();
  EXPECT_TRUE(talk.ftp.PassiveMode);
  EXPECT_EQ(talk.ftp.DataStream().Data(), "secret");
  EXPECT_THAT(talk.Commands(), ElementsAre("PASV", "TYPE I", "RETR f"));
  // The control handshake at login, then the data handshake with the
  // settings copied from the control connection's plug-in.
  EXPECT_THAT(TRecordingSSL::seen_ca_files, ElementsAre("", "ca.pem"));
  EXPECT_EQ(talk.ftp.DSock().TLSPlugin().CertCAFile, "ca.pem");
}

TEST_F(DataTLS, AFailedDataHandshakeFailsTheTransfer) {
  ScriptedConversation& talk = *talk_;
  TRecordingSSL::succeed_count = 1;
  ASSERT_TRUE(talk.SignIn());
  ASSERT_TRUE(talk.ftp.IsDataTLS());
  EXPECT_FALSE(talk.ftp.DownloadFile("f", false));
  EXPECT_EQ(TRecordingSSL::handshakes, 2);
  EXPECT_EQ(talk.ftp.DSock().Handle(), kInvalidSocket);
  EXPECT_THAT(talk.Commands(), ElementsAre("PASV", "TYPE I", "RETR f"));
}

// ---- The address of a passive data connection ----------------------------------

struct ForeignCase {
  const char* name;
  const char* named_address;
  bool trust;
  bool succeeds;
  const char* data_ip;
};

class PassiveAddress : public ::testing::TestWithParam<ForeignCase> {};

TEST_P(PassiveAddress, GoesToTheControlPeerUnlessTrusted) {
  const ForeignCase& c = GetParam();
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.SetPassiveAddress(c.named_address);
  talk.server.PutFile("f", "data");
  talk.ftp.TrustPassiveAddress = c.trust;
  EXPECT_EQ(talk.ftp.DownloadFile("f", false), c.succeeds);
  EXPECT_EQ(talk.ftp.DataIP(), c.data_ip);
  if (c.succeeds) {
    EXPECT_EQ(talk.ftp.DataStream().Data(), "data");
    EXPECT_THAT(talk.Commands(), ElementsAre("PASV", "TYPE I", "RETR f"));
  } else {
    // Nothing listens there: the connect fails before the transfer command.
    EXPECT_THAT(talk.Commands(), ElementsAre("PASV"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PassiveAddress,
    ::testing::Values(
        // A documentation address: were it used, the connect would go nowhere.
        ForeignCase{"ForeignHostIgnored", "192.0.2.1", false, true, "127.0.0.1"},
        ForeignCase{"OtherLoopbackIgnored", "127.0.0.2", false, true, "127.0.0.1"},
        // Trusted, the named address is used: the server listens on
        // 127.0.0.1 only, so 127.0.0.2 refuses at once.
        ForeignCase{"TrustedAddressUsed", "127.0.0.2", true, false, "127.0.0.2"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Strangers on the active-mode port -----------------------------------------

// Makes the server connect a stranger from 127.0.0.2 to the client's active
// data port (learned from PORT) before it answers the transfer command.
class StrangerFirst {
 public:
  explicit StrangerFirst(ScriptedFtpServer& server) {
    server.On("PORT", [this](FtpSession& s, const std::string& argument) {
      int v[6];
      if (std::sscanf(argument.c_str(), "%d,%d,%d,%d,%d,%d", &v[0], &v[1], &v[2], &v[3], &v[4],
                      &v[5]) == 6) {
        port_ = v[4] * 256 + v[5];
      }
      (*DefaultFtpHandler("PORT"))(s, argument);
    });
  }
  // Connects the stranger and sends it a forged file; true when connected.
  bool Connect() {
    std::string why;
    stranger_ = ConnectTcp("127.0.0.1", port_, kDefaultWaitMs, &why, "127.0.0.2");
    if (!stranger_.valid()) {
      error_ = why;
      return false;
    }
    return SendAll(stranger_.get(), "forged file contents");
  }
  // Whether the client closed the stranger's connection (end of stream or a
  // reset) without sending it anything.
  bool WasTurnedAway() {
    if (WaitFd(stranger_.get(), POLLIN, kDefaultWaitMs) != WaitResult::kReady) return false;
    char byte;
    return ::recv(stranger_.get(), &byte, 1, 0) <= 0;
  }
  const std::string& error() const { return error_; }

 private:
  int port_ = 0;
  UniqueFd stranger_;
  std::string error_;
};

TEST(ActiveMode, AStrangerConnectingFirstIsTurnedAwayAndTheServerStillGetsIn) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  StrangerFirst stranger(talk.server);
  std::atomic<bool> stranger_connected{false};
  talk.server.On("RETR", [&](FtpSession& s, const std::string&) {
    stranger_connected = stranger.Connect();
    s.RunDownload("the real file");
  });
  talk.ftp.PassiveMode = false;
  ASSERT_TRUE(talk.ftp.DownloadFile("f", false)) << talk.ftp.ResultString();
  ASSERT_TRUE(stranger_connected) << stranger.error();
  EXPECT_EQ(talk.ftp.DataStream().Data(), "the real file");
  EXPECT_TRUE(stranger.WasTurnedAway());
  EXPECT_THAT(talk.Commands(), ElementsAre(::testing::StartsWith("PORT 127,0,0,1,"), "TYPE I",
                                           "RETR f"));
  EXPECT_EQ(talk.server.Errors(), "");
}

TEST(ActiveMode, AStrangerAloneIsNeverTakenForTheServer) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  StrangerFirst stranger(talk.server);
  std::atomic<bool> stranger_connected{false};
  talk.server.On("STOR", [&](FtpSession& s, const std::string&) {
    stranger_connected = stranger.Connect();
    s.Reply("150 Ok to send data.");  // and never connects
  });
  talk.ftp.PassiveMode = false;
  talk.ftp.Timeout = 1000;
  talk.ftp.DataStream().Write("abc", 3);
  EXPECT_FALSE(talk.ftp.UploadFile("f", false));
  ASSERT_TRUE(stranger_connected) << stranger.error();
  EXPECT_TRUE(stranger.WasTurnedAway());
  // No final reply was read: the last reply is still the 150.
  EXPECT_EQ(talk.ftp.ResultCode(), 150);
  EXPECT_TRUE(talk.ftp.SendNoOp());
}

// ---- Data sides that fail -------------------------------------------------------------

TEST(Upload, AFailedSendStillReadsTheFinalReplyAndFails) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  // The server drops the data connection at once but claims success.
  talk.server.SetDataFaults({.close_after = 0, .final_reply = "226 All fine, really."});
  talk.ftp.DataStream().Write(RandomBytes(16 << 20).data(), 16 << 20);
  EXPECT_FALSE(talk.ftp.UploadFile("f", false));
  EXPECT_NE(talk.ftp.DSock().LastErrorCode(), 0);
  EXPECT_EQ(talk.ftp.ResultCode(), 226);
  EXPECT_EQ(talk.ftp.ResultString(), "226 All fine, really.");
  EXPECT_THAT(talk.Commands(), ElementsAre("PASV", "TYPE I", "ALLO 16777216", "REST 0", "STOR f"));
  EXPECT_TRUE(talk.ftp.SendNoOp());
}

struct FinalReplyCase {
  const char* name;
  DataFaults faults;
  bool succeeds;
  int code;
};

class FinalReply : public ::testing::TestWithParam<FinalReplyCase> {};

TEST_P(FinalReply, DecidesTheDownload) {
  const FinalReplyCase& c = GetParam();
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.PutFile("f", "0123456789");
  talk.server.SetDataFaults(c.faults);
  talk.ftp.Timeout = 1000;
  EXPECT_EQ(talk.ftp.DownloadFile("f", false), c.succeeds);
  EXPECT_EQ(talk.ftp.ResultCode(), c.code);
  EXPECT_EQ(talk.ftp.DSock().Handle(), kInvalidSocket);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FinalReply,
    ::testing::Values(
        FinalReplyCase{"Complete", {}, true, 226},
        FinalReplyCase{"ErrorAfterAllData", {.final_reply = "451 Local error."}, false, 451},
        // The data ends early but the server says it is done: its word counts.
        FinalReplyCase{"CutShortButConfirmed", {.close_after = 4, .final_reply = "226 Done."},
                       true, 226},
        FinalReplyCase{"NoFinalReply", {.no_final_reply = true}, false, 0},
        // The server answers 150 but never opens the data connection; in
        // passive mode the connect itself went through, so the client waits
        // for data and then for a reply, both in vain.
        FinalReplyCase{"DataNeverOpened", {.never_open = true}, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Download, DataThatStopsFlowingEndsAtTheTimeoutAndTheReplyDecides) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  // The server confirms the transfer but keeps the data connection open:
  // only the client's wait for more data can end it.
  talk.server.On("RETR", [](FtpSession& s, const std::string&) {
    s.Reply("150 Here it comes.");
    if (!s.OpenData()) return;
    s.SendData("partial");
    s.Reply("226 Done anyway.");
    std::string ignored;
    s.ReceiveData(&ignored);  // until the client closes
    s.CloseData();
  });
  talk.ftp.Timeout = 300;
  EXPECT_TRUE(talk.ftp.DownloadFile("f", false));
  EXPECT_EQ(talk.ftp.DataStream().Data(), "partial");
  EXPECT_EQ(talk.ftp.ResultCode(), 226);
}

TEST(ActiveMode, NoConnectionWithinTimeoutFailsWithoutReadingTheFinalReply) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  talk.server.PutFile("f", "x");
  talk.server.SetDataFaults({.never_open = true});
  talk.ftp.PassiveMode = false;
  talk.ftp.Timeout = 500;
  EXPECT_FALSE(talk.ftp.DownloadFile("f", false));
  EXPECT_EQ(talk.ftp.ResultCode(), 150);
  EXPECT_EQ(talk.ftp.DSock().Handle(), kInvalidSocket);
  // The control connection is still usable.
  EXPECT_TRUE(talk.ftp.SendNoOp());
}

// ---- Abort ---------------------------------------------------------------------------------

struct AbortCase {
  const char* name;
  bool telnet;
  std::string line;
};

class Abort : public ::testing::TestWithParam<AbortCase> {};

TEST_P(Abort, BytesOnTheWireAndStopFlag) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  // No answer, so that nothing is left unread for the next command.
  talk.server.On("ABOR", [](FtpSession&, const std::string&) {});
  StatusRecorder status;
  status.Attach(talk.ftp);
  if (GetParam().telnet) {
    talk.ftp.TelnetAbortTransfer();
  } else {
    talk.ftp.AbortTransfer();
  }
  EXPECT_TRUE(talk.ftp.DSock().StopFlag);
  ASSERT_TRUE(talk.WaitForCommands(1));
  EXPECT_THAT(talk.Commands(), ElementsAre(GetParam().line));
  // Neither a command report nor a reply read.
  EXPECT_THAT(status.entries, IsEmpty());
  EXPECT_TRUE(talk.ftp.SendNoOp());
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Abort,
    ::testing::Values(AbortCase{"Plain", false, "ABOR"},
                      AbortCase{"Telnet", true, std::string("\xFF\xF4\xFF\xF2") + "ABOR"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Abort, StopsADownloadInProgressFromAnotherThread) {
  ScriptedConversation talk;
  ASSERT_TRUE(talk.SignIn());
  const std::string first(1000, 'a');
  std::promise<void> first_sent;
  std::promise<void> aborted;
  std::shared_future<void> aborted_future = aborted.get_future().share();
  talk.server.On("RETR", [&](FtpSession& s, const std::string&) {
    s.Reply("150 Here it comes.");
    if (!s.OpenData()) return;
    s.SendData(first);
    first_sent.set_value();
    aborted_future.wait_for(std::chrono::milliseconds(kDefaultWaitMs));
    s.SendData(std::string(100000, 'b'));
    s.CloseData();
    // All sent, as far as the server can tell: the stop must still count.
    s.Reply("226 Transfer complete.");
  });
  talk.server.On("ABOR", [](FtpSession& s, const std::string&) { s.Reply("226 Abort ok."); });
  std::future<bool> download =
      std::async(std::launch::async, [&] { return talk.ftp.DownloadFile("f", false); });
  ASSERT_EQ(first_sent.get_future().wait_for(std::chrono::milliseconds(kDefaultWaitMs)),
            std::future_status::ready);
  talk.ftp.AbortTransfer();
  aborted.set_value();
  EXPECT_FALSE(download.get());
  // Stopped at the next piece: nothing of the second piece was taken.
  EXPECT_LE(talk.ftp.DataStream().Size(), static_cast<int64_t>(first.size()));
  EXPECT_EQ(talk.ftp.DataStream().Data(), first.substr(0, talk.ftp.DataStream().Data().size()));
}

// ---- LastFailure ----------------------------------------------------------------

// A port nobody listens on: bound, then closed again.
int ClosedPort() {
  UniqueFd listener = ListenTcp("127.0.0.1", 0);
  return LocalEndpoint(listener.get()).port;
}

struct FailureCase {
  const char* name;
  std::function<void(ScriptedFtpServer&)> script;
  std::function<bool(TFTPSend&)> operation;  // after SignIn, unless it is SignIn
  TFTPFailure expected;
};

class LastFailureOf : public ::testing::TestWithParam<FailureCase> {};

TEST_P(LastFailureOf, NamesTheCodeKindAndSite) {
  const FailureCase& c = GetParam();
  ScopedDefaultTLSPlugin none(PluginClassOf<TSSLNone>());
  ScriptedFtpServer server;
  c.script(server);
  TFTPSend ftp;
  AimAt(ftp, server, 1000);
  ftp.LeanSignIn = true;
  EXPECT_FALSE(c.operation(ftp));
  const TFTPFailure f = ftp.LastFailure();
  EXPECT_EQ(f.code, c.expected.code) << f.text;
  EXPECT_EQ(f.kind, c.expected.kind) << f.text;
  EXPECT_EQ(f.where, c.expected.where) << f.text;
  if (!c.expected.text.empty()) {
    EXPECT_EQ(f.text, c.expected.text);
  }
}

const auto kPasvToClosedPort = [](ScriptedFtpServer& server) {
  const int port = ClosedPort();
  server.On("PASV", [port](FtpSession& s, const std::string&) {
    s.Reply("227 Entering Passive Mode (" + PasvNumbers("127.0.0.1", port) + ")");
  });
};

INSTANTIATE_TEST_SUITE_P(
    Cases, LastFailureOf,
    ::testing::Values(
        FailureCase{"LoginRefused",
                    [](ScriptedFtpServer& s) { s.ReplyTo("PASS", "530 Login incorrect."); },
                    [](TFTPSend& ftp) { return ftp.SignIn(); },
                    {530, TFailureKind::None, "530 Login incorrect.", TFailureSite::Reply}},
        FailureCase{"TLSRefusedByThePlugin",
                    [](ScriptedFtpServer& s) { s.ReplyTo("AUTH", "234 Go ahead"); },
                    [](TFTPSend& ftp) {
                      ftp.AutoTLS = true;
                      return ftp.SignIn();
                    },
                    {10091, TFailureKind::TLSHandshake, "SSL/TLS support is not compiled!",
                     TFailureSite::TLS}},
        FailureCase{"DataConnectionRefused", kPasvToClosedPort,
                    [](TFTPSend& ftp) {
                      return ftp.SignIn() && ftp.ListDirectory("", false);
                    },
                    {10061, TFailureKind::Socket, "", TFailureSite::Data}},
        FailureCase{"ReplyAfterAFailedDataConnection", kPasvToClosedPort,
                    [](TFTPSend& ftp) {
                      if (!ftp.SignIn()) return true;
                      ftp.ListDirectory("", false);
                      return ftp.DeleteRemoteFile("missing");
                    },
                    {550, TFailureKind::None, "", TFailureSite::Reply}},
        FailureCase{"SilentServer",
                    [](ScriptedFtpServer& s) {
                      s.On("CWD", [](FtpSession& session, const std::string&) {
                        session.GoSilent();
                      });
                    },
                    [](TFTPSend& ftp) { return ftp.SignIn() && ftp.ChangeDirectory("x"); },
                    {10060, TFailureKind::Timeout, "", TFailureSite::Control}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zud::test
