// The run's sources read into what goes where: a file, stored under its own
// name in RemoteDir, or (with Recursive) a folder whose tree goes below its
// remote root. What cannot be sent is reported to the tally as it is found.
#pragma once

#include <string>
#include <vector>

#include "deploy/localtree.h"
#include "deploy/runtally.h"

namespace zud {

struct TLocalSource {
  bool usable = false;  // false: reported, nothing to send
  bool is_file = false;
  std::string root;                 // the remote folder it goes into, ending in "/"
  std::vector<TTreeEntry> entries;  // a file: one entry, named after it
};

// One source: a file or a folder's walked tree. Failures (a source that is
// missing, no regular file, a folder without Recursive, what the walk cannot
// read) are counted; what the walk leaves out is reported as skipped.
TLocalSource ReadSource(const std::string& source, const TExcludeList& excludes, TRunTally& tally);

// The options' excludes as one list.
TExcludeList ExcludesOf(const TDeployOptions& options);

}  // namespace zud
