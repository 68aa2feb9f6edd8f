#include "deploy/syncplan.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "deploy/paths.h"
#include "util/textutil.h"

namespace zud {
namespace {

// Every folder above relative ("a/b/c" -> "a/b", "a").
template <class Visit>
void ForEachParent(const std::string& relative, Visit visit) {
  for (size_t cut = relative.rfind('/'); cut != std::string::npos && cut > 0;
       cut = relative.rfind('/', cut - 1)) {
    visit(relative.substr(0, cut));
  }
}

// Whether relative is one of the sync's own files, or lies in one.
bool IsOwn(const TSyncInputs& in, const std::string& relative) {
  if (IsSyncStateName(relative) || in.own.count(relative) != 0) return true;
  bool inside = false;
  ForEachParent(relative, [&](const std::string& parent) {
    inside = inside || IsSyncStateName(parent) || in.own.count(parent) != 0;
  });
  return inside;
}

size_t Depth(const std::string& relative) {
  return static_cast<size_t>(std::count(relative.begin(), relative.end(), '/'));
}

const TRemoteEntry* RemoteOf(const TSyncInputs& in, const std::string& relative) {
  if (!in.listed) return nullptr;
  const auto it = in.remote.find(relative);
  return it == in.remote.end() ? nullptr : &it->second;
}

const TSyncRecord* RecordOf(const TSyncInputs& in, const std::string& relative) {
  if (!in.state) return nullptr;
  const auto it = in.state->files.find(relative);
  return it == in.state->files.end() ? nullptr : &it->second;
}

bool FolderInTheWay(const TRemoteEntry* remote) {
  return remote != nullptr && remote->is_directory && !remote->is_link;
}

// What a file's record says before its content is read.
enum class TVerdict { kSend, kHash, kUnchanged };

TVerdict JudgeRecorded(const TSyncInputs& in, const TTreeEntry& entry, const TSyncRecord& record,
                       const TRemoteEntry* remote, TSendReason& reason) {
  reason = TSendReason::kSize;
  if (in.listed && remote == nullptr) {
    reason = TSendReason::kMissing;
    return TVerdict::kSend;
  }
  if (record.size != entry.size) return TVerdict::kSend;
  // Someone else changed the server's copy since.
  if (remote != nullptr && !remote->is_link && in.compare_sizes && remote->size >= 0 &&
      remote->size != record.size) {
    return TVerdict::kSend;
  }
  // A new time alone (a fresh checkout) is no change: the content decides.
  if (record.modified != entry.modified || in.checksum) return TVerdict::kHash;
  return TVerdict::kUnchanged;
}

class TPlanner {
 public:
  // take_state: the plan's state starts as inputs.state itself, moved
  // rather than copied, and the records are read from it.
  TPlanner(const TSyncInputs& in, std::optional<TSyncState>* take_state) : in_(in) {
    if (take_state != nullptr && *take_state) {
      plan_.state = std::move(**take_state);
      take_state->reset();
      records_ = &plan_.state;
    } else if (in.state) {
      plan_.state = *in.state;
      records_ = &*in.state;
    }
    plan_.make_root = !in.root_exists;
  }

  TSyncPlan Run() {
    const bool deletes = in_.delete_missing && in_.listed;
    if (deletes) local_.reserve(in_.local.size());
    for (const TTreeEntry& entry : in_.local) {
      if (IsOwn(in_, entry.relative)) continue;
      if (deletes) local_.insert(entry.relative);
      if (entry.is_directory) {
        PlanFolder(entry);
      } else {
        PlanFile(entry);
      }
    }
    if (deletes) PlanDeletes();
    return std::move(plan_);
  }

 private:
  const TRemoteEntry* Remote(const std::string& relative) const { return RemoteOf(in_, relative); }
  // Each path is planned once, so a record the plan changed is never read again.
  const TSyncRecord* Record(const std::string& relative) const {
    if (records_ == nullptr) return nullptr;
    const auto it = records_->files.find(relative);
    return it == records_->files.end() ? nullptr : &it->second;
  }

  void PlanFolder(const TTreeEntry& entry) {
    bool exists = false;
    if (in_.listed) {
      const TRemoteEntry* remote = Remote(entry.relative);
      if (remote != nullptr && !remote->is_directory && !remote->is_link) {
        plan_.conflicts.push_back({entry.relative, "the server has a file where this folder is"});
        plan_.state.folders.erase(entry.relative);
        return;
      }
      exists = remote != nullptr;
    } else {
      exists = records_ != nullptr && records_->folders.count(entry.relative) != 0;
    }
    if (!in_.root_exists) exists = false;
    plan_.state.folders.insert(entry.relative);
    if (!exists) plan_.folders.push_back(entry.relative);
  }

  void Send(const TTreeEntry& entry, TSendReason reason, std::string digest = {}) {
    plan_.sends.push_back({&entry, reason, std::move(digest)});
  }

  void Unchanged(const TTreeEntry& entry) {
    ++plan_.unchanged;
    plan_.unchanged_files.push_back(&entry);
  }

  void PlanFile(const TTreeEntry& entry) {
    const TRemoteEntry* remote = Remote(entry.relative);
    if (FolderInTheWay(remote)) {
      plan_.conflicts.push_back({entry.relative, "the server has a folder where this file is"});
      plan_.state.files.erase(entry.relative);
      return;
    }
    const TSyncRecord* record = Record(entry.relative);
    if (record != nullptr) {
      PlanRecordedFile(entry, *record, remote);
    } else {
      PlanUnrecordedFile(entry, remote);
    }
  }

