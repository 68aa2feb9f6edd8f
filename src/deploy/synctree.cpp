#include "deploy/synctree.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <set>
#include <string_view>
#include <thread>
#include <utility>

#include "deploy/sources.h"
#include "util/sha256.h"

namespace zud {
namespace {

using TTrees = std::vector<std::unique_ptr<TSyncTree>>;

void GatherSource(const std::string& source, const TExcludeList& excludes, TRunTally& tally,
                  TTrees& trees) {
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
  for (TTreeEntry& entry : local.entries) tree->inputs.local.push_back(std::move(entry));
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
    std::vector<TTreeEntry> kept;
    for (TTreeEntry& entry : in.local) {
      if (IsSyncStateName(entry.relative) || in.own.count(entry.relative) != 0) {
        tally.File({.outcome = TFileOutcome::kSkipped,
                    .path = entry.local_path,
                    .message = entry.local_path + ": the sync's own state file; skipped"});
        continue;
      }
      kept.push_back(std::move(entry));
    }
    in.local = std::move(kept);
  }
}

void MergeNestedTrees(TTrees& trees) {
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
      trees.erase(trees.begin() + static_cast<std::ptrdiff_t>(i));
      --i;
      break;
    }
  }
  for (auto& tree : trees) {
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

}  // namespace

TTrees GatherTrees(TRunTally& tally) {
  const TExcludeList excludes = ExcludesOf(tally.options());
  const int64_t read_at = UnixSecondsNow();
  TTrees trees;
  for (const std::string& source : tally.options().Sources) {
    GatherSource(source, excludes, tally, trees);
  }
  MergeNestedTrees(trees);
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

TDigests HashLocalFiles(const std::vector<const TTreeEntry*>& files, const TRunTally& tally) {
  std::vector<std::string> digests(files.size());
  std::atomic<size_t> next{0};
  const auto work = [&] {
    for (size_t i = next++; i < files.size(); i = next++) {
      digests[i] = HashLocalFile(files[i]->local_path, tally);
    }
  };
  // Hashing outpaces a disk but not the page cache a fresh checkout sits
  // in: the processors share the files.
  const unsigned cores = std::max(1u, std::min(kHashThreads, std::thread::hardware_concurrency()));
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < cores && i < files.size(); ++i) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
  TDigests by_entry;
  for (size_t i = 0; i < files.size(); ++i) by_entry.emplace(files[i], std::move(digests[i]));
  return by_entry;
}

}  // namespace zud
