// Sync stages 3 and 4, folders and sending: the missing folders and the
// files of every tree handed to the sessions through the job queue (the
// folders first, parents before children; the files largest first when
// there are several sessions). The extra sessions, logged in while the
// first one read and planned, take jobs while the first one makes the tree
// roots; then the first one takes them too. Each file's record goes to the recorder; where the server can set a
// file's time (MFMT), it gets the local one, so that the next comparison
// without a state file is exact.
#pragma once

#include <cstddef>

#include "deploy/jobqueue.h"
#include "deploy/sessionpool.h"
#include "deploy/syncrecord.h"
#include "deploy/synctree.h"

namespace zud {

class TSyncSender {
 public:
  TSyncSender(TSyncContext& context, TSessionPool& sessions, TJobQueue& queue,
              TStateRecorder& recorder)
      : context_(context), sessions_(sessions), queue_(queue), recorder_(recorder) {}

  // Makes the folders and sends the files; returns once every session is
  // done with them. The number of files planned.
  size_t Run();
  // Takes folders and files from the queue, once it opens, until none is
  // left or the session is lost for good (a job taken then goes back for
  // another session): the extra sessions' work.
  void Work(TUploadSession& session);

 private:
  void SendOne(TUploadSession& session, const TSyncJob& job);

  TSyncContext& context_;
  TSessionPool& sessions_;
  TJobQueue& queue_;
  TStateRecorder& recorder_;
};

}  // namespace zud
