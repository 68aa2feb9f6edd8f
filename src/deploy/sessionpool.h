// The sessions of a sync: the first one, which logs in before anything is
// read and does the reading, the tree roots and the end, and the extra ones
// (Parallel), which log in in their own threads while the first one reads
// and plans, and make folders and send files there. An extra session still
// logging in when the files are all taken is given up: a slow login never
// holds the run up. A session that cannot be mended ends alone while others
// are left.
//
// With ParallelAuto the pool finds the host's limit: it starts with
// kAutoFirstSessions and opens one more, up to the ceiling, each time the
// newest one logged in and sent a file while more files wait than there are
// sessions. A login the server refuses (421, 530: a limit per client) ends
// that session, the others go on, and one more is tried again once
// kAutoQuietMs passed without a refusal.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "deploy/runtally.h"
#include "deploy/uploadsession.h"

namespace zud {

inline constexpr int kAutoFirstSessions = 2;
inline constexpr int kAutoCeiling = 8;  // ParallelAuto without a ceiling of its own
inline constexpr uint64_t kAutoQuietMs = 60000;

// The most sessions options allow at once: Parallel, or with ParallelAuto
// its ceiling (kAutoCeiling when Parallel is 1).
int SessionCeiling(const TDeployOptions& options);

class TSessionPool {
 public:
  using TWork = std::function<void(TUploadSession&)>;

  explicit TSessionPool(TRunTally& tally) : tally_(tally) {}
  ~TSessionPool() { Join(); }
  TSessionPool(const TSessionPool&) = delete;
  TSessionPool& operator=(const TSessionPool&) = delete;

  // Logs the first session in (OnPassword may be asked). kNone when up.
  TDeployFailure ConnectFirst();
  TUploadSession& Primary() { return *primary_; }
  // The extra sessions log in, each in its own thread, and run work there:
  // sessions 2..Parallel, or with ParallelAuto the first few (more come as
  // FileSent finds them worth it).
  void StartExtra(const TWork& work);
  // session sent a file and waiting jobs are left: with ParallelAuto, one
  // more session may be opened.
  void FileSent(const TUploadSession& session, size_t waiting);
  // Gives up the logins still under way: those sessions end at once, and
  // no more are opened.
  void AbandonLogins();
  // Waits for the extra sessions' threads.
  void Join();
  // A session still up (reconnecting the first one if need be), or nullptr.
  TUploadSession* Alive();
  // A session for the run's last steps (BeginCleanup), without
  // reconnecting, the first one first; nullptr when none can serve.
  TUploadSession* ForCleanup();
  // Ends every session still up: QUIT, or after a stop request ABOR and QUIT.
  void EndAll();

 private:
  // Opens session number in a thread of its own (mutex_ held).
  void StartOne(int number);
  // The thread of an extra session: login, then work_.
  void RunExtra(TUploadSession& session);

  TRunTally& tally_;
  const int ceiling_ = SessionCeiling(tally_.options());
  std::string extra_password_;  // for the extra sessions: the password as typed
  TUploadSession* primary_ = nullptr;
  TWork work_;
  std::mutex mutex_;  // the members below, for the sessions' threads
  std::vector<std::unique_ptr<TUploadSession>> sessions_;
  std::vector<std::thread> threads_;
  int open_sessions_ = 0;  // logged in or logging in
  std::atomic<bool> abandon_logins_{false};
  // ParallelAuto: the login under way, the newest session and whether it
  // sent a file, the sessions the server allowed and when it last refused.
  int logins_pending_ = 0;
  int newest_ = 0;
  bool newest_sent_ = false;
  int next_number_ = 2;
  int allowed_ = 0;  // 0: no refusal yet
  uint64_t refused_at_ = 0;
  int logged_in_ = 0;
};

}  // namespace zud
