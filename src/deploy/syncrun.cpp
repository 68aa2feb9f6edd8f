#include "deploy/syncrun.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "deploy/figures.h"
#include "deploy/localtree.h"
#include "deploy/paths.h"
#include "deploy/session.h"
#include "deploy/sources.h"
#include "deploy/syncplan.h"
#include "deploy/syncstate.h"
#include "deploy/uploadsession.h"
#include "util/sha256.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {
namespace {

// A folder's listing larger than this is not read (a hostile server could
// send without end).
constexpr size_t kMaxListingBytes = 256u << 20;
// How far a listing's time may lie from UTC: the widest zone offsets.
constexpr int64_t kZoneSlackSeconds = 14 * 3600;

// A memory stream that takes at most limit bytes; past it, it raises stop
// (the data socket's stop flag), so the transfer ends at once, and fails.
class TCappedStream : public TMemoryStream {
 public:
  TCappedStream(size_t limit, std::atomic<bool>& stop) : limit_(limit), stop_(stop) {}
  int64_t Write(const void* buffer, int64_t count) override {
    if (static_cast<size_t>(Size() + count) > limit_) {
      failed_ = true;
      stop_ = true;
      return 0;
    }
    return TMemoryStream::Write(buffer, count);
  }
  bool Failed() const override { return failed_ || TMemoryStream::Failed(); }

 private:
  size_t limit_;
  std::atomic<bool>& stop_;
  bool failed_ = false;
};

// The SHA-256 of a local file, "" when it cannot be read or the run stops
// meanwhile (a large file takes seconds).
std::string HashLocalFile(const std::string& path, const TRunTally& tally) {
  try {
    return Sha256HexOfFile(path, [&tally] { return tally.Stopped(); });
  } catch (const std::exception&) {
    return std::string();
  }
}

// One tree: a remote root and the local entries that go below it.
struct TSyncTree {
  std::string root;  // remote, ends in "/"
  std::optional<TSyncState> state_read;
  TSyncInputs inputs;  // inputs.local: the local entries that go below root
  TSyncPlan plan;
  // The state as the run leaves it, written at checkpoints and the end.
  TSyncState state;
  size_t sent_since_write = 0;
  std::string last_written;  // the state file's text as last written
};

// A file to send, with the tree it belongs to.
struct TSyncJob {
  TSyncTree* tree = nullptr;
  const TTreeEntry* entry = nullptr;
  std::string folder;  // the remote folder it goes into
};

// The files waiting for a session. A file waits until its folder is made
// (or could not be made); files for folders that exist go at once, while the
// first session is still making the others.
class TJobQueue {
 public:
  void Open(std::vector<TSyncJob> jobs, std::set<std::string> pending_folders) {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_ = std::move(jobs);
    taken_.assign(jobs_.size(), false);
    pending_ = std::move(pending_folders);
    open_ = true;
    ready_.notify_all();
  }
  void FolderReady(const std::string& folder) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.erase(folder);
    ready_.notify_all();
  }
  // Every folder is made or given up: no file waits any longer.
  void AllFoldersReady() {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.clear();
    open_ = true;
    ready_.notify_all();
  }
  // The next file whose folder is ready, or nullopt when none is left (or
  // the run stops).
  std::optional<TSyncJob> Take(const TRunTally& tally) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (tally.Stopped()) return std::nullopt;
      if (!returned_.empty()) {
        const TSyncJob job = returned_.back();
        returned_.pop_back();
        return job;
      }
      if (open_) {
        while (first_ < jobs_.size() && taken_[first_]) ++first_;
        for (size_t i = first_; i < jobs_.size(); ++i) {
          if (taken_[i] || pending_.count(jobs_[i].folder) != 0) continue;
          taken_[i] = true;
          return jobs_[i];
        }
        if (first_ >= jobs_.size()) return std::nullopt;
      }
      ready_.wait_for(lock, std::chrono::milliseconds(kStopCheckMs));
    }
  }
  // The files no session took, or took and put back.
  std::vector<TSyncJob> Untaken() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TSyncJob> left = returned_;
    for (size_t i = 0; i < jobs_.size(); ++i) {
      if (!taken_[i]) left.push_back(jobs_[i]);
    }
    return left;
  }
  // A job taken by a session that could not send it.
  void PutBack(const TSyncJob& job) {
    std::lock_guard<std::mutex> lock(mutex_);
    returned_.push_back(job);
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<TSyncJob> jobs_;
  std::vector<bool> taken_;
  std::vector<TSyncJob> returned_;
  std::set<std::string> pending_;
  size_t first_ = 0;
  bool open_ = false;
};

