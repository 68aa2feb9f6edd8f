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

bool MakeTreeFolders(TSyncContext& context, TSyncTree& tree, TUploadSession& session,
                     TJobQueue& queue, TStateRecorder& recorder) {
  const TDeployOptions& options = context.options;
  TRunTally& tally = context.tally;
  if (tree.plan.make_root) {
    const std::string root = WithoutTrailingSlash(tree.root);
    const std::string base = WithoutTrailingSlash(WithDirectoryEnd(options.RemoteDir));
    if (root == base && !options.MakeDirs) {
      tally.FolderMissing(root, session.number());
      return false;
    }
    bool made = false;
    const bool answered = MakeOne(session, root, options.MakeDirs, made);
    queue.FolderReady(root);
    if (!answered) return false;
    if (!made) return true;  // reported; its files fail one by one
  }
  for (const std::string& folder : tree.plan.folders) {
    const std::string path = JoinRemote(tree.root, folder);
    if (tally.FolderFailed(RemoteParent(path))) {
      tally.AddFailedFolder(path);
    } else {
      bool made = false;
      const bool answered = MakeOne(session, path, false, made);
      queue.FolderReady(path);
      if (!answered) return false;
      if (made) continue;
    }
    recorder.FolderMissing(tree, folder);
  }
  return true;
}

}  // namespace zud
