// TFTPSend: the FTP client engine (RFC 959, with EPSV/EPRT from RFC 2428 and
// AUTH TLS, PBSZ and PROT from RFC 4217).
//
// One object holds the settings of one FTP conversation, owns the control
// connection (Sock) and the data connection (DSock), and offers the login,
// transfer and file operations. Several conversations may run one after the
// other on the same object: SignIn reconnects from scratch.
//
// Every command goes out through SendCommand and every reply comes in through
// ReadReply; both report through OnStatus. An operation judges its outcome by
// the reply class, the reply code divided by 100 (1 preliminary, 2 done,
// 3 more input needed, 0 no code recognised). Failures are reported as
// results (false, -1 or an empty string) with the last reply left in
// ResultCode, ResultString and FullResult; nothing here throws of its own,
// except that opening a local file for DirectFile may raise EFileOpenError.
//
// Threads: an object is used by one thread at a time. The one exception is
// AbortTransfer / TelnetAbortTransfer, which another thread may call while a
// transfer runs.
//
// Sources: ftpclient.cpp (construction, control channel, login, logout),
// ftpclient_data.cpp (data connections), ftpclient_files.cpp (file and
// directory operations).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftplist.h"
#include "sockets/protocolclient.h"
#include "sockets/tcpsocket.h"
#include "util/api.h"
#include "util/stream.h"

namespace ZUD_API zud {

class TFTPSend;

// Reports every command sent (response false) and every reply line received
// (response true). value is the command exactly as sent (passwords included,
// masking is the receiver's business) or the line without its line end.
using TFTPStatus =
    std::function<void(TFTPSend& sender, bool response, const std::string& value)>;

// A login sequence: six steps of three bytes each (action, next step on a
// class-2 reply, next step on a class-3 reply). A step is addressed by the
// offset of its first byte (0, 3, ..., 15); 255 as a next step means logged
// in, 254 means refused. Actions:
//   0 "USER " + UserName               6 "USER " + UserName + "@" + host
//   1 "PASS " + Password               7 "OPEN " + host
//   2 "ACCT " + Account                8 "USER " + FWUsername + "@" + host
//   3 "USER " + FWUsername             9 "USER " + UserName + "@" + host + " " + FWUsername
//   4 "PASS " + FWPassword            10 "USER " + UserName + "@" + FWUsername + "@" + host
//   5 "SITE " + host                  11 "PASS " + Password + "@" + FWPassword
// where host is TargetHost, followed by ":" + TargetPort unless TargetPort is
// exactly "21".
using TLoginTable = std::array<uint8_t, 18>;

// Where the failure of an operation was recorded.
enum class TFailureSite : uint8_t {
  None,     // no failure
  Control,  // the control socket (connect, proxy, send, reply timeout)
  Data,     // the data socket (connect, listen, accept, transfer)
  TLS,      // a TLS plug-in, on either connection (the kind says which)
  Reply,    // the server's reply refused the step (code 4xx/5xx, or none)
};

// One failure: LastErrorCode and LastErrorKind of the socket, or the reply
// code (kind None) with the reply line as text.
struct TFTPFailure {
  int code = 0;
  TFailureKind kind = TFailureKind::None;
  std::string text;
  TFailureSite where = TFailureSite::None;
};

class TFTPSend : public TProtocolClient {
 public:
  // A control line longer than this, or a reply longer than kMaxReplyBytes
  // in all, ends the read as a failed reply (code 0): a server cannot make
  // the client buffer without bound.
  static constexpr int32_t kMaxReplyLineLength = 64 * 1024;
  static constexpr size_t kMaxReplyBytes = 1024 * 1024;
  // A login gives up after this many commands (a custom table may loop).
  static constexpr int kMaxLoginSteps = 64;
  // A greeting gives up after this many preliminary (1xx) replies, so a
  // server that keeps saying "wait" cannot hold the client for ever.
  static constexpr int kMaxPreliminaryGreetings = 64;

  // Creates the reply list, DataStream, Sock, DSock and FtpList (both
  // sockets with NoDelay on), then sets Timeout 300000, TargetPort "21",
  // UserName "anonymous" and Password "visitorid@" + the local machine name.
  TFTPSend();
  // Frees DSock, Sock, FtpList, DataStream and the reply list, in that order;
  // the sockets close without sending QUIT.
  virtual ~TFTPSend();
  TFTPSend(const TFTPSend&) = delete;
  TFTPSend& operator=(const TFTPSend&) = delete;

  // ---- Hook -------------------------------------------------------------------
  TFTPStatus OnStatus;