class TSyncRun {
 public:
  explicit TSyncRun(TRunTally& tally)
      : settings_(tally.options()), tally_(tally), excludes_(ExcludesOf(settings_)) {}

  void Run();

 private:
  // ---- Local side ----
  void GatherParameter(const std::string& param);
  void MergeNestedTrees();
  // ---- Remote side ----
  bool ReadTree(TSyncTree& tree);
  bool ReadState(TSyncTree& tree);
  bool ListTree(TSyncTree& tree);
  // Lists one folder into tree.inputs.remote; false when the session is lost.
  enum class TListing { kRead, kMissing, kLost };
  TListing ListFolder(TSyncTree& tree, const std::string& relative, bool& understood,
                      std::vector<std::string>& subfolders);
  bool DownloadText(const std::string& command, size_t limit, std::string& text, int& code);
  // ---- Steps ----
  void ReportPlan();
  void RecordOutcomes();
  bool MakeFolders(TSyncTree& tree);
  void SendFiles();
  void Worker(TUploadSession& session);
  void SendOne(TUploadSession& session, const TSyncJob& job);
  void DeleteGone(TSyncTree& tree, TUploadSession& session);
  bool WriteState(TUploadSession& session, TSyncTree& tree);
  TUploadSession& Primary() { return *sessions_.front(); }
  // A session still up (reconnecting the first one if need be), or nullptr.
  TUploadSession* Alive();
  // Runs step on session, again after each reconnect while step reports a
  // lost session (false). False when the session could not be mended.
  template <class Step>
  bool WithSession(TUploadSession& session, Step step);

  const TDeployOptions& settings_;
  TRunTally& tally_;
  std::string extra_password_;  // for the extra sessions: the password as typed
  TExcludeList excludes_;
  std::vector<std::unique_ptr<TSyncTree>> trees_;
  std::vector<std::unique_ptr<TUploadSession>> sessions_;
  TJobQueue queue_;
  std::mutex state_mutex_;  // the trees' states and counters
  std::mutex write_mutex_;  // one state file write at a time
  std::atomic<int> open_sessions_{0};
  size_t total_sends_ = 0;
  bool mlsd_checked_ = false;
  bool mlsd_ = false;
  bool list_all_ = true;  // "LIST -a" until the server refuses it
  std::string home_;      // the login folder, where a LIST from inside returns
};

// ---- Local side -------------------------------------------------------------------

void TSyncRun::GatherParameter(const std::string& param) {
  TLocalSource local = ReadSource(param, excludes_, tally_);
  if (!local.usable) return;
  TSyncTree* tree = nullptr;
  for (auto& known : trees_) {
    if (known->root == local.root) tree = known.get();
  }
  if (tree == nullptr) {
    trees_.push_back(std::make_unique<TSyncTree>());
    tree = trees_.back().get();
    tree->root = local.root;
  }
  for (TTreeEntry& entry : local.entries) {
    if (entry.relative == kSyncStateName || entry.relative == kSyncStateTemporaryName) {
      tally_.File({.outcome = TFileOutcome::kSkipped,
                   .path = entry.local_path,
                   .message = entry.local_path + ": the sync's own state file; skipped"});
      continue;
    }
    tree->inputs.local.push_back(std::move(entry));
  }
}

