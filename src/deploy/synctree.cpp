#include "deploy/synctree.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <iterator>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#include "deploy/sources.h"
#include "util/sha256.h"

namespace zud {
namespace {

using TTrees = std::vector<std::unique_ptr<TSyncTree>>;
// How many sources went into each tree: one walk names each path once.
using TSourceCounts = std::unordered_map<const TSyncTree*, size_t>;

void GatherSource(const std::string& source, const TExcludeList& excludes, TRunTally& tally,
                  TTrees& trees, TSourceCounts& sources) {
  TLocalSource local = ReadSource(source, excludes, tally);
  if (!local.usable) return;
  TSyncTree* tree = nullptr;
  for (auto& known : trees) {
    if (known->root == local.root) tree = known.get();
  }
  if (tree == nullptr) {
    trees.push_back(std::make_unique<TSyncTree>());
    tree = trees.back().get();
    tree->root = local.root;
  }
  ++sources[tree];
  std::vector<TTreeEntry>& into = tree->inputs.local;
  if (into.empty()) {
    into = std::move(local.entries);
  } else {
    std::move(local.entries.begin(), local.entries.end(), std::back_inserter(into));
  }
}

// Where each tree keeps its state file, and what of the sync's own lies in
// it; local entries of those names are skipped.
void PlaceStateFiles(TTrees& trees, const TDeployOptions& options, TRunTally& tally) {
  for (auto& tree : trees) {
    tree->state_path =
        options.StateFile.empty() ? tree->root + std::string(kSyncStateName) : options.StateFile;
    TSyncInputs& in = tree->inputs;
    if (tree->state_path.starts_with(tree->root)) {
      const std::string relative = tree->state_path.substr(tree->root.size());
      for (const std::string_view suffix : {std::string_view(), kSyncStatePartSuffix, kSyncLockSuffix}) {
        in.own.insert(relative + std::string(suffix));
      }
    }
    std::erase_if(in.local, [&](const TTreeEntry& entry) {
      if (!IsSyncStateName(entry.relative) && in.own.count(entry.relative) == 0) return false;
      const std::string local_path = entry.LocalPath();
      tally.File({.outcome = TFileOutcome::kSkipped,
                  .path = local_path,
                  .message = local_path + ": the sync's own state file; skipped"});
      return true;
    });
  }
}

// The last source of a path wins; the order of first appearance stays.
// Entries are moved, never copied: a tree may hold millions.
void KeepLastOfEachPath(std::vector<TTreeEntry>& local) {
  // Where each path is last, by a view into the entries (which stay put).
  std::unordered_map<std::string_view, size_t> last;
  last.reserve(local.size());
  bool repeated = false;
  for (size_t k = 0; k < local.size(); ++k) {
    const auto [at, added] = last.try_emplace(local[k].relative, k);
    if (!added) {
      at->second = k;
      repeated = true;
    }
  }
  if (!repeated) return;  // one source, or sources that do not overlap
  // The first place of a path takes its last entry; the views stay valid
  // as nothing moves until every place is known.
  std::vector<size_t> order;
  order.reserve(last.size());
  for (size_t k = 0; k < local.size(); ++k) {
    const auto at = last.find(local[k].relative);
    if (at == last.end()) continue;  // placed already
    order.push_back(at->second);
    last.erase(at);
  }
  std::vector<TTreeEntry> kept;
  kept.reserve(order.size());
  for (const size_t k : order) kept.push_back(std::move(local[k]));
  local = std::move(kept);
}

void MergeNestedTrees(TTrees& trees, TSourceCounts& sources) {
  std::sort(trees.begin(), trees.end(),
            [](const auto& a, const auto& b) { return a->root.size() < b->root.size(); });
  for (size_t i = 0; i < trees.size(); ++i) {
    for (size_t outer = 0; outer < i; ++outer) {
      TSyncTree& into = *trees[outer];
      TSyncTree& from = *trees[i];
      if (!from.root.starts_with(into.root)) continue;
      const std::string prefix = from.root.substr(into.root.size());  // "site/"
      for (size_t cut = prefix.find('/'); cut != std::string::npos;
           cut = prefix.find('/', cut + 1)) {
        TTreeEntry folder;
        folder.relative = prefix.substr(0, cut);
        folder.is_directory = true;
        into.inputs.local.push_back(folder);
      }
      for (TTreeEntry& entry : from.inputs.local) {
        entry.relative = prefix + entry.relative;
        into.inputs.local.push_back(std::move(entry));
      }
      sources[&into] += sources[&from];
      trees.erase(trees.begin() + static_cast<std::ptrdiff_t>(i));
      --i;
      break;
    }
  }
  for (auto& tree : trees) {
    if (sources[tree.get()] > 1) KeepLastOfEachPath(tree->inputs.local);
  }
}

}  // namespace

TTrees GatherTrees(TRunTally& tally) {
  const TExcludeList excludes = ExcludesOf(tally.options());
  const int64_t read_at = UnixSecondsNow();
  TTrees trees;
  TSourceCounts sources;
  for (const std::string& source : tally.options().Sources) {
    GatherSource(source, excludes, tally, trees, sources);
  }
  MergeNestedTrees(trees, sources);
  // A file's time may be rounded down to the second.
  for (auto& tree : trees) tree->inputs.racy_from = read_at - 1;
  if (tally.options().Sync) PlaceStateFiles(trees, tally.options(), tally);
  return trees;
}

std::string HashLocalFile(const std::string& path, const TRunTally& tally) {
  try {
    return Sha256HexOfFile(path, [&tally] { return tally.Stopped(); });
  } catch (const std::exception&) {
    return std::string();
  }
}

std::vector<TContentDigest> HashLocalFiles(const std::vector<const TTreeEntry*>& files,
                                           const TRunTally& tally) {
  std::vector<TContentDigest> digests(files.size());
  std::atomic<size_t> next{0};
  const auto work = [&] {
    for (size_t i = next++; i < files.size(); i = next++) {
      digests[i] = TContentDigest(HashLocalFile(files[i]->LocalPath(), tally));
    }
  };
  // Hashing outpaces a disk but not the page cache a fresh checkout sits
  // in: the processors share the files.
  const unsigned cores = std::max(1u, std::min(kHashThreads, std::thread::hardware_concurrency()));
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < cores && i < files.size(); ++i) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
  return digests;
}

}  // namespace zud
