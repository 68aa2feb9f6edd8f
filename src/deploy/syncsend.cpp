#include "deploy/syncsend.h"

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "deploy/paths.h"
#include "deploy/syncfolders.h"

namespace zud {

size_t TSyncSender::Run() {
  std::vector<TSyncJob> jobs;
  int64_t total_bytes = 0;
  std::set<std::string> pending;  // folders still to be made
  size_t sends = 0;
  for (const auto& tree : context_.trees) sends += tree->plan.sends.size();
  jobs.reserve(sends);
  std::shared_ptr<const std::string> folder;
  for (auto& tree : context_.trees) {
    if (tree->plan.make_root) pending.insert(WithoutTrailingSlash(tree->root));
    for (const std::string& folder : tree->plan.folders) {
      pending.insert(JoinRemote(tree->root, folder));
    }
    for (const TSyncSend& send : tree->plan.sends) {
      // A folder's files come one after another: they share its path.
      std::string parent = RemoteParent(JoinRemote(tree->root, send.entry->relative));
      if (!folder || *folder != parent) folder = std::make_shared<const std::string>(std::move(parent));
      jobs.push_back({tree.get(), send.entry, folder, send.sha256, send.reason});
      total_bytes += std::max<int64_t>(0, send.entry->size);
    }
    // The jobs carry all the sends say: a large tree's are not held twice.
    std::vector<TSyncSend>().swap(tree->plan.sends);
  }
  const size_t total = jobs.size();
  const int parallel = context_.options.Parallel;
  if (parallel > 1) {
    // Largest first: the long transfers start early and the small ones fill
    // in around them.
    std::stable_sort(jobs.begin(), jobs.end(), [](const TSyncJob& a, const TSyncJob& b) {
      return a.entry->size > b.entry->size;
    });
  }
  context_.tally.SetTransfers(total, total_bytes);

  // Files for folders that exist go at once; the others as their folder is made.
  queue_.Open(std::move(jobs), std::move(pending));
  bool folders_made = true;
  for (auto& tree : context_.trees) {
    if (context_.tally.Stopped()) break;
    folders_made = MakeTreeFolders(context_, *tree, sessions_.Primary(), queue_, recorder_);
    if (!folders_made) break;
  }
  queue_.AllFoldersReady();
  if (folders_made) Work(sessions_.Primary());
  // Every file is taken: a session still logging in would only delay the end.
  sessions_.AbandonLogins();
  sessions_.Join();
  return total;
}

void TSyncSender::Work(TUploadSession& session) {
  while (std::optional<TSyncJob> job = queue_.Take(context_.tally)) {
    if (!session.EnsureSession()) {
      queue_.PutBack(*job);  // another session may still send it
      return;
    }
    SendOne(session, *job);
    if (session.lost() && !session.EnsureSession()) return;
  }
}

void TSyncSender::SendOne(TUploadSession& session, const TSyncJob& job) {
  const TTreeEntry& entry = *job.entry;
  const TStoreItem item{entry.LocalPath(), JoinRemote(job.tree->root, entry.relative),
                        std::max<int64_t>(0, entry.size), job.reason};
  const bool stored = session.StoreFile(item);
  context_.tally.FileTried();
  if (stored && context_.options.Sync && session.ftp().HasFeature("MFMT")) {
    session.ftp().SetRemoteModifyTime(item.remote, entry.modified);
  }
  recorder_.FileDone(session, *job.tree, entry, stored, job.sha256);
}

}  // namespace zud