// A tree whose root lies in another tree ("site" into /dir/site/ beside "x/"
// into /dir/) becomes part of it, so that /delete in the outer tree never
// removes what the inner one sends. A path named twice keeps its last source.
void TSyncRun::MergeNestedTrees() {
  std::sort(trees_.begin(), trees_.end(),
            [](const auto& a, const auto& b) { return a->root.size() < b->root.size(); });
  for (size_t i = 0; i < trees_.size(); ++i) {
    for (size_t outer = 0; outer < i; ++outer) {
      TSyncTree& into = *trees_[outer];
      TSyncTree& from = *trees_[i];
      if (!from.root.starts_with(into.root)) continue;
      const std::string prefix = from.root.substr(into.root.size());  // "site/"
      for (size_t cut = prefix.find('/'); cut != std::string::npos; cut = prefix.find('/', cut + 1)) {
        TTreeEntry folder;
        folder.relative = prefix.substr(0, cut);
        folder.is_directory = true;
        into.inputs.local.push_back(folder);
      }
      for (TTreeEntry& entry : from.inputs.local) {
        entry.relative = prefix + entry.relative;
        into.inputs.local.push_back(std::move(entry));
      }
      trees_.erase(trees_.begin() + static_cast<std::ptrdiff_t>(i));
      --i;
      break;
    }
  }
  for (auto& tree : trees_) {
    // The last source of a path wins; the order of first appearance stays.
    std::map<std::string, size_t> last;
    for (size_t k = 0; k < tree->inputs.local.size(); ++k) last[tree->inputs.local[k].relative] = k;
    std::vector<TTreeEntry> kept;
    std::set<std::string> placed;
    for (size_t k = 0; k < tree->inputs.local.size(); ++k) {
      const std::string& relative = tree->inputs.local[k].relative;
      if (!placed.insert(relative).second) continue;
      kept.push_back(tree->inputs.local[last[relative]]);
    }
    tree->inputs.local = std::move(kept);
  }
}

// ---- Remote side -------------------------------------------------------------------

template <class Step>
bool TSyncRun::WithSession(TUploadSession& session, Step step) {
  for (;;) {
    if (tally_.Stopped() || !session.EnsureSession()) return false;
    if (step()) return true;
    if (tally_.Stopped() || !session.NoteLoss()) return false;
  }
}

bool TSyncRun::DownloadText(const std::string& command, size_t limit, std::string& text,
                            int& code) {
  TFTPSend& ftp = Primary().ftp();
  text.clear();
  code = 0;
  TCappedStream data(limit, ftp.DSock().StopFlag);
  if (!ftp.PrepareDataConnection()) return false;
  code = ftp.SendCommand(command);
  if (ReplyClassOf(code) != 1) return false;
  const bool done = ftp.DownloadOverData(data);
  if (data.Failed()) {
    ftp.DSock().StopFlag = false;
    code = 0;
    tally_.Notice({.kind = TNoticeKind::kError,
                   .text = "the server sent more than " +
                           FormatByteSize(static_cast<int64_t>(limit)) + " for " + command +
                           "; not read"});
    return false;
  }
  code = ftp.ResultCode();
  text = data.Data();
  return done;
}

bool TSyncRun::ReadState(TSyncTree& tree) {
  std::string text;
  int code = 0;
  const std::string path = tree.root + std::string(kSyncStateName);
  const bool read = WithSession(Primary(), [&] {
    if (DownloadText("RETR " + path, kMaxSyncStateBytes, text, code)) return true;
    // A refusal (no state file yet) is an answer too.
    return ReplyClassOf(code) == 4 || ReplyClassOf(code) == 5;
  });
  if (!read) return false;
  if (ReplyClassOf(code) != 2) return true;
  std::string error;
  tree.state_read = ParseSyncState(text, &error);
  if (!tree.state_read) {
    tally_.Notice({.kind = TNoticeKind::kWarning,
                   .text = "ignoring the state file " + path + " (" + error +
                           "); deciding from the server's listing"});
  }
  return true;
}


bool IsLinkFact(std::string_view line) {
  const std::string lower = LowerCase8(std::string(line.substr(0, line.find(' '))));
  return lower.find("type=os.unix=slink") != std::string::npos ||
         lower.find("type=os.unix=symlink") != std::string::npos;
}