  // ---- Settings (read-write) ------------------------------------------------------
  std::string Account;           // for ACCT
  std::string FWHost;            // firewall / proxy host; empty: direct connection
  std::string FWPort = "21";
  std::string FWUsername;
  std::string FWPassword;
  int32_t FWMode = 0;            // login variant 0..8, -1 for CustomLoginTable
  bool DirectFile = false;       // transfer from/to DirectFileName, not DataStream
  std::string DirectFileName;
  bool PassiveMode = true;       // the client connects the data connection
  bool ForceDefaultPort = false; // active mode listens on local port 20
  bool ForceOldPort = false;     // never use EPSV / EPRT
  bool BinaryMode = true;        // "TYPE I" rather than "TYPE A" for transfers
  bool AutoTLS = false;          // send "AUTH TLS" after the greeting
  bool TLSonData = true;         // with TLS on, ask for protected data ("PROT P")
  bool FullSSL = false;          // start TLS right after connecting (implicit TLS)
  // With TLS asked for (AutoTLS or FullSSL): a refused "AUTH TLS", or a
  // refused "PROT P" while TLSonData is set, fails SignIn instead of going on
  // in clear; no credential is ever sent without TLS.
  bool RequireTLS = false;
  // When true, SignIn ends with "TYPE I" (or "TYPE A" when BinaryMode is
  // false) alone: no "STRU F" and "MODE S" (every server's defaults) and no
  // restart probe (CanResume stays false). For clients that send REST
  // themselves and count round trips, such as one of many sessions.
  bool LeanSignIn = false;
  // With protected data: keep active mode (the server connects, the client
  // still runs the TLS client side) instead of switching to passive for good.
  bool ActiveDataTLS = false;
  // When false, a PASV data connection goes to the control connection's peer
  // address and only the port of the PASV reply is used: a server (or a man
  // in the middle) cannot point the client at a third host, and a server
  // behind NAT that names its private address still works. When true, the
  // address the server names is used unchanged.
  bool TrustPassiveAddress = false;
  // Data connections take the proxy of the control connection (Sock's
  // SOCKS or HTTP tunnel settings) unless DSock has a proxy of its own:
  // a passive connect goes through the same SOCKS proxy or HTTP tunnel; an
  // active listen goes through SOCKS BIND on the same SOCKS proxy, and stays
  // direct behind an HTTP tunnel (which cannot listen). DSock's own settings
  // are left as they are. False: data connections use only DSock's settings.
  bool DataProxyFromControl = true;
  // The login sequence used when FWMode is -1 (see TLoginTable).
  TLoginTable CustomLoginTable{};

  // ---- Read-only state ----------------------------------------------------------
  // The sockets and DataStream are read-only as members; the objects
  // themselves may be configured (proxies, TLS plug-in settings, contents).
  TTCPBlockSocket& Sock() { return *sock_; }
  const TTCPBlockSocket& Sock() const { return *sock_; }
  TTCPBlockSocket& DSock() { return *dsock_; }
  const TTCPBlockSocket& DSock() const { return *dsock_; }
  // Code of the last reply, 0 when none was recognised.
  int32_t ResultCode() const { return result_code_; }
  // The last line read: the final line of the last reply, "" after a failure.
  const std::string& ResultString() const { return result_string_; }
  // Every line read for the last reply, in order of arrival.
  const std::vector<std::string>& FullResult() const { return full_result_; }
  // Source of uploads and target of downloads and listings (DirectFile off).
  TMemoryStream& DataStream() { return *data_stream_; }
  const TMemoryStream& DataStream() const { return *data_stream_; }
  // Address and port of the data connection last negotiated.
  const std::string& DataIP() const { return data_ip_; }
  const std::string& DataPort() const { return data_port_; }
  // The server accepted the restart probe at the last SignIn.
  bool CanResume() const { return can_resume_; }
  TFTPList& FtpList() { return *ftp_list_; }
  const TFTPList& FtpList() const { return *ftp_list_; }
  // Why the last operation that returned false failed, in one place: the
  // control socket's error, else the data socket's error (when the operation
  // used a data connection and it did not end normally), else a refusing or
  // missing reply. A failure of the TLS plug-in is reported as site TLS.
  // Each command sent outside a data exchange starts afresh, so read it
  // right after the failed call; after one that succeeded it is meaningless.
  TFTPFailure LastFailure() const;
  bool IsTLS() const { return is_tls_; }          // control connection protected
  bool IsDataTLS() const { return is_data_tls_; } // data connections protected

