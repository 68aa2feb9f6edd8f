#include "deploy/syncread.h"

#include <set>
#include <string_view>

#include "deploy/paths.h"
#include "deploy/session.h"
#include "deploy/sources.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {
namespace {

// A folder's listing larger than this is not read (a hostile server could
// send without end).
constexpr size_t kMaxListingBytes = 256u << 20;
// How far a listing's time may lie from UTC: the widest zone offsets.
constexpr int64_t kZoneSlackSeconds = 14 * 3600;

bool IsLinkFact(std::string_view line) {
  const std::string lower = LowerCase8(std::string(line.substr(0, line.find(' '))));
  return lower.find("type=os.unix=slink") != std::string::npos ||
         lower.find("type=os.unix=symlink") != std::string::npos;
}

}  // namespace

TSyncReader::TSyncReader(TSyncContext& context, TUploadSession& session)
    : context_(context),
      tally_(context.tally),
      session_(session),
      excludes_(ExcludesOf(context.options)) {}

// ---- Reading ------------------------------------------------------------------------

bool TSyncReader::Read(TSyncTree& tree) {
  const TDeployOptions& options = context_.options;
  if (options.Sync && !ReadState(tree)) return false;
  TSyncInputs& in = tree.inputs;
  // Afresh: a run that waited for the lock reads the server again.
  in.listed = false;
  in.root_exists = true;
  in.remote.clear();
  in.state = tree.state_read;
  in.delete_missing = options.Delete;
  in.checksum = options.Checksum;
  in.compare_sizes = !options.Ascii;
  if (!options.Sync) {
    // Plain folder mode: everything is sent, nothing is read first; the
    // named folder is made (or found) as folder mode always does.
    in.state = TSyncState();
    in.root_exists = tree.root == WithDirectoryEnd(options.RemoteDir);
  } else if (!tree.state_read || options.Delete) {
    if (!ListTree(tree)) return false;
  }
  return true;
}

bool TSyncReader::FindState(const TSyncTree& tree, std::string& from, std::string& text) {
  from.clear();
  text.clear();
  // The state file where this run keeps it; else under its name, then its
  // old name, at the tree's root (an earlier run's).
  std::vector<std::string> places = {tree.state_path};
  for (const std::string_view name : {kSyncStateName, kOldSyncStateName}) {
    const std::string path = tree.root + std::string(name);
    if (path != tree.state_path) places.push_back(path);
  }
  for (const std::string& path : places) {
    int code = 0;
    const bool read = session_.Persist([&] {
      if (session_.ReadText("RETR " + path, kMaxSyncStateBytes, text, code)) return true;
      // A refusal (no state file there) is an answer too.
      return ReplyClassOf(code) == 4 || ReplyClassOf(code) == 5;
    });
    if (!read) return false;
    if (ReplyClassOf(code) == 2) {
      from = path;
      return true;
    }
    text.clear();
  }
  return true;
}

bool TSyncReader::ReadState(TSyncTree& tree) {
  if (!FindState(tree, tree.state_read_from, tree.state_text)) return false;
  tree.state_read.reset();
  if (tree.state_read_from.empty()) return true;
  const std::string& path = tree.state_read_from;
  std::string error;
  tree.state_read = ParseSyncState(tree.state_text, &error);
  if (!tree.state_read) {
    tally_.Notice({.kind = TNoticeKind::kWarning,
                   .text = "ignoring the state file " + path + " (" + error +
                           "); deciding from the server's listing"});
    return true;
  }
  // A state file kept apart from its tree may be another tree's: its
  // records would pass files over that this tree must send.
  const std::string& root = tree.state_read->root;
  if (path == tree.state_path && !context_.options.StateFile.empty() && !root.empty() &&
      root != tree.root) {
    tally_.KeepFailure(TDeployFailure::kHeldBack);
    tally_.Notice({.kind = TNoticeKind::kError,
                   .text = "the state file " + path + " belongs to " + root + ", not to " +
                           tree.root + "; nothing was changed",
                   .failure = TDeployFailure::kHeldBack,
                   .hint = TDeployHint::kOtherTreesState,
                   .path = path});
    tally_.Stop();
    return false;
  }
  return true;
}