TSyncRun::TListing TSyncRun::ListFolder(TSyncTree& tree, const std::string& relative,
                                        bool& understood, std::vector<std::string>& subfolders) {
  TFTPSend& ftp = Primary().ftp();
  const std::string path = JoinRemote(tree.root, relative);
  std::string text;
  int code = 0;
  bool got = false;
  if (mlsd_) {
    got = DownloadText("MLSD " + path, kMaxListingBytes, text, code);
  } else {
    // LIST takes its argument as a pattern on many servers: a folder whose
    // name holds one of its characters is entered and listed from inside.
    const bool enter = path.find_first_of("*?[") != std::string::npos;
    if (enter) {
      if (home_.empty()) home_ = ftp.CurrentDirectory();
      if (home_.empty() || !ftp.ChangeDirectory(path)) {
        code = ftp.ResultCode();
        return ReplyClassOf(code) == 5 ? TListing::kMissing : TListing::kLost;
      }
    }
    const std::string argument = enter ? std::string() : " " + path;
    // "-a" shows dotfiles on the servers that take it; one that refuses it
    // is asked plainly from then on.
    if (list_all_) {
      got = DownloadText("LIST -a" + argument, kMaxListingBytes, text, code);
      if (!got && ReplyClassOf(code) == 5) {
        got = DownloadText("LIST" + argument, kMaxListingBytes, text, code);
        if (got) list_all_ = false;
      }
    } else {
      got = DownloadText("LIST" + argument, kMaxListingBytes, text, code);
    }
    if (enter && !ftp.ChangeDirectory(home_)) return TListing::kLost;
  }
  if (!got) {
    return ReplyClassOf(code) == 4 || ReplyClassOf(code) == 5 ? TListing::kMissing : TListing::kLost;
  }
  TFTPList& list = ftp.FtpList();
  list.ClearListing();
  list.LoadLinesFromText(text);
  if (mlsd_) {
    list.ParseMachineLines();
  } else {
    list.ParseLines();
  }
  understood = true;
  for (const TListText& line : list.UnparsedLines) {
    const std::string_view view = line.view();
    if (!view.empty() && !view.starts_with("total ")) understood = false;
  }
  for (const TFTPListRec* rec : list.Entries) {
    const std::string name = rec->EntryName.str();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) continue;
    if (relative.empty() && (name == kSyncStateName || name == kSyncStateTemporaryName)) continue;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    TRemoteEntry entry;
    entry.is_link = mlsd_ ? IsLinkFact(rec->SourceLine.view())
                          : (!rec->PermissionString.empty() && rec->PermissionString[0] == 'l');
    entry.is_directory = rec->IsDirectory && !entry.is_link;
    entry.size = rec->SizeBytes;
    const int64_t when = ListingTimeToSeconds(rec->ModifiedAt);
    if (rec->ModifiedIsUtc) {
      entry.time_from = entry.time_to = when;
    } else {
      // Printed in the server's zone, to the minute, or to the day for
      // older files (shown with a year, at midnight).
      const double day_part = rec->ModifiedAt - std::floor(rec->ModifiedAt);
      const int64_t precision = day_part == 0.0 ? 86399 : 59;
      entry.time_from = when - kZoneSlackSeconds;
      entry.time_to = when + kZoneSlackSeconds + precision;
    }
    entry.excluded = excludes_.ExcludesItself(rel, entry.is_directory);
    if (entry.is_directory && !entry.excluded) subfolders.push_back(rel);
    tree.inputs.remote[rel] = entry;
  }
  return TListing::kRead;
}

