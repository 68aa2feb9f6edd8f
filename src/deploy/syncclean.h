// Sync stage 5, cleaning up (Delete): the files and then the folders of a
// tree that are gone locally removed from the server, deepest folders first.
// A refusal is reported and the rest goes on; what is deleted leaves the
// state, what stays keeps its record.
#pragma once

#include "deploy/syncrecord.h"
#include "deploy/synctree.h"
#include "deploy/uploadsession.h"

namespace zud {

void DeleteGone(TSyncContext& context, TSyncTree& tree, TUploadSession& session,
                TStateRecorder& recorder);

}  // namespace zud
