// An in-process FTP server for the edge cases real servers will not produce.
// A thread serves one control connection at a time on a loopback port
// (127.0.0.1 or ::1, port 0). It is ready when the constructor returns: the
// listener is bound and listening, so a client may connect at once.
//
//   ScriptedFtpServer server;                         // default verb handlers
//   server.ReplyTo("SYST", "215 UNIX Type: L8");      // fixed reply for a verb
//   server.On("PASS", [](FtpSession& s, const std::string&) {
//     s.SendInPieces("530 Login\r\n incorrect.\r\n", 4, 20);  // odd packets
//   });
//   server.Expect("USER bob", "331 Password required");   // dialogue queue,
//   server.Expect("PASS pw", "230-Hello\r\n230 Done");    // checked in order
//   ... client connects to server.host():server.port() and works ...
//   EXPECT_EQ(server.Errors(), "");
//   EXPECT_THAT(server.Commands(), ElementsAre("USER bob", "PASS pw", ..., "QUIT"));
//   EXPECT_EQ(server.File("/dir/upload.bin"), data);
//
// Each received command line is logged exactly (without CR LF) before it is
// answered. While the dialogue queue holds entries, each command must equal
// the next entry's line (a mismatch is recorded and answered with 500); once
// the queue is empty, a handler set with On()/ReplyTo() answers, else the
// default handler of the verb, else "502 Command not implemented.".
//
// Default handlers: USER 331, PASS 230, ACCT 202, TYPE/STRU/MODE 200, ALLO
// 202, REST 350 (sets the restart offset), NOOP 200, SYST 215, FEAT 211,
// HELP 214, PWD/XPWD 257, CWD/XCWD 250, CDUP/XCUP 250, MKD/XMKD 257,
// RMD/XRMD 250, DELE 250 (550 unless the file exists), RNFR 350, RNTO 250,
// SIZE 213 (550 unless the file exists), ABOR 225, QUIT 221 (then closes);
// PASV (IPv4 only) and EPSV open a passive listener, PORT and EPRT name an
// active target; STOR/APPE/STOU store into the in-memory file table, RETR
// sends a file from it (from the restart offset), LIST and NLST send the
// listing texts. Files are keyed by the argument exactly as sent.
//
// Every wait of the server times out (data waits after timeout_ms(), 10 s;
// waiting for the next command after idle_timeout_ms(), 60 s) and is ended at
// once by the destructor, which stops the thread and closes every socket.
// Instances are independent: a test may run two (e.g. one as a firewall).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/net.h"

namespace zud::test {

class ScriptedFtpServer;

// Ways to make the data side misbehave; applied to every transfer.
struct DataFaults {
  int delay_ms = 0;         // pause before accepting or connecting
  bool never_open = false;  // answer 150, then never accept/connect nor reply
  long close_after = -1;    // drop the data connection after this many bytes
  std::string final_reply{};  // replaces "226 Transfer complete." / the 426
  bool no_final_reply = false;  // send nothing after the transfer
};

// One control connection, as seen by handlers (on the server's thread).
class FtpSession {
 public:
  // Sends text + CR LF; text may hold CR LF itself (multi-line replies).
  void Reply(std::string_view text);
  // Sends exactly these bytes.
  void SendRaw(std::string_view bytes);
  // Sends bytes in pieces of piece_size with pause_ms between them (TCP_NODELAY).
  void SendInPieces(std::string_view bytes, size_t piece_size, int pause_ms);
  // Pauses the server (ended early when the server stops).
  void Sleep(int milliseconds);
  // Closes the control connection after this handler; the session ends.
  void CloseControl();
  // Never replies again; keeps logging commands until the client closes or
  // the server stops.
  void GoSilent();

  // ---- Data connections ----
  // Opens (replacing any) a passive listener on the control connection's
  // family and returns its port.
  int ListenPassive();
  // The address an active transfer connects to (set by PORT/EPRT).
  void SetActiveTarget(Endpoint target);
  bool HasDataTarget() const;
  // Accepts the passive connection or connects to the active target, after
  // faults' delay; false (error recorded) on failure or never_open.
  bool OpenData();
  // Reads the data connection to its end (or to faults' close_after).
  bool ReceiveData(std::string* out);
  bool SendData(std::string_view data);
  void CloseData();
  // Whole transfers as the default handlers run them: 150, data, final reply.
  void RunUpload(const std::string& name, bool append,
                 std::string_view preliminary = "150 Ok to send data.");
  void RunDownload(std::string_view data);

  Family family() const { return family_; }
  Endpoint control_peer() const { return control_peer_; }
  ScriptedFtpServer& server() { return server_; }
  // Adds a line to the server's Errors().
  void RecordError(const std::string& what);