bool TSyncRun::ListTree(TSyncTree& tree) {
  if (!mlsd_checked_) {
    mlsd_checked_ = true;
    mlsd_ = Primary().ftp().HasMachineListing();
  }
  tree.inputs.listed = true;
  std::set<std::string> local_folders;
  for (const TTreeEntry& entry : tree.inputs.local) {
    if (entry.is_directory) local_folders.insert(entry.relative);
  }
  std::vector<std::string> pending = {std::string()};
  while (!pending.empty()) {
    const std::string relative = pending.back();
    pending.pop_back();
    bool understood = true;
    std::vector<std::string> subfolders;
    TListing outcome = TListing::kLost;
    const bool answered = WithSession(Primary(), [&] {
      understood = true;
      subfolders.clear();
      outcome = ListFolder(tree, relative, understood, subfolders);
      return outcome != TListing::kLost;
    });
    if (!answered) return false;
    if (outcome == TListing::kMissing) {
      if (relative.empty()) tree.inputs.root_exists = false;
      if (!relative.empty()) tree.inputs.remote[relative].listed = false;
      continue;
    }
    if (relative.empty() && tree.inputs.remote.empty() && !mlsd_) {
      // Some servers list a missing folder as an empty one.
      bool exists = true;
      if (!WithSession(Primary(), [&] {
            exists = RemoteFolderExists(Primary().ftp(), WithoutTrailingSlash(tree.root));
            return exists || !Primary().NoteLoss();
          })) {
        return false;
      }
      tree.inputs.root_exists = exists;
    }
    if (!understood && !relative.empty()) tree.inputs.remote[relative].listed = false;
    for (const std::string& sub : subfolders) {
      // Folders the local side has; with /delete every folder, to find
      // what is gone.
      if (settings_.Delete || local_folders.count(sub) != 0) pending.push_back(sub);
    }
  }
  return true;
}

bool TSyncRun::ReadTree(TSyncTree& tree) {
  if (settings_.Sync && !ReadState(tree)) return false;
  TSyncInputs& in = tree.inputs;
  in.state = tree.state_read;
  in.delete_missing = settings_.Delete;
  in.checksum = settings_.Checksum;
  in.compare_sizes = !settings_.Ascii;
  if (!settings_.Sync) {
    // Plain folder mode: everything is sent, nothing is read first; the
    // named folder is made (or found) as folder mode always does.
    in.state = TSyncState();
    in.root_exists = tree.root == WithDirectoryEnd(settings_.RemoteDir);
  } else if (!tree.state_read || settings_.Delete) {
    if (!ListTree(tree)) return false;
  }
  in.remote_time = [this, &tree](const std::string& relative) -> int64_t {
    int64_t when = -1;
    WithSession(Primary(), [&] {
      when = Primary().ftp().RemoteModifyTime(JoinRemote(tree.root, relative));
      return when >= 0 || !Primary().NoteLoss();
    });
    return when;
  };
  in.hash = [this](const TTreeEntry& entry) { return HashLocalFile(entry.local_path, tally_); };
  tree.plan = PlanSync(in);
  tree.state = tree.plan.state;
  tally_.CountUnchanged(tree.plan.unchanged);
  for (const TSyncConflict& conflict : tree.plan.conflicts) {
    tally_.File({.outcome = TFileOutcome::kFailed,
                 .path = tree.root + conflict.relative,
                 .failure = TDeployFailure::kRefused,
                 .message = "not sent " + tree.root + conflict.relative + ": " + conflict.reason});
  }
  return !tally_.Stopped();
}

// ---- Steps ------------------------------------------------------------------------

void TSyncRun::ReportPlan() {
  std::vector<TPlanStep> steps;
  for (const auto& tree : trees_) {
    const TSyncPlan& plan = tree->plan;
    if (plan.make_root) steps.push_back({TPlanAction::kMakeFolder, WithoutTrailingSlash(tree->root)});
    for (const std::string& folder : plan.folders) {
      steps.push_back({TPlanAction::kMakeFolder, JoinRemote(tree->root, folder)});
    }
    for (const TSyncSend& send : plan.sends) {
      steps.push_back({TPlanAction::kSend, JoinRemote(tree->root, send.entry->relative),
                       send.reason, std::max<int64_t>(0, send.entry->size)});
    }
    for (const std::string& file : plan.deletes) {
      steps.push_back({TPlanAction::kDelete, JoinRemote(tree->root, file)});
    }
    for (const std::string& folder : plan.removals) {
      steps.push_back({TPlanAction::kRemoveFolder, JoinRemote(tree->root, folder)});
    }
  }
  tally_.Plan(std::move(steps), !tally_.Stopped());
}

