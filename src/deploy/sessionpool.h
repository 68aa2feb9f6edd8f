// The sessions of a sync: the first one, which logs in before anything is
// read and does the reading, the folders and the end, and the extra ones
// (Parallel), which log in in their own threads while the first one reads
// and plans, and send files there. An extra session still logging in when
// the files are all taken is given up: a slow login never holds the run
// up. A session that cannot be mended ends alone while others are left.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "deploy/runtally.h"
#include "deploy/uploadsession.h"

namespace zud {

class TSessionPool {
 public:
  explicit TSessionPool(TRunTally& tally) : tally_(tally) {}
  ~TSessionPool() { Join(); }
  TSessionPool(const TSessionPool&) = delete;
  TSessionPool& operator=(const TSessionPool&) = delete;

  // Logs the first session in (OnPassword may be asked). kNone when up.
  TDeployFailure ConnectFirst();
  TUploadSession& Primary() { return *sessions_.front(); }
  // Sessions 2..count log in, each in its own thread, and run work there.
  void StartExtra(int count, const std::function<void(TUploadSession&)>& work);
  // Gives up the logins still under way: those sessions end at once.
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
  TRunTally& tally_;
  std::string extra_password_;  // for the extra sessions: the password as typed
  std::vector<std::unique_ptr<TUploadSession>> sessions_;
  std::vector<std::thread> threads_;
  std::atomic<int> open_sessions_{0};
  std::atomic<bool> abandon_logins_{false};
};

}  // namespace zud
