#include "deploy/syncclean.h"

#include <string>

#include "deploy/paths.h"

namespace zud {

void DeleteGone(TSyncContext& context, TSyncTree& tree, TUploadSession& session,
                TStateRecorder& recorder) {
  const auto remove = [&](const std::string& relative, bool folder) {
    const std::string path = JoinRemote(tree.root, relative);
    return session.Persist([&] {
      TFTPSend& ftp = session.ftp();
      if (folder ? ftp.RemoveDirectory(path) : ftp.DeleteRemoteFile(path)) {
        recorder.Deleted(tree, relative, folder);
        context.tally.File({.outcome = TFileOutcome::kDeleted,
                            .path = path,
                            .folder = folder,
                            .session = session.number()});
        return true;
      }
      if (session.NoteLoss()) return false;
      context.tally.File({.outcome = TFileOutcome::kFailed,
                          .path = path,
                          .folder = folder,
                          .failure = TDeployFailure::kRefused,
                          .reply = ftp.ResultString(),
                          .message = "cannot delete " + path + ": " + ftp.ResultString(),
                          .session = session.number()});
      return true;
    });
  };
  for (const std::string& file : tree.plan.deletes) {
    if (!remove(file, false)) return;
  }
  for (const std::string& folder : tree.plan.removals) {
    if (!remove(folder, true)) return;
  }
}

}  // namespace zud