void TSyncRun::RecordOutcomes() {
  for (const auto& tree : trees_) {
    for (const TTreeEntry* entry : tree->plan.unchanged_files) {
      tally_.Record({.outcome = TFileOutcome::kUnchanged, .path = JoinRemote(tree->root, entry->relative)});
    }
  }
  for (const TSyncJob& job : queue_.Untaken()) {
    tally_.Record({.outcome = TFileOutcome::kNotSent, .path = JoinRemote(job.tree->root, job.entry->relative)});
  }
}

bool TSyncRun::MakeFolders(TSyncTree& tree) {
  TUploadSession& session = Primary();
  if (tree.plan.make_root) {
    const std::string root = WithoutTrailingSlash(tree.root);
    const std::string base = WithoutTrailingSlash(WithDirectoryEnd(settings_.RemoteDir));
    if (root == base && !settings_.MakeDirs) {
      tally_.File({.outcome = TFileOutcome::kFailed,
                   .path = root,
                   .folder = true,
                   .failure = TDeployFailure::kRefused,
                   .message = "remote directory " + root + " does not exist",
                   .hint = TDeployHint::kRemoteFolderMissing});
      return false;
    }
    bool made = false;
    const bool answered = WithSession(session, [&] {
      made = settings_.MakeDirs ? session.MakeFolderChain(root) : session.MakeFolder(root, true);
      return made || !session.NoteLoss();
    });
    queue_.FolderReady(root);
    if (!answered) return false;
    if (!made) return true;  // reported; its files fail one by one
  }
  for (const std::string& folder : tree.plan.folders) {
    const std::string path = JoinRemote(tree.root, folder);
    if (tally_.FolderFailed(RemoteParent(path))) {
      tally_.AddFailedFolder(path);
    } else {
      bool made = false;
      const bool answered = WithSession(session, [&] {
        made = session.MakeFolder(path, true);
        return made || !session.NoteLoss();
      });
      queue_.FolderReady(path);
      if (!answered) return false;
      if (made) continue;
    }
    std::lock_guard<std::mutex> lock(state_mutex_);
    tree.state.folders.erase(folder);
  }
  return true;
}

void TSyncRun::SendOne(TUploadSession& session, const TSyncJob& job) {
  const TTreeEntry& entry = *job.entry;
  TSyncTree& tree = *job.tree;
  const TStoreItem item{entry.local_path, JoinRemote(tree.root, entry.relative),
                        std::max<int64_t>(0, entry.size)};
  const bool stored = session.StoreFile(item);
  tally_.FileTried();
  // Where the server can set a file's time, the next comparison without a
  // state file is exact.
  if (stored && settings_.Sync && session.ftp().HasFeature("MFMT")) {
    session.ftp().SetRemoteModifyTime(item.remote, entry.modified);
  }
  // Hashed after the store, so that the transfer starts at once; a file
  // changed meanwhile has a new time, and the next run sends it again.
  const std::string digest =
      stored && settings_.Sync ? HashLocalFile(entry.local_path, tally_) : std::string();
  bool checkpoint = false;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (stored && !digest.empty()) {
      tree.state.files[entry.relative] = {entry.size, entry.modified, digest};
    } else {
      tree.state.files.erase(entry.relative);
    }
    if (stored && settings_.Sync && ++tree.sent_since_write >= kSyncCheckpointFiles) {
      tree.sent_since_write = 0;
      checkpoint = true;
    }
  }
  if (checkpoint) WriteState(session, tree);
}

void TSyncRun::Worker(TUploadSession& session) {
  while (std::optional<TSyncJob> job = queue_.Take(tally_)) {
    if (!session.EnsureSession()) {
      queue_.PutBack(*job);  // another session may still send it
      return;
    }
    SendOne(session, *job);
    if (session.lost() && !session.EnsureSession()) return;
  }
}

