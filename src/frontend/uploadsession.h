// One session of a tree upload (folder mode and sync): its login, its
// reconnects under /retry, and the folder and file steps it runs; and the
// tally that every session of a run reports to.
//
// Several sessions may run at once, each in its own thread: a session is
// used by one thread, the tally by all of them (it locks).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "frontend/failure.h"
#include "deploy/localtree.h"
#include "deploy/paths.h"
#include "frontend/session.h"
#include "frontend/settings.h"
#include "util/api.h"

namespace ZUD_API zud {

// What the sessions of one run share: the counts for the summary, the first
// failure's status, the folders known to exist or known to be missing, and
// the stop that ends every session.
class TRunTally {
 public:
  // Counts a failure, keeps its status if it is the first, writes message
  // (unless it is empty: the failure was explained already).
  void Fail(TExitStatus status, const std::string& message);
  // Keeps status as the run's if it is the first failure (nothing counted).
  void KeepStatus(TExitStatus status);
  void CountStored(int64_t bytes);
  void CountFolderMade();

  // The folders made or found on the server, and those that could not be made.
  bool FolderKnown(const std::string& remote);
  void AddKnownFolder(const std::string& remote);
  bool FolderFailed(const std::string& remote);
  void AddFailedFolder(const std::string& remote);
  // True the first time a folder is named: a hint about it is given once.
  bool FirstProbe(const std::string& remote);

  // Ends the run: every session stops at its next step.
  void Stop() { stop_ = true; }
  bool Stopped() const;

  TExitStatus first() const;
  size_t stored() const;
  size_t failed() const;
  size_t folders_made() const;
  int64_t bytes_stored() const;

 private:
  mutable std::mutex mutex_;
  std::atomic<bool> stop_{false};
  TExitStatus first_ = TExitStatus::kStored;
  size_t stored_ = 0;
  size_t failed_ = 0;
  size_t folders_made_ = 0;
  int64_t bytes_stored_ = 0;
  std::set<std::string> known_folders_;
  std::set<std::string> failed_folders_;
  std::set<std::string> probed_;
};

// What one local parameter of a tree upload stands for: a file, stored under
// its own name in the remote directory, or (with /recursive) a folder whose
// tree goes below root. A parameter that cannot be sent is reported to the
// tally and gives nothing (usable false); walk warnings are written as found.
struct TLocalParameter {
  bool usable = false;
  bool is_file = false;
  std::string root;                 // the remote folder it goes into, ending in "/"
  std::vector<TTreeEntry> entries;  // a file: one entry, named after it
};
TLocalParameter ReadLocalParameter(const std::string& param, const TUploadSettings& settings,
                                   const TExcludeList& excludes, TRunTally& tally);

// A file to store: what to read and where it goes.
struct TStoreItem {
  std::string local;
  std::string remote;  // whole remote path
  int64_t size = 0;
};

class TUploadSession {
 public:
  // number: the session's number shown before its dialogue lines ("[2] STOR
  // ..."), 0 for none.
  TUploadSession(const TUploadSettings& settings, TRunTally& tally, int number = 0);
  ~TUploadSession();
  TUploadSession(const TUploadSession&) = delete;
  TUploadSession& operator=(const TUploadSession&) = delete;

  // Logs in and sets the session up (type). With report false a refused
  // login writes nothing (the caller explains it). Returns kStored when up.
  TExitStatus Connect(bool ask_password, bool report = true);
  // After a lost session: reconnects while reconnects are left, else records
  // the loss and stops the run. True when a session is up.
  bool EnsureSession();
  // Marks the session as lost when the last failure was a lost connection.
  // Returns whether it was.
  bool NoteLoss();
  bool lost() const { return lost_; }
  // Logged in and not yet ended (a lost session counts until it is given up).
  bool up() const { return up_; }

  // MKD of one folder; a refusal for a folder that is there already is no
  // failure. count_failure: a refusal is reported and the folder marked.
  bool MakeFolder(const std::string& remote, bool count_failure);
  // The folder and every missing parent (/mkdir).
  bool MakeFolderChain(const std::string& remote);
  // Stores one file (/atomic, /resume and /retry as asked); reports the
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

  bool Stopped() const;
  void SetMeter(TTransferMeter* meter) { meter_ = meter; }
  TMyFtp& ftp() { return *ftp_; }
  TSessionWatch& watch() { return *watch_; }
  int number() const { return number_; }
  // The password the login used (one typed at the prompt included).
  std::string password() const { return ftp_->Password; }

 private:
  bool Reconnect(const TSessionFacts& lost);
  bool SetUp();
  bool SendFile(const TStoreItem& item, const std::string& target, int64_t offset);
  void ExplainStoreFailure(const TStoreItem& item);

  const TUploadSettings& settings_;
  TRunTally& tally_;
  int number_ = 0;
  std::unique_ptr<TMyFtp> ftp_;
  std::unique_ptr<TSessionWatch> watch_;
  TTransferMeter* meter_ = nullptr;
  int32_t retries_left_ = 0;
  int reconnects_ = 0;
  bool utf8_checked_ = false;
  bool lost_ = false;
  bool ends_alone_ = false;
  bool up_ = false;
};

}  // namespace zud
