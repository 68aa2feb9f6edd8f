#include "deploy/syncfolders.h"

#include <string>

#include "deploy/paths.h"

namespace zud {
namespace {

// MKD of path (with its parents when chain), again after each reconnect.
// False when the session was lost for good; made says whether it is there.
bool MakeOne(TUploadSession& session, const std::string& path, bool chain, bool& made) {
  made = false;
  return session.Persist([&] {
    made = chain ? session.MakeFolderChain(path) : session.MakeFolder(path, true);
    return made || !session.NoteLoss();
  });
}

}  // namespace

bool RootMayBeMade(TSyncContext& context, const TSyncTree& tree, int session) {
  const TDeployOptions& options = context.options;
  const std::string root = WithoutTrailingSlash(tree.root);
  const std::string base = WithoutTrailingSlash(WithDirectoryEnd(options.RemoteDir));
  if (!tree.plan.make_root || root != base || options.MakeDirs) return true;
  context.tally.FolderMissing(root, session);
  return false;
}

bool MakeTreeRoot(TSyncContext& context, TSyncTree& tree, TUploadSession& session, bool& made) {
  made = !tree.plan.make_root;
  if (made) return true;
  if (!RootMayBeMade(context, tree, session.number())) return false;
  tree.plan.make_root = false;
  return MakeOne(session, WithoutTrailingSlash(tree.root), context.options.MakeDirs, made);
}

bool MakeTreeFolder(TSyncContext& context, TSyncTree& tree, const std::string& relative,
                    TUploadSession& session, TJobQueue& queue, TStateRecorder& recorder) {
  TRunTally& tally = context.tally;
  const std::string path = JoinRemote(tree.root, relative);
  if (tally.FolderFailed(RemoteParent(path))) {
    tally.AddFailedFolder(path);
  } else {
    bool made = false;
    if (!MakeOne(session, path, false, made)) return false;  // another session makes it
    queue.FolderReady(path);
    if (made) return true;
  }
  queue.FolderReady(path);
  recorder.FolderMissing(tree, relative);
  return true;
}

}  // namespace zud
