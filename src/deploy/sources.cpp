#include "deploy/sources.h"

#include <memory>
#include <utility>
#include <vector>

#include "deploy/paths.h"
#include "util/stream.h"

namespace zud {

TLocalSource ReadSource(const std::string& source, const TExcludeList& excludes, TRunTally& tally) {
  const TDeployOptions& options = tally.options();
  TLocalSource result;
  const std::string base = WithDirectoryEnd(options.RemoteDir);
  const TLocalPathInfo info = QueryLocalPath(source);
  if (info.kind == TLocalKind::kFile) {
    TTreeEntry entry;
    entry.relative = LocalFileNamePart(source);
    entry.local_folder =
        std::make_shared<const std::string>(source.substr(0, source.size() - entry.relative.size()));
    entry.size = info.size;
    entry.modified = info.modified;
    result.entries.push_back(std::move(entry));
    result.usable = true;
    result.is_file = true;
    result.root = base;
    return result;
  }
  const auto failed = [&](TFailure failure) {
    tally.File({.outcome = TFileOutcome::kFailed,
                .path = source,
                .failure = failure.kind,
                .message = std::move(failure.message),
                .hint = failure.hint});
  };
  if (info.kind == TLocalKind::kOther) {
    // A pipe cannot be read again after a lost connection, nor renamed into
    // place whole: tree uploads send regular files only.
    failed({TDeployFailure::kLocalFile, "not stored " + source + ": it is " + info.error +
                                            ", not a regular file (folder mode sends files only)"});
    return result;
  }
  if (info.kind != TLocalKind::kDirectory || !options.Recursive) {
    failed(ClassifySourceFailure(source, options.Recursive));
    return result;
  }
  result.usable = true;
  result.root = RemoteTreeRoot(base, source);
  result.entries = WalkLocalTree(source, excludes, [&tally](const TTreeNotice& notice) {
    tally.File({.outcome = notice.failure ? TFileOutcome::kFailed : TFileOutcome::kSkipped,
                .path = notice.relative,
                .failure = notice.failure ? TDeployFailure::kLocalFile : TDeployFailure::kNone,
                .message = notice.relative + ": " + notice.message});
  });
  std::erase_if(result.entries, [&tally](const TTreeEntry& entry) {
    if (entry.is_directory || !IsServerOwnedName(entry.relative)) return false;
    const std::string local_path = entry.LocalPath();
    tally.File({.outcome = TFileOutcome::kSkipped,
                .path = local_path,
                .message = local_path + ": a name servers keep for themselves; skipped"});
    return true;
  });
  return result;
}

TExcludeList ExcludesOf(const TDeployOptions& options) {
  TExcludeList excludes;
  for (const std::string& pattern : options.Excludes) excludes.Add(pattern);
  return excludes;
}

}  // namespace zud
