// The deploy lock: while a sync changes the server, a folder beside the
// state file (its path + ".lock") holds one file, ".htowner", that names
// the run holding it:
//   ftpupload-lock 1
//   user<TAB>NAME       the local account
//   host<TAB>NAME       the local machine
//   pid<TAB>N           the process
//   since<TAB>SECONDS   taken, seconds since 1970 UTC
//   alive<TAB>SECONDS   last refreshed (a long run does every 10 minutes)
//   token<TAB>HEX       the run's own mark, to tell its lock from another's
//
// Why a folder: MKD is the one FTP command that fails when its target
// exists, on every server (mkdir(2) underneath). STOR replaces a file, RNTO
// replaces one on vsftpd and pyftpdlib (rename(2)), and a file written and
// read back leaves a window in which two runs each read their own. Two runs
// racing for the lock both send MKD; exactly one gets its 257.
//
// A lock whose holder showed no sign of life for kLockStaleSeconds is stale
// and taken over with a warning; Force takes any lock. A lock folder whose
// owner record is missing or unreadable (a run that ended as it took it) is
// taken over only with Force.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "deploy/failure.h"
#include "deploy/runtally.h"
#include "deploy/uploadsession.h"

namespace zud {

inline constexpr std::string_view kLockOwnerName = ".htowner";
inline constexpr int64_t kLockStaleSeconds = 3600;
inline constexpr int64_t kLockRefreshSeconds = 600;

struct TLockOwner {
  std::string user;
  std::string host;
  int64_t pid = 0;
  int64_t since = 0;
  int64_t alive = 0;
  std::string token;
  friend bool operator==(const TLockOwner&, const TLockOwner&) = default;
};

std::string FormatLockOwner(const TLockOwner& owner);
// The record in text, or nullopt with the reason in error ("no since").
std::optional<TLockOwner> ParseLockOwner(std::string_view text, std::string* error = nullptr);
// For people: "alice on ci-7 (process 42) since 2026-12-08 07:10:11 UTC,
// 3 minutes ago" (now: seconds since 1970 UTC).
std::string DescribeLockOwner(const TLockOwner& owner, int64_t now);
// Seconds since 1970 UTC, now.
int64_t UnixSecondsNow();

class TDeployLock {
 public:
  // path: the lock folder's remote path.
  TDeployLock(TRunTally& tally, std::string path);

  // Takes the lock over session: MKD, then the owner record. kNone when
  // held; kLocked when another run holds it, kRefused when no lock can be
  // made there (its folder is missing or not writable), each reported;
  // kTransferFailed when the session was lost.
  TDeployFailure Take(TUploadSession& session);
  // Writes the owner record again when kLockRefreshSeconds have passed
  // since it was last written, unless another run took the lock over.
  void Refresh(TUploadSession& session);
  // Removes the lock (its record, then the folder) unless another run took
  // it over meanwhile; a lock that cannot be removed is reported.
  void Release(TUploadSession& session);

  bool held() const { return held_.load(); }
  const std::string& path() const { return path_; }

 private:
  // The owner record as the server has it; false when lost. found: it was
  // there (text holds it).
  bool ReadOwner(TUploadSession& session, bool& found, std::string& text);
  bool WriteOwner(TUploadSession& session);
  // Deletes the record and the folder (removed: the folder went); false
  // when lost.
  bool Remove(TUploadSession& session, bool& removed);
  // A lock that could not be removed, reported.
  void ReportStuck(TUploadSession& session);
  // Whether the lock (found: the record read) may be taken over; reports.
  bool MayTakeOver(const std::optional<TLockOwner>& owner, const std::string& why);

  TRunTally& tally_;
  std::string path_;
  std::string owner_path_;
  TLockOwner mine_;
  std::atomic<bool> held_{false};
  std::mutex mutex_;  // one refresh or release at a time
  uint64_t written_ms_ = 0;  // when the record was last written (monotonic)
};

}  // namespace zud
