// Sync stage 3, folders: the missing root of each tree made by the first
// session (with its parents under MakeDirs), then the missing folders below
// it by every session, each as soon as its parent stands (jobqueue.h); each
// one made or given up releases what waits for it. A folder that could not
// be made is no longer recorded, and nothing below it is tried.
#pragma once

#include "deploy/jobqueue.h"
#include "deploy/syncrecord.h"
#include "deploy/synctree.h"
#include "deploy/uploadsession.h"

namespace zud {

// Whether tree's root, when missing, may be made: a folder source's own
// may, RemoteDir itself only with MakeDirs (else the run stops: the tally
// is told the folder is missing, as session saw it).
bool RootMayBeMade(TSyncContext& context, const TSyncTree& tree, int session);

// Makes tree's missing root (with its parents under MakeDirs), once. False
// when nothing can go into it: the root may not be made (reported), could
// not be made (reported), or the session was lost for good; made says
// whether it is there now.
bool MakeTreeRoot(TSyncContext& context, TSyncTree& tree, TUploadSession& session, bool& made);

// Makes the folder relative (below tree's root) unless its parent could not
// be made, and releases what waits for it. False when the session was lost
// for good before the folder was made: the job goes to another session.
bool MakeTreeFolder(TSyncContext& context, TSyncTree& tree, const std::string& relative,
                    TUploadSession& session, TJobQueue& queue, TStateRecorder& recorder);

}  // namespace zud
