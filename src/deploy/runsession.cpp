#include "deploy/runsession.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "sockets/socketerrors.h"
#include "util/compat.h"

namespace zud {
namespace {

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

// ---- Login and reconnects -------------------------------------------------------------

TRunSession::TRunSession(TRunTally& tally, int number, std::string password)
    : options_(tally.options()),
      tally_(tally),
      number_(number),
      password_(std::move(password)),
      retries_left_(tally.options().Retries) {}

TRunSession::~TRunSession() {
  watch_.reset();
  ftp_.reset();
}

TDeployFailure TRunSession::Connect(bool ask_password, bool report) {
  ftp_ = std::make_unique<TFTPSend>();
  watch_ = std::make_unique<TSessionWatch>(*ftp_, options_);
  watch_->OnDialogue = [this](bool reply, const std::string& line) {
    TNoReply missing = TNoReply::kNone;
    if (reply && line.empty()) {
      const int error = ftp_->Sock().LastErrorCode();
      missing = error == kErrTimedOut        ? TNoReply::kTimedOut
                : error == kErrStopRequested ? TNoReply::kStopped
                : error == 0 || error == kErrPeerClosed ? TNoReply::kClosed
                                                        : TNoReply::kBroken;
    }
    tally_.Dialogue({number_, reply, line, missing});
  };
  watch_->OnFileData = [this](int64_t bytes) { tally_.Progress(number_, bytes); };
  if (ask_password) watch_->OnPassword = options_.OnPassword;
  tally_.SessionStart(number_);
  ConfigureClient(options_, *ftp_);
  if (!options_.User.empty()) ftp_->Password = password_;
  // The type once at login and nothing more: REST is sent where needed.
  ftp_->LeanSignIn = true;
  // Every reply is read in step here, so nothing late needs waiting for
  // before a command or a close: without the pauses a small file costs its
  // round trips and nothing more, under TLS too.
  ftp_->Sock().DiscardPauseMs = 0;
  ftp_->DSock().DiscardPauseMs = 0;
  // Only one session's stop flags can be armed for Ctrl-C; every session
  // looks for a stop in its waits as well.
  const auto heed_stop = [this](TBlockSocket& sender) {
    if (Halted() || (first_login_ && abandon_login_ != nullptr && *abandon_login_)) {
      sender.StopFlag = true;
    }
  };
  ftp_->Sock().OnHeartbeat = heed_stop;
  ftp_->DSock().OnHeartbeat = heed_stop;
  first_login_ = true;
  const TDeployFailure login = SignIn(report);
  first_login_ = false;
  if (login != TDeployFailure::kNone) return login;
  up_ = true;
  return TDeployFailure::kNone;
}

TDeployFailure TRunSession::SignIn(bool report) {
  TFailure failure = SignInToHost(options_.Host, *ftp_, *watch_);
  // A server that greets with 421 may still count this address's sessions
  // that have just ended (Pure-FTPd's limit per address, when runs follow
  // one another): the run's only session waits for them a little.
  for (int wait = 1; wait <= kBusyGreetingWaits && !ends_alone_; ++wait) {
    const TSessionFacts facts = watch_->Facts();
    if (failure.kind != TDeployFailure::kLoginRefused || facts.result_code != 421 ||
        facts.replies > 1) {
      break;
    }
    for (int32_t waited = 0; waited < wait * 500 && !Stopped(); waited += kStopCheckMs) {
      SleepMilliseconds(kStopCheckMs);
    }
    if (Stopped()) break;
    ftp_->Sock().CloseAtOnce();
    watch_->BeginSession();
    failure = SignInToHost(options_.Host, *ftp_, *watch_);
  }
  if (failure.kind == TDeployFailure::kNone) {
    // A new connection needs the UTF-8 switch again.
    utf8_checked_ = false;
  } else if (report) {
    tally_.Notice({.kind = TNoticeKind::kError,
                   .text = failure.message,
                   .failure = failure.kind,
                   .hint = failure.hint,
                   .session = number_});
  }
  return failure.kind;
}

bool TRunSession::Reopen(const TSessionFacts& lost) {
  // Servers close a session that waits too long (ProFTPD's TimeoutNoTransfer
  // with "421 No transfer timeout"), as an extra session may while the first
  // one reads the server's side: found at the first command after such a
  // wait, that is no lost connection, and no reconnect is spent on it.
  if (watch_->quiet_before_last_command_ms() < kQuietBeforeReopenMs) return false;
  if (lost.result_code != 421 && lost.control_error == 0) return false;
  const std::string reply = lost.result_code == 421 ? lost.result_line : lost.control_error_text;
  tally_.Notice({.kind = TNoticeKind::kNote,
                 .text = (number_ > 0 ? "session " + std::to_string(number_) + ": " : "") +
                         "the server closed the connection while it waited (" + reply +
                         "); logging in again",
                 .session = number_});
  ftp_->DSock().CloseAtOnce();
  ftp_->Sock().CloseAtOnce();
  watch_->BeginSession();
  return SignIn(true) == TDeployFailure::kNone;
}

bool TRunSession::Reconnect(const TSessionFacts& lost) {
  if (Reopen(lost)) return true;
  std::string why =
      "lost the connection to " + options_.Host + " port " + std::to_string(options_.Port);
  if (lost.control_error != 0) {
    why += ": " + lost.control_error_text;
  } else if (lost.data_error != 0) {
    why = "the data connection failed: " + lost.data_error_text;
  } else if (lost.result_code != 0) {
    why += " (" + lost.result_line + ")";
  }
  if (number_ > 0) why = "session " + std::to_string(number_) + ": " + why;
  while (retries_left_ > 0 && !Stopped()) {
    --retries_left_;
    ++reconnects_;
    const int32_t delay = ReconnectDelayMs(reconnects_);
    tally_.Notice({.kind = TNoticeKind::kReconnect,
                   .text = why + "; reconnecting in " + std::to_string(delay / 1000) + " s (" +
                           std::to_string(reconnects_) + " of " + std::to_string(options_.Retries) +
                           ")",
                   .session = number_});
    for (int32_t waited = 0; waited < delay && !Stopped(); waited += kStopCheckMs) {
      SleepMilliseconds(kStopCheckMs);
    }
    if (Stopped()) return false;
    ftp_->DSock().CloseAtOnce();
    ftp_->Sock().CloseAtOnce();
    watch_->BeginSession();
    const TDeployFailure login = SignIn(true);
    if (login == TDeployFailure::kNone) return true;
    // Only a connection that could not be made is worth another try.
    if (login != TDeployFailure::kConnectFailed && login != TDeployFailure::kTimeout &&
        login != TDeployFailure::kNotResolved) {
      if (!ends_alone_) tally_.KeepFailure(login);
      return false;
    }
  }
  return false;
}

bool TRunSession::NoteLoss() {
  if (ConnectionLost(watch_->Facts())) lost_ = true;
  return lost_;
}

bool TRunSession::EnsureSession() {
  if (!lost_) return true;
  if (cleaning_) return false;
  const TSessionFacts lost = watch_->Facts();
  if (Reconnect(lost)) {
    lost_ = false;
    loss_told_ = false;
    return true;
  }
  up_ = false;
  if (ends_alone_) {
    if (!tally_.Interrupted()) {
      tally_.Notice(
          {.kind = TNoticeKind::kSessionLost,
           .text = "session " + std::to_string(number_) + " ended: the connection was lost",
           .session = number_});
    }
    return false;
  }
  tally_.Stop();
  if (!tally_.Interrupted()) {
    if (loss_told_) {
      tally_.KeepFailure(TDeployFailure::kTransferFailed);
      return false;
    }
    TSessionFacts facts = lost;
    facts.quiet = true;
    TFailure failure = ClassifyStoreFailure(facts, "the run");
    if (failure.kind == TDeployFailure::kRefused) failure.kind = TDeployFailure::kTransferFailed;
    tally_.KeepFailure(failure.kind);
    tally_.Notice({.kind = TNoticeKind::kError,
                   .text = (failure.message.empty() ? std::string("the connection was lost")
                                                    : failure.message) +
                           "; the run stops",
                   .failure = failure.kind,
                   .session = number_});
  }
  return false;
}

bool TRunSession::BeginCleanup() {
  if (!ftp_) return false;
  if (!cleaning_) {
    cleaning_ = true;
    ftp_->Sock().StopFlag = false;
    ftp_->DSock().StopFlag = false;
    // A server that stopped answering does not hold the run long.
    ftp_->Timeout = std::min(ftp_->Timeout, tally_.Interrupted() ? kCleanupTimeoutMs
                                                                 : kLastStepsTimeoutMs);
    // A data connection that failed (a 426) leaves the control connection
    // standing.
    if (lost_ && ftp_->Sock().Handle() != kInvalidSocket && ftp_->Sock().LastErrorCode() == 0 &&
        ftp_->ResultCode() != 421 && ReplyClassOf(ftp_->SendCommand("NOOP")) == 2) {
      lost_ = false;
      up_ = true;
    }
    if (up_ && !lost_ && !partial_.empty()) RemoveCutStore();
  }
  return up_ && !lost_;
}

void TRunSession::RemoveCutStore() {
  cleaning_ = true;
  ftp_->Sock().StopFlag = false;
  ftp_->DSock().StopFlag = false;
  ftp_->Timeout = std::min(ftp_->Timeout, kCleanupTimeoutMs);
  // The server hears the end of the data first, then ABOR; it may answer
  // the store (226 or 426) as well as ABOR, so a NOOP's 200 marks where
  // the replies line up again.
  ftp_->DSock().CloseAtOnce();
  if (ReplyClassOf(ftp_->SendCommand("ABOR")) != 0) {
    ftp_->SendCommand("NOOP");
    for (int more = 0; more < 3 && ftp_->ResultCode() != 200 && ftp_->ResultCode() != 0; ++more) {
      ftp_->ReadReply();
    }
    if (ftp_->ResultCode() == 200) ftp_->DeleteRemoteFile(partial_);
  }
  partial_.clear();
}

void TRunSession::End() {
  if (!ftp_ || !up_) return;
  up_ = false;
  if (tally_.Interrupted()) {
    cleaning_ = true;  // the replies are awaited, briefly
    if (partial_.empty()) return AbortAfterInterrupt(*ftp_);
    RemoveCutStore();
    ftp_->SignOff();
    return;
  }
  // A server that lost or stalled the session gets a short wait for QUIT.
  if (lost_ || ftp_->Sock().LastErrorCode() != 0) {
    ftp_->Timeout = std::min(ftp_->Timeout, kCleanupTimeoutMs);
  }
  ftp_->SignOff();
}

// ---- Names ------------------------------------------------------------------------

bool TRunSession::PrepareName(const std::string& remote) {
  if (utf8_checked_ || IsAscii(remote)) return true;
  utf8_checked_ = true;
  // Some servers store such names as "?" unless asked for UTF-8; a refusal
  // leaves the names as they are.
  if (ftp_->HasFeature("UTF8")) ftp_->SendCommand("OPTS UTF8 ON");
  return ftp_->Sock().LastErrorCode() == 0;
}

}  // namespace zud
