// One logged-in session of a run: its login, its reconnects (Retries), the
// loss of its connection and its end. The steps a tree upload runs over it
// are TUploadSession's (uploadsession.h). It reports to the run's tally.
//
// Several sessions may run at once, each in its own thread: a session is
// used by one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "deploy/deploy.h"
#include "deploy/failure.h"
#include "deploy/runtally.h"
#include "deploy/session.h"
#include "ftp/ftpclient.h"

namespace zud {

class TRunSession {
 public:
  // number: the session's number in its dialogue and notices, 0 for the run's
  // only one. password: the one to log in with (a typed one for the extra
  // sessions of a run).
  TRunSession(TRunTally& tally, int number, std::string password);
  ~TRunSession();
  TRunSession(const TRunSession&) = delete;
  TRunSession& operator=(const TRunSession&) = delete;

  // Logs in and sets the session up. ask_password: the run's OnPassword may
  // be asked. With report false a refused login is no notice (the caller
  // explains it). kNone when up.
  TDeployFailure Connect(bool ask_password, bool report = true);
  // After a lost session: reconnects while reconnects are left, else records
  // the loss and stops the run. True when a session is up.
  bool EnsureSession();
  // Marks the session as lost when the last failure was a lost connection.
  // Returns whether it was.
  bool NoteLoss();
  bool lost() const { return lost_; }
  // Logged in and not yet ended (a lost session counts until it is given up).
  bool up() const { return up_; }
  // Runs step, again after each reconnect while it reports a lost session
  // (returns false and NoteLoss says so). False when the run stops or the
  // session could not be mended.
  template <class Step>
  bool Persist(Step step) {
    for (;;) {
      if (Halted() || !EnsureSession()) return false;
      if (step()) return true;
      if (Halted() || !NoteLoss()) return false;
    }
  }

  // After the run stopped: the session works on for the run's last steps
  // (the state file, the lock) with the stop no longer heeded, briefly after
  // an interrupt; no reconnect, but a session lost for a failed transfer
  // whose control connection still stands is used. A store the stop cut
  // short is aborted and its file deleted first. False when the session
  // cannot serve.
  bool BeginCleanup();

  // Switches the server to UTF-8 names before the first name that needs it.
  bool PrepareName(const std::string& remote);

  // A session that cannot be mended ends alone instead of stopping the run
  // (the extra sessions of a parallel run).
  void SetEndsAlone(bool alone) { ends_alone_ = alone; }
  // While abandon is set, a login under way stops at its next wait.
  void SetLoginAbandon(const std::atomic<bool>* abandon) { abandon_login_ = abandon; }

  // Ends the session: QUIT, or after a stop request ABOR and QUIT.
  void End();

  bool Stopped() const { return tally_.Stopped(); }
  // Stopped, unless the session is cleaning up.
  bool Halted() const { return !cleaning_ && Stopped(); }
  TFTPSend& ftp() { return *ftp_; }
  TSessionWatch& watch() { return *watch_; }
  int number() const { return number_; }
  // The password the login used (one given by OnPassword included).
  std::string password() const { return ftp_->Password; }

 protected:
  // Connects again after lost (the facts of the loss): at once when the
  // server closed a session that had waited (Reopen), else while reconnects
  // are left. True when a session is up.
  bool Reconnect(const TSessionFacts& lost);

  const TDeployOptions& options_;
  TRunTally& tally_;
  const int number_ = 0;
  std::unique_ptr<TFTPSend> ftp_;
  std::unique_ptr<TSessionWatch> watch_;
  bool lost_ = false;
  // The loss was told with the failure of the file it cut short.
  bool loss_told_ = false;
  bool ends_alone_ = false;
  // The remote file a stop cut short while it was stored: aborted and
  // deleted before the session ends, so that no partial file stays (kept
  // with Resume, to go on from).
  std::string partial_;

 private:
  TDeployFailure SignIn(bool report);
  // Logs in again, spending no reconnect, when lost is the server closing
  // the connection at the first command after at least
  // kQuietBeforeReopenMs without a reply. True when a session is up.
  bool Reopen(const TSessionFacts& lost);

  static constexpr uint32_t kQuietBeforeReopenMs = 1000;
  // How often the run's only session tries again after a 421 greeting
  // (after 0.5, 1 and 1.5 s).
  static constexpr int kBusyGreetingWaits = 3;
  // Aborts the store a stop cut short and deletes its file.
  void RemoveCutStore();

  std::string password_;
  int32_t retries_left_ = 0;
  int reconnects_ = 0;
  bool utf8_checked_ = false;
  bool up_ = false;
  // A login given up (abandon_login_) stops only the session's first one,
  // never the last steps of a session that was up.
  const std::atomic<bool>* abandon_login_ = nullptr;
  bool first_login_ = false;
  bool cleaning_ = false;
};

}  // namespace zud
