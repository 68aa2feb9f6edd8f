#include "support/scripted_ftp_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>

namespace zud::test {
namespace {

constexpr size_t kMaxCommandLength = 1 << 20;

// Verb (upper case) and argument of a command line. Telnet IAC pairs in
// front of the verb (the "IP, Synch" of an urgent ABOR) are skipped.
void SplitCommand(const std::string& line, std::string* verb, std::string* argument) {
  size_t start = 0;
  while (start + 1 < line.size() && static_cast<unsigned char>(line[start]) == 0xFF) start += 2;
  size_t space = line.find(' ', start);
  *verb = line.substr(start, space == std::string::npos ? std::string::npos : space - start);
  for (char& c : *verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  *argument = space == std::string::npos ? "" : line.substr(space + 1);
}

FtpHandler FixedReply(std::string reply) {
  return [reply = std::move(reply)](FtpSession& session, const std::string&) {
    session.Reply(reply);
  };
}

}  // namespace

// ---- FtpSession -------------------------------------------------------------

FtpSession::FtpSession(ScriptedFtpServer& server, UniqueFd control, Family family)
    : server_(server), control_(std::move(control)), family_(family) {
  control_peer_ = PeerEndpoint(control_.get());
  // Urgent bytes (Telnet Synch with ABOR) stay in the stream and in the log.
  int one = 1;
  ::setsockopt(control_.get(), SOL_SOCKET, SO_OOBINLINE, &one, sizeof(one));
}

void FtpSession::Reply(std::string_view text) { SendRaw(std::string(text) + "\r\n"); }

void FtpSession::SendRaw(std::string_view bytes) {
  if (!control_.valid() || silent_) return;
  // A client that has gone away is the client's business, not an error.
  if (!SendAll(control_.get(), bytes, server_.timeout_ms(), nullptr, &server_.stop_)) {
    close_requested_ = true;
  }
}

void FtpSession::SendInPieces(std::string_view bytes, size_t piece_size, int pause_ms) {
  if (!control_.valid()) return;
  int one = 1;
  ::setsockopt(control_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  piece_size = std::max<size_t>(piece_size, 1);
  for (size_t at = 0; at < bytes.size() && !close_requested_; at += piece_size) {
    if (at > 0) Sleep(pause_ms);
    SendRaw(bytes.substr(at, piece_size));
  }
}

void FtpSession::Sleep(int milliseconds) {
  WaitFd(server_.stop_.fd(), POLLIN, milliseconds);
}

void FtpSession::CloseControl() {
  control_.reset();
  close_requested_ = true;
}

void FtpSession::GoSilent() { silent_ = true; }

void FtpSession::RecordError(const std::string& what) { server_.RecordError(what); }

int FtpSession::ListenPassive() {
  std::string why;
  passive_listener_ = ListenTcp(LoopbackHost(family_), 0, &why);
  if (!passive_listener_.valid()) {
    RecordError("passive listener: " + why);
    return 0;
  }
  return LocalEndpoint(passive_listener_.get()).port;
}

void FtpSession::SetActiveTarget(Endpoint target) {
  passive_listener_.reset();
  active_target_ = std::move(target);
}

bool FtpSession::HasDataTarget() const {
  return passive_listener_.valid() || active_target_.has_value();
}

bool FtpSession::OpenData() {
  DataFaults faults = server_.data_faults();
  if (faults.delay_ms > 0) Sleep(faults.delay_ms);
  if (faults.never_open) return false;
  std::string why;
  if (passive_listener_.valid()) {
    data_ = AcceptTcp(passive_listener_.get(), server_.timeout_ms(), &server_.stop_, &why);
    passive_listener_.reset();
  } else if (active_target_) {
    data_ = ConnectTcp(active_target_->host, active_target_->port, server_.timeout_ms(), &why);
    active_target_.reset();
  } else {
    why = "no PASV/EPSV or PORT/EPRT before the transfer";
  }
  if (!data_.valid()) RecordError("data connection: " + why);
  return data_.valid();
}

bool FtpSession::ReceiveData(std::string* out) {
  long limit = server_.data_faults().close_after;
  for (;;) {
    std::string why;
    long n = RecvSome(data_.get(), out, server_.timeout_ms(), &why, &server_.stop_);
    if (n == 0) return true;
    if (n < 0) {
      RecordError("data receive: " + why);
      return false;
    }
    if (limit >= 0 && out->size() >= static_cast<size_t>(limit)) {
      out->resize(static_cast<size_t>(limit));
      CloseData();  // unread bytes make the kernel reset the connection
      return false;
    }
  }
}

bool FtpSession::SendData(std::string_view data) {
  long limit = server_.data_faults().close_after;
  bool cut = limit >= 0 && static_cast<size_t>(limit) < data.size();
  if (cut) data = data.substr(0, static_cast<size_t>(limit));
  std::string why;
  if (!SendAll(data_.get(), data, server_.timeout_ms(), &why, &server_.stop_)) {
    RecordError("data send: " + why);
    return false;
  }
  return !cut;
}

void FtpSession::CloseData() { data_.reset(); }

namespace {

void FinalReply(FtpSession& session, const DataFaults& faults, bool complete) {
  if (faults.no_final_reply) return;
  if (!faults.final_reply.empty()) {
    session.Reply(faults.final_reply);
  } else {
    session.Reply(complete ? "226 Transfer complete." : "426 Connection closed; transfer aborted.");
  }
}

}  // namespace

void FtpSession::RunUpload(const std::string& name, bool append,
                           std::string_view preliminary) {
  if (!HasDataTarget()) {
    Reply("425 Use PORT or PASV first.");
    return;
  }
  DataFaults faults = server_.data_faults();
  Reply(preliminary);
  if (!OpenData()) {
    if (faults.never_open) {
      passive_listener_.reset();
      active_target_.reset();
      return;  // the client waits for a data connection that never comes
    }
    Reply("425 Failed to establish connection.");
    return;
  }
  std::string received;
  bool complete = ReceiveData(&received);
  CloseData();
  std::string base = server_.File(name).value_or("");
  if (append) {
    received = base + received;
  } else if (restart_offset > 0) {
    received = base.substr(0, std::min<size_t>(static_cast<size_t>(restart_offset), base.size())) +
               received;
  }
  restart_offset = 0;
  server_.PutFile(name, std::move(received));
  FinalReply(*this, faults, complete);
}

void FtpSession::RunDownload(std::string_view data) {
  if (!HasDataTarget()) {
    Reply("425 Use PORT or PASV first.");
    return;
  }
  DataFaults faults = server_.data_faults();
  Reply("150 Opening BINARY mode data connection.");
  if (!OpenData()) {
    if (faults.never_open) {
      passive_listener_.reset();
      active_target_.reset();
      return;
    }
    Reply("425 Failed to establish connection.");
    return;
  }
  bool complete = SendData(data);
  CloseData();
  FinalReply(*this, faults, complete);
}

// ---- ScriptedFtpServer --------------------------------------------------------

ScriptedFtpServer::ScriptedFtpServer(Family family) : family_(family) {
  greeting_ = FixedReply("220 Scripted FTP server ready.");
  std::string why;
  listener_ = ListenTcp(LoopbackHost(family), 0, &why);
  if (!listener_.valid()) {
    errors_ = "cannot listen: " + why + "\n";
    return;
  }
  port_ = LocalEndpoint(listener_.get()).port;
  thread_ = std::thread([this] { Run(); });
}

ScriptedFtpServer::~ScriptedFtpServer() {
  stop_.Raise();
  if (thread_.joinable()) thread_.join();
}

void ScriptedFtpServer::SetGreeting(std::string text) { OnConnect(FixedReply(std::move(text))); }

void ScriptedFtpServer::OnConnect(FtpHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  greeting_ = std::move(handler);
}

void ScriptedFtpServer::On(const std::string& verb, FtpHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_[verb] = std::move(handler);
}

void ScriptedFtpServer::ReplyTo(const std::string& verb, std::string reply) {
  On(verb, FixedReply(std::move(reply)));
}

void ScriptedFtpServer::Expect(std::string line, std::string reply) {
  Expect(std::move(line), FixedReply(std::move(reply)));
}

void ScriptedFtpServer::Expect(std::string line, FtpHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  dialogue_.push_back({std::move(line), std::move(handler)});
}

void ScriptedFtpServer::SetDataFaults(DataFaults faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = std::move(faults);
}

void ScriptedFtpServer::SetPassiveAddress(std::string ipv4) {
  std::lock_guard<std::mutex> lock(mutex_);
  passive_address_ = std::move(ipv4);
}

void ScriptedFtpServer::SetListing(std::string list_text, std::string name_list_text) {
  std::lock_guard<std::mutex> lock(mutex_);
  list_text_ = std::move(list_text);
  name_list_text_ = std::move(name_list_text);
}

void ScriptedFtpServer::set_timeout_ms(int ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeout_ms_ = ms;
}

void ScriptedFtpServer::set_idle_timeout_ms(int ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_timeout_ms_ = ms;
}

void ScriptedFtpServer::PutFile(const std::string& name, std::string content) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[name] = std::move(content);
}

std::optional<std::string> ScriptedFtpServer::File(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = files_.find(name);
  if (it == files_.end()) return std::nullopt;
  return it->second;
}

std::map<std::string, std::string> ScriptedFtpServer::Files() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return files_;
}

bool ScriptedFtpServer::RemoveFile(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return files_.erase(name) > 0;
}

bool ScriptedFtpServer::RenameFile(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = files_.find(from);
  if (it == files_.end()) return false;
  std::string content = std::move(it->second);
  files_.erase(it);
  files_[to] = std::move(content);
  return true;
}

std::vector<std::string> ScriptedFtpServer::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::string ScriptedFtpServer::Errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

std::vector<std::string> ScriptedFtpServer::PendingDialogue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  for (const DialogueEntry& entry : dialogue_) lines.push_back(entry.line);
  return lines;
}

