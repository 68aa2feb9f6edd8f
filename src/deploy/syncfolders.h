// Sync stage 3, folders: the missing folders of a tree made in order by one
// session (the tree's root first, with its parents under MakeDirs); each one
// made or given up releases the files that wait for it. A folder that could
// not be made is no longer recorded, and nothing below it is tried.
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

// False when the folders cannot go on: the root is missing and may not be
// made, or the session was lost for good.
bool MakeTreeFolders(TSyncContext& context, TSyncTree& tree, TUploadSession& session,
                     TJobQueue& queue, TStateRecorder& recorder);

}  // namespace zud