void TSyncRun::DeleteGone(TSyncTree& tree, TUploadSession& session) {
  const auto remove = [&](const std::string& relative, bool folder) {
    const std::string path = JoinRemote(tree.root, relative);
    return WithSession(session, [&] {
      TFTPSend& ftp = session.ftp();
      if (folder ? ftp.RemoveDirectory(path) : ftp.DeleteRemoteFile(path)) {
        tally_.File({.outcome = TFileOutcome::kDeleted,
                     .path = path,
                     .folder = folder,
                     .session = session.number()});
        return true;
      }
      if (session.NoteLoss()) return false;
      tally_.File({.outcome = TFileOutcome::kFailed,
                   .path = path,
                   .folder = folder,
                   .failure = TDeployFailure::kRefused,
                   .reply = ftp.ResultString(),
                   .message = "cannot delete " + path + ": " + ftp.ResultString(),
                   .session = session.number()});
      std::lock_guard<std::mutex> lock(state_mutex_);
      if (folder) {
        tree.state.folders.insert(relative);
      }
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

bool TSyncRun::WriteState(TUploadSession& session, TSyncTree& tree) {
  std::lock_guard<std::mutex> writing(write_mutex_);
  std::string text;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    text = FormatSyncState(tree.state);
  }
  if (text == tree.last_written) return true;  // a checkpoint wrote just this
  const std::string temporary = tree.root + std::string(kSyncStateTemporaryName);
  const std::string final_name = tree.root + std::string(kSyncStateName);
  const bool written = WithSession(session, [&] {
    TFTPSend& ftp = session.ftp();
    TMemoryStream data(text);
    if (ftp.PrepareDataConnection() && ReplyClassOf(ftp.SendCommand("STOR " + temporary)) == 1 &&
        ftp.UploadOverData(data) && session.Rename(temporary, final_name)) {
      tree.last_written = text;
      return true;
    }
    if (session.NoteLoss()) return false;
    tally_.File({.outcome = TFileOutcome::kFailed,
                 .path = final_name,
                 .failure = TDeployFailure::kRefused,
                 .reply = ftp.ResultString(),
                 .message = "cannot write the state file " + final_name + ": " + ftp.ResultString(),
                 .session = session.number()});
    return true;
  });
  return written;
}

void TSyncRun::SendFiles() {
  std::vector<TSyncJob> jobs;
  int64_t total_bytes = 0;
  std::set<std::string> pending;  // folders still to be made
  for (auto& tree : trees_) {
    if (tree->plan.make_root) pending.insert(WithoutTrailingSlash(tree->root));
    for (const std::string& folder : tree->plan.folders) pending.insert(JoinRemote(tree->root, folder));
    for (const TSyncSend& send : tree->plan.sends) {
      jobs.push_back(
          {tree.get(), send.entry, RemoteParent(JoinRemote(tree->root, send.entry->relative))});
      total_bytes += std::max<int64_t>(0, send.entry->size);
    }
  }
  total_sends_ = jobs.size();
  if (settings_.Parallel > 1) {
    // Largest first: the long transfers start early and the small ones fill
    // in around them.
    std::stable_sort(jobs.begin(), jobs.end(), [](const TSyncJob& a, const TSyncJob& b) {
      return a.entry->size > b.entry->size;
    });
  }
  tally_.SetTransfers(total_sends_, total_bytes);

  // The extra sessions log in while the first one makes the folders.
  const int wanted = static_cast<int>(std::min<size_t>(settings_.Parallel, jobs.size()));
  open_sessions_ = std::max(wanted, 1);
  std::vector<std::thread> threads;
  for (int number = 2; number <= wanted; ++number) {
    sessions_.push_back(std::make_unique<TUploadSession>(tally_, number, extra_password_));
    TUploadSession& session = *sessions_.back();
    session.SetEndsAlone(true);
    threads.emplace_back([this, &session] {
      if (session.Connect(false, false) != TDeployFailure::kNone) {
        if (!tally_.Stopped()) {
          const TSessionFacts facts = session.watch().Facts();
          const std::string why = facts.result_line.empty() ? facts.control_error_text : facts.result_line;
          const int left = --open_sessions_;
          tally_.Notice({.kind = TNoticeKind::kNote,
                         .text = "the server refused session " + std::to_string(session.number()) +
                                 " (" + why + "); going on with " + std::to_string(left) +
                                 (left == 1 ? " session" : " sessions"),
                         .session = session.number()});
        }
        return;
      }
      Worker(session);
      // After an interrupt every session ends at once, each in its thread;
      // otherwise they stay for the deletes and the state file.
      if (tally_.Interrupted()) session.End();
    });
  }
  // Files for folders that exist go at once; the others as their folder is made.
  queue_.Open(std::move(jobs), std::move(pending));
  bool folders_made = true;
  for (auto& tree : trees_) {
    if (tally_.Stopped() || !(folders_made = MakeFolders(*tree))) break;
  }
  queue_.AllFoldersReady();
  if (folders_made) Worker(Primary());
  for (std::thread& thread : threads) thread.join();
}

TUploadSession* TSyncRun::Alive() {
  for (auto& session : sessions_) {
    if (session->up() && !session->lost()) return session.get();
  }
  return Primary().up() && Primary().EnsureSession() ? &Primary() : nullptr;
}

void TSyncRun::Run() {
  tally_.Stage(TDeployStage::kLocal);
  for (const std::string& source : settings_.Sources) GatherParameter(source);
  MergeNestedTrees();
  if (trees_.empty()) return;

  sessions_.push_back(
      std::make_unique<TUploadSession>(tally_, settings_.Parallel > 1 ? 1 : 0, settings_.Password));
  const TDeployFailure login = Primary().Connect(true);
  if (login != TDeployFailure::kNone) {
    tally_.KeepFailure(login);
    RecordOutcomes();
    return;
  }
  if (settings_.Parallel > 1) Primary().SetEndsAlone(true);
  extra_password_ = settings_.Password;
  // A password given at the prompt serves the extra sessions too.
  if (!settings_.User.empty() && settings_.Password.empty()) extra_password_ = Primary().password();
  {
    std::optional<TInterruptArming> armed;
    if (settings_.HeedInterrupts) armed.emplace(Primary().ftp());
    tally_.Stage(TDeployStage::kRemote);
    const std::string base = WithoutTrailingSlash(WithDirectoryEnd(settings_.RemoteDir));
    if (settings_.MakeDirs && !settings_.DryRun) {
      WithSession(Primary(), [&] {
        return Primary().MakeFolderChain(base) || !Primary().NoteLoss();
      });
    }
    for (auto& tree : trees_) {
      if (tally_.Stopped()) break;
      if (!ReadTree(*tree)) {
        if (!tally_.Stopped()) {
          const std::string reply = Primary().ftp().ResultString();
          tally_.File({.outcome = TFileOutcome::kFailed,
                       .path = WithoutTrailingSlash(tree->root),
                       .folder = true,
                       .failure = TDeployFailure::kTransferFailed,
                       .reply = reply,
                       .message = "cannot read what the server has in " + tree->root + ": " +
                                  reply + "; nothing was changed"});
          tally_.Stop();
        }
        break;
      }
    }
    if (settings_.DryRun) {
      ReportPlan();
    } else if (!tally_.Stopped()) {
      tally_.Stage(TDeployStage::kTransfer);
      SendFiles();
      tally_.Stage(TDeployStage::kCleanUp);
      if (tally_.files_tried() < total_sends_ && !tally_.Stopped()) {
        tally_.KeepFailure(TDeployFailure::kTransferFailed);
        tally_.Notice({.kind = TNoticeKind::kError,
                       .text = "no session is left to send the other files",
                       .failure = TDeployFailure::kTransferFailed});
      }
      TUploadSession* session = tally_.Stopped() ? nullptr : Alive();
      for (auto& tree : trees_) {
        if (session == nullptr || tally_.Stopped()) break;
        if (settings_.Delete) DeleteGone(*tree, *session);
        const bool differs = tree->state_read ? *tree->state_read != tree->state
                                              : !tree->state.files.empty() ||
                                                    !tree->state.folders.empty();
        if (settings_.Sync && differs && !tally_.Stopped()) WriteState(*session, *tree);
      }
    }
  }
  tally_.Stage(TDeployStage::kEnd);
  if (tally_.Interrupted()) {
    tally_.Notice({.kind = TNoticeKind::kInterrupted, .text = "interrupted"});
    tally_.KeepFailure(TDeployFailure::kInterrupted);
  }
  for (auto& session : sessions_) session->End();
  RecordOutcomes();
}

}  // namespace

void RunSync(TRunTally& tally) { TSyncRun(tally).Run(); }

}  // namespace zud
