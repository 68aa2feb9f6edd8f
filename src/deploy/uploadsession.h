// One session of a tree upload (the folder run and the sync run): its login,
// its reconnects (Retries), and the folder and file steps it runs. It reports
// every outcome to the run's tally.
//
// Several sessions may run at once, each in its own thread: a session is
// used by one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "deploy/deploy.h"
#include "deploy/failure.h"
#include "deploy/runtally.h"
#include "deploy/session.h"
#include "ftp/ftpclient.h"

namespace zud {

// A file to store: what to read and where it goes.
struct TStoreItem {
  std::string local;
  std::string remote;  // whole remote path
  int64_t size = 0;
};

class TUploadSession {
 public:
  // number: the session's number in its dialogue and notices, 0 for the run's
  // only one. password: the one to log in with (a typed one for the extra
  // sessions of a run).
  TUploadSession(TRunTally& tally, int number, std::string password);
  ~TUploadSession();
  TUploadSession(const TUploadSession&) = delete;
  TUploadSession& operator=(const TUploadSession&) = delete;

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
      if (Stopped() || !EnsureSession()) return false;
      if (step()) return true;
      if (Stopped() || !NoteLoss()) return false;
    }
  }

  // MKD of one folder; a refusal for a folder that is there already is no
  // failure. count_failure: a refusal is reported and the folder marked.
  bool MakeFolder(const std::string& remote, bool count_failure);
  // The folder and every missing parent (MakeDirs).
  bool MakeFolderChain(const std::string& remote);
  // Stores one file (Atomic, Resume and Retries as asked); reports the
  // outcome. True when the server has the whole file.
  bool StoreFile(const TStoreItem& item);

  // Switches the server to UTF-8 names before the first name that needs it.
  bool PrepareName(const std::string& remote);
  // RNFR/RNTO; when the server refuses to rename over an existing file
  // (a refused RNTO), deletes that file and renames again.
  bool Rename(const std::string& from, const std::string& to);

  // A session that cannot be mended ends alone instead of stopping the run
  // (the extra sessions of a parallel run).
  void SetEndsAlone(bool alone) { ends_alone_ = alone; }

  // Ends the session: QUIT, or after an interrupt ABOR and QUIT.
  void End();

  bool Stopped() const { return tally_.Stopped(); }
  TFTPSend& ftp() { return *ftp_; }
  TSessionWatch& watch() { return *watch_; }
  int number() const { return number_; }
  // The password the login used (one given by OnPassword included).
  std::string password() const { return ftp_->Password; }

 private:
  bool Reconnect(const TSessionFacts& lost);
  TDeployFailure SignIn(bool report);
  bool SendFile(const TStoreItem& item, const std::string& target, int64_t offset);
  void ExplainStoreFailure(const TStoreItem& item);
  void Failed(TDeployFailure kind, const std::string& path, std::string message,
              bool folder = false);

  const TDeployOptions& options_;
  TRunTally& tally_;
  int number_ = 0;
  std::string password_;
  std::unique_ptr<TFTPSend> ftp_;
  std::unique_ptr<TSessionWatch> watch_;
  int32_t retries_left_ = 0;
  int reconnects_ = 0;
  bool utf8_checked_ = false;
  bool lost_ = false;
  bool ends_alone_ = false;
  bool up_ = false;
};

}  // namespace zud