  // ---- Virtual operations, in slot order ----------------------------------------
  // Runs the USER/PASS/ACCT dialogue of login variant mode (FWMode; variant 0
  // whenever FWHost is empty, -1 CustomLoginTable, unknown values variant 0).
  // False on a reply of class other than 2 or 3, on a step that leads to
  // "refused", on an invalid custom table (nothing is sent) and after
  // kMaxLoginSteps commands.
  virtual bool RunLoginSequence(int32_t mode);
  // Closes Sock, binds it to IPInterface and connects to FWHost:FWPort (when
  // FWHost is set) or TargetHost:TargetPort; with FullSSL starts TLS. True
  // when Sock records no error.
  virtual bool OpenControlConnection();
  // Stores source data with command ("STOR name", "STOU", "APPE name") from
  // restart_offset: data connection, "TYPE I"/"TYPE A", "ALLO n", "REST n"
  // (class 3, only when CanResume), command (class 1), final reply (class 2).
  // True at once, without a store command, when the source is not empty and
  // its size equals the offset.
  virtual bool UploadFromSource(const std::string& command, int64_t restart_offset);
  // Negotiates the data connection: passive "EPSV 2" (IPv6) or "PASV"
  // (class 2) and a connect; active "EPRT |f|ip|port|" (IPv6) or "PORT"
  // (class 2) on a listening DSock. Sets DataIP and DataPort.
  virtual bool PrepareDataConnection();
  // Active mode: waits up to Timeout for the server's connection. Starts TLS
  // on DSock when IsDataTLS. False on timeout or a failed TLS start.
  virtual bool AcceptDataConnection();
  // Calls OnStatus when set.
  virtual void EmitStatus(bool response, const std::string& value);
  // Reads one complete reply (single- or multi-line) without sending
  // anything; Timeout bounds the whole reply, not each packet. Returns its
  // code, 0 when none was recognised or the read failed (timeout, closed
  // connection, line or reply too long). A first line starting "SSH-" (an
  // SSH server's greeting) ends the read at once with 0.
  virtual int ReadReply();
  // Sets DataIP and DataPort from a "227 ... (h1,h2,h3,h4,p1,p2)" line.
  virtual void ParsePassiveReply(const std::string& reply);
  // Sets DataPort from a "229 ... (|||port|)" line and DataIP := TargetHost.
  virtual void ParseExtendedPassiveReply(const std::string& reply);
  // Drops unread input, sends command + CR LF and reads the reply; returns
  // its code. A command holding CR or LF is not sent: 0, with an empty
  // FullResult and no report.
  virtual int SendCommand(const std::string& command);
  // Connects, reads the greeting (class 1 skipped, then class 2 required;
  // all of it within Timeout), negotiates TLS, logs in, sends "TYPE I",
  // "STRU F", "MODE S" and probes restart support with "REST 0" / "REST 1"
  // (see LeanSignIn).
  // False on any failed step; the control connection may then still be open.
  virtual bool SignIn();
  // Sends "QUIT" and closes Sock whatever the reply; true when QUIT got class 2.
  // After a wait on the server ran out, the answer is awaited for at most a
  // second.
  virtual bool SignOff();
  // Sends "ABOR" + CR LF directly (no report, no reply read) and sets
  // StopFlag on DSock.
  virtual void AbortTransfer();
  // Sends the Telnet interrupt bytes 255 244 255 242, then AbortTransfer.
  virtual void TelnetAbortTransfer();
  // "TYPE A", data connection, "LIST [dir]" or "NLST [dir]" (class 1), final
  // reply (class 2). Fills DataStream and, for LIST, FtpList.
  virtual bool ListDirectory(const std::string& directory, bool names_only);
  // "FEAT" (class 2): Features() becomes the feature lines of the reply,
  // trimmed ("MLST type*;size*;modify*;", "SIZE", ...); false (and none)
  // when the server has no FEAT.
  virtual bool ReadFeatures();
  // Whether the server named MLST among its features (which stands for MLSD
  // too); sends FEAT the first time on a connection.
  virtual bool HasMachineListing();
  // With HasMachineListing: "TYPE A", data connection, "MLSD [dir]" (class
  // 1), final reply (class 2). Fills DataStream, and FtpList with the facts:
  // exact sizes, modify times in UTC, the listed directory and its parent
  // left out. false without MLSD when the server has none.
  virtual bool ListMachineDirectory(const std::string& directory);
  // With HasMachineListing: "MLST [name]" (class 2); the fact line of the
  // reply becomes the one entry of FtpList. false when there is none.
  virtual bool ReadMachineEntry(const std::string& name);
  const std::vector<std::string>& Features() const { return features_; }
  // Whether the first word of a feature line is name, case ignored ("MFMT",
  // "UTF8", "MDTM"); sends FEAT the first time on a connection.
  bool HasFeature(std::string_view name);
  // Data connection, "TYPE I"/"TYPE A", "REST n" (class 3, when restart and
  // CanResume), "RETR name" (class 1), final reply (class 2).
  virtual bool DownloadFile(const std::string& remote_name, bool restart);
  // "STOR name" through UploadFromSource; with restart and CanResume, from
  // the remote size ("SIZE name") on.
  virtual bool UploadFile(const std::string& remote_name, bool restart);
  // "STOU" through UploadFromSource; the server's chosen name is in its reply.
  virtual bool UploadUniqueFile();
  // "APPE name" through UploadFromSource.
  virtual bool AppendToFile(const std::string& remote_name);
  // "RNFR old" (class 3), then "RNTO new" (class 2).
  virtual bool RenameRemoteFile(const std::string& old_name, const std::string& new_name);
  // "DELE name" (class 2).
  virtual bool DeleteRemoteFile(const std::string& name);
  // "SIZE name" (class 2); the size, -1 on failure or an unreadable number.
  virtual int64_t RemoteFileSize(const std::string& name);
  // "NOOP" (class 2).
  virtual bool SendNoOp();
  // "CWD directory" (class 2).
  virtual bool ChangeDirectory(const std::string& directory);
  // "CDUP" (class 2).
  virtual bool ChangeToParent();
  // "CWD /" (class 2).
  virtual bool ChangeToRoot();
  // "RMD directory" (class 2).
  virtual bool RemoveDirectory(const std::string& directory);
  // "MKD directory" (class 2).
  virtual bool MakeDirectory(const std::string& directory);
  // "PWD" (class 2); the quoted directory of the reply, "" on failure.
  virtual std::string CurrentDirectory();
  // Accepts the data connection, receives into target until the server
  // closes it, then reads the final reply (class 2).
  virtual bool DownloadOverData(TStream& target);
  // Accepts the data connection, sends source from its position to its end,
  // closes, then reads the final reply (class 2; the send must succeed too).
  virtual bool UploadOverData(TStream& source);
  // "MDTM name" (code 213): the modify time "YYYYMMDDHHMMSS" in UTC, a
  // ".fraction" after it ignored, as seconds since 1970; -1 on any other
  // reply or a time that is not one.
  virtual int64_t RemoteModifyTime(const std::string& name);
  // "MFMT YYYYMMDDHHMMSS name" with the UTC time of unix_seconds (class 2);
  // false, with nothing sent, for a time outside years 1..9999.
  virtual bool SetRemoteModifyTime(const std::string& name, int64_t unix_seconds);