  // Session state the default handlers keep; handlers may change it.
  std::string cwd = "/";
  long long restart_offset = 0;
  std::string rename_from;

 private:
  friend class ScriptedFtpServer;
  FtpSession(ScriptedFtpServer& server, UniqueFd control, Family family);
  // Whether the session goes on after the current command.
  bool open() const { return control_.valid() && !close_requested_ && !silent_; }

  ScriptedFtpServer& server_;
  UniqueFd control_;
  Family family_;
  Endpoint control_peer_;
  UniqueFd passive_listener_;
  std::optional<Endpoint> active_target_;
  UniqueFd data_;
  bool close_requested_ = false;
  bool silent_ = false;
};

using FtpHandler = std::function<void(FtpSession& session, const std::string& argument)>;

class ScriptedFtpServer {
 public:
  explicit ScriptedFtpServer(Family family = Family::kIPv4);
  ~ScriptedFtpServer();
  ScriptedFtpServer(const ScriptedFtpServer&) = delete;
  ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

  bool ok() const { return listener_.valid(); }
  const char* host() const { return LoopbackHost(family_); }
  int port() const { return port_; }
  Endpoint endpoint() const { return Endpoint{host(), port_}; }

  // ---- Behaviour (from the test's thread, before or during sessions) ----
  // The greeting sent on connect ("220 Scripted FTP server ready.").
  void SetGreeting(std::string text);
  // Replaces the greeting with a handler (argument ""), e.g. to delay or close.
  void OnConnect(FtpHandler handler);
  // Answers verb (upper case, e.g. "STOR") with handler from now on.
  void On(const std::string& verb, FtpHandler handler);
  // Answers verb with a fixed reply text.
  void ReplyTo(const std::string& verb, std::string reply);
  // Queues a dialogue entry: the next command must be exactly line.
  void Expect(std::string line, std::string reply);
  void Expect(std::string line, FtpHandler handler);
  void SetDataFaults(DataFaults faults);
  // The address PASV names (the listener stays on loopback), e.g. a foreign one.
  void SetPassiveAddress(std::string ipv4);
  void SetListing(std::string list_text, std::string name_list_text);
  void set_timeout_ms(int ms);
  void set_idle_timeout_ms(int ms);

  // ---- The in-memory file table (any thread; handlers use it too) ----
  void PutFile(const std::string& name, std::string content);
  std::optional<std::string> File(const std::string& name) const;
  std::map<std::string, std::string> Files() const;
  bool RemoveFile(const std::string& name);
  bool RenameFile(const std::string& from, const std::string& to);

  // ---- Observations (any thread) ----
  std::vector<std::string> Commands() const;
  // Problems so far; "" when everything went as scripted.
  std::string Errors() const;
  // Dialogue entries not yet played.
  std::vector<std::string> PendingDialogue() const;
  int SessionCount() const;
  // Waits until count commands have been logged / count sessions have ended.
  bool WaitForCommands(size_t count, int timeout_ms) const;
  bool WaitForSessionsEnded(int count, int timeout_ms) const;

  // Current settings, as the default handlers read them.
  DataFaults data_faults() const;
  std::string passive_address() const;  // "" unless set
  std::string listing(bool names_only) const;
  int timeout_ms() const;

 private:
  friend class FtpSession;
  struct DialogueEntry {
    std::string line;
    FtpHandler handler;
  };

  void Run();
  void Serve(FtpSession& session);
  void Dispatch(FtpSession& session, const std::string& line);
  void RecordError(const std::string& what);

  Family family_;
  UniqueFd listener_;
  int port_ = 0;
  StopSignal stop_;
  std::thread thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  FtpHandler greeting_;
  std::map<std::string, FtpHandler> handlers_;
  std::deque<DialogueEntry> dialogue_;
  DataFaults faults_;
  std::string passive_address_;
  std::string list_text_;
  std::string name_list_text_;
  std::map<std::string, std::string> files_;
  std::vector<std::string> commands_;
  std::string errors_;
  int sessions_started_ = 0;
  int sessions_ended_ = 0;
  int timeout_ms_ = kDefaultWaitMs;
  int idle_timeout_ms_ = 60000;
};

// "h1,h2,h3,h4,p1,p2" for a PASV reply, e.g. PasvNumbers("127.0.0.1", 2121)
// gives "127,0,0,1,8,73". For handlers that word the 227 reply themselves:
//   int port = session.ListenPassive();
//   session.Reply("227 Entering Passive Mode " + PasvNumbers("127.0.0.1", port));
std::string PasvNumbers(const std::string& ipv4, int port);

// Default handler of a verb, or nullptr (scripted_ftp_handlers.cpp).
const FtpHandler* DefaultFtpHandler(const std::string& verb);

}  // namespace zud::test
