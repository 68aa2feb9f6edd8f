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
  // One array, the folders first, parents before children: every session
  // makes those whose parent stands, and files go as soon as their folder
  // does. Built in place: a large tree's jobs are never held twice.
  std::vector<TSyncJob> jobs;
  int64_t total_bytes = 0;
  std::set<std::string> pending;  // folders still to be made
  size_t count = 0;
  for (const auto& tree : context_.trees) count += tree->plan.folders.size() + tree->plan.sends.size();
  jobs.reserve(count);
  for (auto& tree : context_.trees) {
    if (tree->plan.make_root) pending.insert(WithoutTrailingSlash(tree->root));
    for (const std::string& folder : tree->plan.folders) {
      const std::string path = JoinRemote(tree->root, folder);
      pending.insert(path);
      jobs.push_back({.tree = tree.get(),
                      .make = &folder,
                      .folder = std::make_shared<const std::string>(RemoteParent(path))});
    }
  }
  const size_t folder_jobs = jobs.size();
  std::shared_ptr<const std::string> parent_path;
  for (auto& tree : context_.trees) {
    for (const TSyncSend& send : tree->plan.sends) {
      // A folder's files come one after another: they share its path.
      std::string parent = RemoteParent(JoinRemote(tree->root, send.entry->relative));
      if (!parent_path || *parent_path != parent) {
        parent_path = std::make_shared<const std::string>(std::move(parent));
      }
      jobs.push_back({tree.get(), send.entry, nullptr, parent_path, send.sha256, send.reason});
      total_bytes += std::max<int64_t>(0, send.entry->size);
    }
    // The jobs carry all the sends say: a large tree's are not held twice.
    std::vector<TSyncSend>().swap(tree->plan.sends);
  }
  const size_t total = jobs.size() - folder_jobs;
  if (SessionCeiling(context_.options) > 1) {
    // Largest first: the long transfers start early and the small ones fill
    // in around them.
    std::stable_sort(jobs.begin() + static_cast<std::ptrdiff_t>(folder_jobs), jobs.end(),
                     [](const TSyncJob& a, const TSyncJob& b) {
                       return a.entry->size > b.entry->size;
                     });
  }
  context_.tally.SetTransfers(total, total_bytes);

  queue_.Open(std::move(jobs), std::move(pending));
  bool roots_made = true;
  for (auto& tree : context_.trees) {
    if (context_.tally.Stopped() || !tree->plan.make_root) continue;
    bool made = false;
    roots_made = MakeTreeRoot(context_, *tree, sessions_.Primary(), made);
    queue_.FolderReady(WithoutTrailingSlash(tree->root));
    if (!roots_made) break;
  }
  if (roots_made) {
    Work(sessions_.Primary());
  } else {
    queue_.AllFoldersReady();
  }
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
    if (job->make != nullptr) {
      if (!MakeTreeFolder(context_, *job->tree, *job->make, session, queue_, recorder_)) {
        queue_.PutBack(*job);
        if (!session.EnsureSession()) return;
      }
      continue;
    }
    SendOne(session, *job);
    sessions_.FileSent(session, queue_.Waiting());
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