  void PlanRecordedFile(const TTreeEntry& entry, const TSyncRecord& record,
                        const TRemoteEntry* remote) {
    TSendReason reason = TSendReason::kSize;
    switch (JudgeRecorded(in_, entry, record, remote, reason)) {
      case TVerdict::kSend:
        return Send(entry, reason);
      case TVerdict::kUnchanged:
        return Unchanged(entry);
      case TVerdict::kHash:
        break;
    }
    std::string digest = in_.hash ? in_.hash(entry) : std::string();
    // Unreadable now: sent, and its failure said then.
    if (digest.empty()) {
      return Send(entry, record.modified != entry.modified ? TSendReason::kTime
                                                           : TSendReason::kContent);
    }
    if (digest != record.sha256) return Send(entry, TSendReason::kContent, std::move(digest));
    Unchanged(entry);
    // The same bytes under a new time: the record takes the time, so that
    // the next run need not read the file again.
    plan_.state.files[entry.relative].modified = RecordedTime(entry, in_.racy_from);
  }

  void PlanUnrecordedFile(const TTreeEntry& entry, const TRemoteEntry* remote) {
    if (remote == nullptr) return Send(entry, TSendReason::kNew);
    if (remote->is_link || !in_.compare_sizes || remote->size != entry.size) {
      return Send(entry, TSendReason::kSize);
    }
    bool not_older = false;
    if (remote->time_from >= entry.modified) {
      not_older = true;
    } else if (remote->time_to >= entry.modified) {
      // The listing cannot tell: ask for the exact time.
      const int64_t exact = in_.remote_time ? in_.remote_time(entry.relative) : -1;
      if (exact < 0) return Send(entry, TSendReason::kTime);
      not_older = exact >= entry.modified;
    }
    if (!not_older) return Send(entry, TSendReason::kOlder);
    Unchanged(entry);
    const std::string digest = in_.hash ? in_.hash(entry) : std::string();
    if (!digest.empty()) {
      plan_.state.files[entry.relative] = {entry.size, RecordedTime(entry, in_.racy_from), digest};
    }
  }

  // Whether every line of folder's listing was understood.
  bool FullyListed(const std::string& folder) const {
    if (folder.empty()) return in_.root_fully_listed;
    const auto it = in_.remote.find(folder);
    return it == in_.remote.end() || it->second.listed;
  }

  void PlanDeletes() {
    // A folder that holds something kept (excluded, a link, the server's own
    // file, anything in a listing not wholly understood) stays, and so do
    // the folders above it.
    std::set<std::string> kept;
    for (const auto& [relative, remote] : in_.remote) {
      const size_t cut = relative.rfind('/');
      const std::string folder = cut == std::string::npos ? std::string() : relative.substr(0, cut);
      const bool keep = remote.excluded || remote.is_link || IsOwn(in_, relative) ||
                        IsServerOwnedName(relative) || (remote.is_directory && !remote.listed) ||
                        !FullyListed(folder) || local_.count(std::string_view(relative)) != 0;
      if (!keep) continue;
      kept.insert(relative);
      ForEachParent(relative, [&kept](const std::string& parent) { kept.insert(parent); });
    }
    for (const auto& [relative, remote] : in_.remote) {
      if (kept.count(relative) != 0) continue;
      // Their records go as they are deleted: deletes held back keep them.
      if (remote.is_directory) {
        plan_.removals.push_back(relative);
      } else {
        plan_.deletes.push_back(relative);
      }
    }
    std::stable_sort(plan_.removals.begin(), plan_.removals.end(),
                     [](const std::string& a, const std::string& b) { return Depth(a) > Depth(b); });
  }

  const TSyncInputs& in_;
  TSyncPlan plan_;
  const TSyncState* records_ = nullptr;  // the state read, if any
  // The local paths (views into in_.local), when deletes are planned.
  std::unordered_set<std::string_view> local_;
};

}  // namespace

int64_t ListingTimeToSeconds(TDateTime when) {
  // Day 25569 is 1 January 1970.
  return FloorToInt64((when - 25569.0) * 86400.0 + 0.5);
}

TSyncPlan PlanSync(const TSyncInputs& inputs) { return TPlanner(inputs, nullptr).Run(); }

TSyncPlan PlanSync(TSyncInputs& inputs, bool take_state) {
  return TPlanner(inputs, take_state ? &inputs.state : nullptr).Run();
}

std::vector<const TTreeEntry*> FilesToHash(const TSyncInputs& inputs) {
  std::vector<const TTreeEntry*> files;
  for (const TTreeEntry& entry : inputs.local) {
    if (entry.is_directory || IsOwn(inputs, entry.relative)) continue;
    const TRemoteEntry* remote = RemoteOf(inputs, entry.relative);
    const TSyncRecord* record = RecordOf(inputs, entry.relative);
    if (record == nullptr || FolderInTheWay(remote)) continue;
    TSendReason reason;
    if (JudgeRecorded(inputs, entry, *record, remote, reason) == TVerdict::kHash) {
      files.push_back(&entry);
    }
  }
  return files;
}

}  // namespace zud