 protected:
  // For the operations in the other source files (and subclasses).
  void SetResultCode(int32_t value) { result_code_ = value; }
  void SetResultString(std::string value) { result_string_ = std::move(value); }
  std::vector<std::string>& MutableFullResult() { return full_result_; }
  void SetDataIP(std::string value) { data_ip_ = std::move(value); }
  void SetDataPort(std::string value) { data_port_ = std::move(value); }
  void SetCanResume(bool value) { can_resume_ = value; }
  void SetIsTLS(bool value) { is_tls_ = value; }
  void SetIsDataTLS(bool value) { is_data_tls_ = value; }

  // TargetHost, with ":" + TargetPort unless TargetPort is exactly "21".
  std::string HostDesignation() const;
  // The command a login action sends; "" for an unknown action.
  std::string LoginCommand(uint8_t action) const;

 private:
  // Declared so that the default destruction order is DSock, Sock, FtpList,
  // DataStream, the reply list.
  std::vector<std::string> full_result_;
  std::unique_ptr<TMemoryStream> data_stream_;
  std::unique_ptr<TFTPList> ftp_list_;
  std::unique_ptr<TTCPBlockSocket> sock_;
  std::unique_ptr<TTCPBlockSocket> dsock_;

  int32_t result_code_ = 0;
  std::string result_string_;
  std::string data_ip_;
  std::string data_port_;
  bool can_resume_ = false;
  std::vector<std::string> features_;
  bool features_read_ = false;  // on this connection
  bool is_tls_ = false;
  bool is_data_tls_ = false;
  // The last wait on the server (a reply, a data connection, a data send)
  // ran out of time: the logout then waits only briefly for its answer.
  bool timed_out_ = false;
  // A data exchange runs (from the data connection's negotiation to the
  // final reply), and the last operation used the data socket.
  bool data_phase_ = false;
  bool data_used_ = false;
  // The data socket's error is the normal end of a download.
  bool data_ended_normally_ = false;

  // TLS was started on the data connection of this exchange.
  bool data_tls_started_ = false;

  // The steps of PrepareDataConnection.
  bool NegotiateDataConnection();
  // After a data connection that could not be accepted or protected: closes
  // it, reads the final reply after a failed TLS handshake, and false.
  bool EndFailedDataConnection();
  // After the final reply: a 425 or 522 for a data connection whose TLS
  // handshake did not resume a session is recorded on DSock as the server
  // refusing it for that (10091, kind TLSSession).
  void NoteRefusedSessionReuse();
};

// The built-in login tables of variants 0 to 8.
const TLoginTable& BuiltInLoginTable(int variant);

// Whether a custom table only uses actions 0..11 and next steps 0, 3, 6, 9,
// 12, 15, 254 and 255.
bool IsValidLoginTable(const TLoginTable& table);

}  // namespace zud