bool TSyncReader::StateChanged(const TSyncTree& tree, bool& changed) {
  std::string from, text;
  if (!FindState(tree, from, text)) return false;
  changed = from != tree.state_read_from || text != tree.state_text;
  return true;
}

// ---- Listing --------------------------------------------------------------------------

bool TSyncReader::ListTree(TSyncTree& tree) {
  if (!mlsd_checked_) {
    mlsd_checked_ = true;
    mlsd_ = session_.ftp().HasMachineListing();
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
    const bool answered = session_.Persist([&] {
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
      if (!session_.Persist([&] {
            exists = RemoteFolderExists(session_.ftp(), WithoutTrailingSlash(tree.root));
            return exists || !session_.NoteLoss();
          })) {
        return false;
      }
      tree.inputs.root_exists = exists;
    }
    if (!understood && !relative.empty()) tree.inputs.remote[relative].listed = false;
    for (const std::string& sub : subfolders) {
      // Folders the local side has; with Delete every folder, to find
      // what is gone.
      if (context_.options.Delete || local_folders.count(sub) != 0) pending.push_back(sub);
    }
  }
  return true;
}

TSyncReader::TListing TSyncReader::ListFolder(TSyncTree& tree, const std::string& relative,
                                              bool& understood,
                                              std::vector<std::string>& subfolders) {
  TFTPSend& ftp = session_.ftp();
  const std::string path = JoinRemote(tree.root, relative);
  std::string text;
  int code = 0;
  bool got = false;
  if (mlsd_) {
    got = session_.ReadText("MLSD " + path, kMaxListingBytes, text, code);
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
      got = session_.ReadText("LIST -a" + argument, kMaxListingBytes, text, code);
      if (!got && ReplyClassOf(code) == 5) {
        got = session_.ReadText("LIST" + argument, kMaxListingBytes, text, code);
        if (got) list_all_ = false;
      }
    } else {
      got = session_.ReadText("LIST" + argument, kMaxListingBytes, text, code);
    }
    if (enter && !ftp.ChangeDirectory(home_)) return TListing::kLost;
  }
  if (!got) {
    return ReplyClassOf(code) == 4 || ReplyClassOf(code) == 5 ? TListing::kMissing
                                                              : TListing::kLost;
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
  AddEntries(tree, relative, subfolders);
  return TListing::kRead;
}

void TSyncReader::AddEntries(TSyncTree& tree, const std::string& relative,
                             std::vector<std::string>& subfolders) {
  for (const TFTPListRec* rec : session_.ftp().FtpList().Entries) {
    const std::string name = rec->EntryName.str();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
      continue;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    // The sync's own files are neither compared nor deleted, nor entered.
    if ((relative.empty() && IsSyncStateName(name)) || tree.inputs.own.count(rel) != 0) continue;
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
      const double day_part = rec->ModifiedAt - static_cast<double>(FloorToInt64(rec->ModifiedAt));
      const int64_t precision = day_part == 0.0 ? 86399 : 59;
      entry.time_from = when - kZoneSlackSeconds;
      entry.time_to = when + kZoneSlackSeconds + precision;
    }
    entry.excluded = excludes_.ExcludesItself(rel, entry.is_directory);
    if (entry.is_directory && !entry.excluded) subfolders.push_back(rel);
    tree.inputs.remote[rel] = entry;
  }
}

// ---- Planning -------------------------------------------------------------------------

bool TSyncReader::Plan(TSyncTree& tree) {
  TSyncInputs& in = tree.inputs;
  in.remote_time = [this, &tree](const std::string& relative) -> int64_t {
    int64_t when = -1;
    session_.Persist([&] {
      when = session_.ftp().RemoteModifyTime(JoinRemote(tree.root, relative));
      return when >= 0 || !session_.NoteLoss();
    });
    return when;
  };
  // The files whose content decides, read before the plan, several at once.
  const TDigests digests = HashLocalFiles(FilesToHash(in), tally_);
  in.hash = [this, &digests](const TTreeEntry& entry) {
    const auto known = digests.find(&entry);
    return known != digests.end() ? known->second : HashLocalFile(entry.local_path, tally_);
  };
  tree.plan = PlanSync(in);
  in.hash = nullptr;
  tree.state = tree.plan.state;
  tree.state.root = tree.root;
  return !tally_.Stopped();
}

}  // namespace zud