int ScriptedFtpServer::SessionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_started_;
}

bool ScriptedFtpServer::WaitForCommands(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return commands_.size() >= count; });
}

bool ScriptedFtpServer::WaitForSessionsEnded(int count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return sessions_ended_ >= count; });
}

DataFaults ScriptedFtpServer::data_faults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_;
}

std::string ScriptedFtpServer::passive_address() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return passive_address_;
}

std::string ScriptedFtpServer::listing(bool names_only) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return names_only ? name_list_text_ : list_text_;
}

int ScriptedFtpServer::timeout_ms() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeout_ms_;
}

void ScriptedFtpServer::RecordError(const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  errors_ += what + "\n";
}

void ScriptedFtpServer::Run() {
  for (;;) {
    UniqueFd control = AcceptTcp(listener_.get(), -1, &stop_);
    if (stop_.raised()) return;
    if (!control.valid()) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++sessions_started_;
      changed_.notify_all();
    }
    FtpSession session(*this, std::move(control), family_);
    Serve(session);
    std::lock_guard<std::mutex> lock(mutex_);
    ++sessions_ended_;
    changed_.notify_all();
  }
}

void ScriptedFtpServer::Serve(FtpSession& session) {
  FtpHandler greeting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    greeting = greeting_;
  }
  greeting(session, "");
  while (session.control_.valid() && !session.close_requested_) {
    int idle_ms;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      idle_ms = idle_timeout_ms_;
    }
    // A silent session waits for the client to give up, however long.
    WaitResult ready = WaitFd(session.control_.get(), POLLIN, session.silent_ ? -1 : idle_ms,
                              &stop_);
    if (ready == WaitResult::kStopped) return;
    if (ready == WaitResult::kTimeout) {
      RecordError("no command within " + std::to_string(idle_ms) + " ms; session closed");
      return;
    }
    std::string line;
    std::string why;
    if (!RecvLine(session.control_.get(), &line, timeout_ms(), &why, &stop_,
                  kMaxCommandLength)) {
      // Nothing read means the client closed; a partial line is a fault.
      if (!line.empty() && !stop_.raised()) {
        RecordError("incomplete command line \"" + line.substr(0, 80) + "\": " + why);
      }
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      commands_.push_back(line);
      changed_.notify_all();
    }
    if (!session.silent_) Dispatch(session, line);
  }
}

void ScriptedFtpServer::Dispatch(FtpSession& session, const std::string& line) {
  std::string verb, argument;
  SplitCommand(line, &verb, &argument);
  FtpHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!dialogue_.empty()) {
      DialogueEntry entry = std::move(dialogue_.front());
      dialogue_.pop_front();
      if (entry.line != line) {
        errors_ += "expected command \"" + entry.line + "\", got \"" + line + "\"\n";
        handler = FixedReply("500 Unexpected command.");
      } else {
        handler = std::move(entry.handler);
      }
    } else if (auto it = handlers_.find(verb); it != handlers_.end()) {
      handler = it->second;
    }
  }
  if (handler) {
    handler(session, argument);
  } else if (const FtpHandler* fallback = DefaultFtpHandler(verb)) {
    (*fallback)(session, argument);
  } else {
    session.Reply("502 Command not implemented.");
  }
}

}  // namespace zud::test
