#include "deploy/syncread.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string_view>

#include "deploy/paths.h"
#include "deploy/session.h"
#include "deploy/sources.h"
#include "util/localpath.h"
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
// No command line is longer: some servers (inetutils ftpd) read a command
// into 512 bytes and take the rest for the next command.
constexpr size_t kMaxCommandBytes = 500;
// Folders deeper below a tree's root are not listed (a server that shows a
// folder inside itself would be followed without end).
constexpr long kMaxListingDepth = 64;

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
  TSyncInputs& in = tree.inputs;
  in.state.reset();
  if (options.Sync && !ReadState(tree)) return false;
  // Afresh: a run that waited for the lock reads the server again.
  in.listed = false;
  in.root_exists = true;
  in.remote.clear();
  in.delete_missing = options.Delete;
  in.checksum = options.Checksum;
  in.compare_sizes = !options.Ascii;
  if (!options.Sync) {
    // Plain folder mode: everything is sent, nothing is read first; the
    // named folder is made (or found) as folder mode always does.
    in.state = TSyncState();
    in.root_exists = tree.root == WithDirectoryEnd(options.RemoteDir);
  } else if (!in.state || options.Delete) {
    if (!ListTree(tree)) return false;
  }
  return true;
}

bool TSyncReader::FindState(const TSyncTree& tree, bool parse, TFoundState& found) {
  found = TFoundState();
  // The state file where this run keeps it; else under its name, then its
  // old name, at the tree's root (an earlier run's).
  std::vector<std::string> places = {tree.state_path};
  for (const std::string_view name : {kSyncStateName, kOldSyncStateName}) {
    const std::string path = tree.root + std::string(name);
    if (path != tree.state_path) places.push_back(path);
  }
  for (const std::string& path : places) {
    int code = 0;
    // Read as it arrives: a large state file is never held whole.
    TSyncStateReader reader;
    TSha256 text_hash;
    const bool read = session_.Persist([&] {
      reader = TSyncStateReader();
      text_hash = TSha256();
      const auto take = [&](std::string_view piece) {
        text_hash.Update(piece);
        if (parse) reader.Add(piece);
      };
      if (session_.ReadPieces("RETR " + path, kMaxSyncStateBytes, take, code)) return true;
      // A refusal (no state file there) is an answer too.
      return ReplyClassOf(code) == 4 || ReplyClassOf(code) == 5;
    });
    if (!read) return false;
    if (ReplyClassOf(code) == 2) {
      found.from = path;
      found.text_digest = HexOfDigest(text_hash.Final());
      if (parse) found.state = reader.Finish(&found.error);
      return true;
    }
  }
  return true;
}

bool TSyncReader::ReadState(TSyncTree& tree) {
  TFoundState found;
  if (!FindState(tree, true, found)) return false;
  tree.state_read_from = found.from;
  tree.state_text_digest = found.text_digest;
  tree.state_read_digest.clear();
  if (found.from.empty()) return true;
  const std::string& path = tree.state_read_from;
  if (!found.state) {
    tally_.Notice({.kind = TNoticeKind::kWarning,
                   .text = "ignoring the state file " + path + " (" + found.error +
                           "); deciding from the server's listing"});
    return true;
  }
  // A state file kept apart from its tree may be another tree's: its
  // records would pass files over that this tree must send.
  const std::string& root = found.state->root;
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
  tree.state_read_digest = DigestOfSyncState(*found.state);
  tree.inputs.state = std::move(found.state);
  return true;
}

bool TSyncReader::StateChanged(const TSyncTree& tree, bool& changed) {
  TFoundState found;
  if (!FindState(tree, false, found)) return false;
  changed = found.from != tree.state_read_from || found.text_digest != tree.state_text_digest;
  return true;
}

// ---- Listing --------------------------------------------------------------------------

bool TSyncReader::ListTree(TSyncTree& tree) {
  TFTPSend& ftp = session_.ftp();
  if (!mlsd_checked_) {
    mlsd_checked_ = true;
    mlsd_ = ftp.HasMachineListing();
    // A line only the catch-all takes may be a message among the entries
    // (inetutils ftpd answers "NAME: No such file or directory" with 226):
    // left unread, it keeps its folder from being taken as fully listed.
    std::erase_if(ftp.FtpList().Masks, [](const std::string& mask) {
      return ListMaskReadsOnlyNames(mask);
    });
  }
  tree.inputs.listed = true;
  std::set<std::string> local_folders;
  // The local dotfiles by their folder: looked for where LIST hides them.
  std::map<std::string_view, std::vector<const TTreeEntry*>> dot_names;
  for (const TTreeEntry& entry : tree.inputs.local) {
    if (entry.is_directory) local_folders.insert(entry.relative);
    const std::string_view name = entry.Name();
    if (mlsd_ || name.size() < 2 || name[0] != '.') continue;
    const std::string_view rel = entry.relative;
    dot_names[rel.substr(0, rel.size() > name.size() ? rel.size() - name.size() - 1 : 0)]
        .push_back(&entry);
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
            exists = RemoteFolderExists(ftp, WithoutTrailingSlash(tree.root));
            return exists || !session_.NoteLoss();
          })) {
        return false;
      }
      tree.inputs.root_exists = exists;
    }
    if (const auto dots = dot_names.find(relative);
        dots != dot_names.end() && !FindHiddenDotNames(tree, dots->second, subfolders)) {
      return false;
    }
    if (!understood) {
      if (relative.empty()) tree.inputs.root_fully_listed = false;
      if (!relative.empty()) tree.inputs.remote[relative].listed = false;
    }
    for (const std::string& sub : subfolders) {
      // Folders the local side has; with Delete every folder, to find
      // what is gone. A tree deeper than any site is not followed down.
      if (!context_.options.Delete && local_folders.count(sub) == 0) continue;
      if (std::count(sub.begin(), sub.end(), '/') >= kMaxListingDepth) {
        tree.inputs.remote[sub].listed = false;
        continue;
      }
      pending.push_back(sub);
    }
  }
  return true;
}

TSyncReader::TListing TSyncReader::ListFolder(TSyncTree& tree, const std::string& relative,
                                              bool& understood,
                                              std::vector<std::string>& subfolders) {
  const std::string path = JoinRemote(tree.root, relative);
  std::string text;
  if (mlsd_) {
    int code = 0;
    if (!session_.ReadText("MLSD " + path, kMaxListingBytes, text, code)) {
      return ReplyClassOf(code) == 4 || ReplyClassOf(code) == 5 ? TListing::kMissing
                                                                : TListing::kLost;
    }
    understood = ParseListing(text);
  } else {
    // LIST takes its argument as a pattern on many servers, and some split
    // it at blanks: such a folder is entered and listed from inside, and so
    // is one whose path would make too long a command or whose listing came
    // back unreadable.
    bool enter = path.find_first_of("*?[ \t") != std::string::npos ||
                 path.size() + 8 > kMaxCommandBytes;
    for (;;) {
      const TListing got = ListText(path, enter, text);
      if (got != TListing::kRead) return got;
      understood = ParseListing(text);
      if (understood || enter) break;
      enter = true;
    }
  }
  AddEntries(tree, relative, subfolders);
  return TListing::kRead;
}

TSyncReader::TListing TSyncReader::ListText(const std::string& path, bool enter,
                                            std::string& text) {
  TFTPSend& ftp = session_.ftp();
  int code = 0;
  if (enter) {
    if (home_.empty()) home_ = ftp.CurrentDirectory();
    if (home_.empty() || !EnterFolder(path)) {
      code = ftp.ResultCode();
      return ReplyClassOf(code) == 5 ? TListing::kMissing : TListing::kLost;
    }
  }
  const std::string argument = enter ? std::string() : " " + path;
  bool got = false;
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
  if (enter && !EnterFolder(home_)) return TListing::kLost;
  if (got) return TListing::kRead;
  return ReplyClassOf(code) == 4 || ReplyClassOf(code) == 5 ? TListing::kMissing : TListing::kLost;
}

bool TSyncReader::ParseListing(const std::string& text) {
  TFTPList& list = session_.ftp().FtpList();
  list.ClearListing();
  list.LoadLinesFromText(text);
  if (mlsd_) {
    list.ParseMachineLines();
  } else {
    list.ParseLines();
  }
  for (const TListText& line : list.UnparsedLines) {
    const std::string_view view = line.view();
    if (!view.empty() && !view.starts_with("total ")) return false;
  }
  return true;
}

bool TSyncReader::EnterFolder(const std::string& path) {
  TFTPSend& ftp = session_.ftp();
  if (path.size() + 6 <= kMaxCommandBytes) return ftp.ChangeDirectory(path);
  // From the first name to the last, as many names a step as fit.
  std::string step = path.starts_with("/") ? "/" : "";
  size_t start = step.size();
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;
    const bool joined = !step.empty() && step != "/";
    if (step.size() + name.size() + 7 > kMaxCommandBytes && joined) {
      if (!ftp.ChangeDirectory(step)) return false;
      step.clear();
    }
    step += (step.empty() || step == "/" ? "" : "/") + name;
    if (step.size() + 6 > kMaxCommandBytes) return false;  // one name too long
  }
  return step.empty() || ftp.ChangeDirectory(step);
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
    if (!entry.excluded) WarnAboutForeignName(tree, rel, name);
    if (entry.is_directory && !entry.excluded) subfolders.push_back(rel);
    tree.inputs.remote[rel] = entry;
  }
}

void TSyncReader::WarnAboutForeignName(const TSyncTree& tree, const std::string& relative,
                                       const std::string& name) {
  const std::string refusal = LocalNameRefusal(name);
  if (refusal.empty()) return;
  tally_.Notice({.kind = TNoticeKind::kWarning,
                 .text = tree.root + relative + ": no local file can have this name (it " +
                         refusal + ")" +
                         (context_.options.Delete ? "; it is deleted as gone unless excluded"
                                                  : std::string())});
}

bool TSyncReader::FindHiddenDotNames(TSyncTree& tree,
                                     const std::vector<const TTreeEntry*>& dot_entries,
                                     std::vector<std::string>& subfolders) {
  for (const TTreeEntry* dot : dot_entries) {
    const TTreeEntry& local = *dot;
    const std::string& rel = local.relative;
    if (tree.inputs.remote.count(rel) != 0) continue;
    const std::string path = JoinRemote(tree.root, rel);
    TFTPSend& ftp = session_.ftp();
    TRemoteEntry found;
    bool there = false;
    const bool answered = session_.Persist([&] {
      if (local.is_directory) {
        there = RemoteFolderExists(ftp, path);
      } else {
        found.size = ftp.RemoteFileSize(path);
        there = found.size >= 0;
      }
      return there || !session_.NoteLoss();
    });
    if (!answered) return false;
    if (!there) continue;
    found.is_directory = local.is_directory;
    // Its time is not known: the plan asks for it where it matters.
    found.time_from = 0;
    found.time_to = std::numeric_limits<int64_t>::max();
    if (found.is_directory) subfolders.push_back(rel);
    tree.inputs.remote[rel] = found;
  }
  return true;
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
  // FilesToHash gives them in the tree's order, by address: found by halves.
  const std::vector<const TTreeEntry*> ahead = FilesToHash(in);
  const std::vector<TContentDigest> digests = HashLocalFiles(ahead, tally_);
  in.hash = [this, &ahead, &digests](const TTreeEntry& entry) {
    const auto at = std::lower_bound(ahead.begin(), ahead.end(), &entry, std::less<>());
    return at != ahead.end() && *at == &entry ? digests[static_cast<size_t>(at - ahead.begin())].Hex()
                                              : HashLocalFile(entry.LocalPath(), tally_);
  };
  tree.plan = PlanSync(in, true);
  in.hash = nullptr;
  // The plan's state is the run's from here on; the plan keeps none.
  tree.state = std::move(tree.plan.state);
  tree.plan.state = TSyncState();
  tree.state.root = tree.root;
  return !tally_.Stopped();
}

}  // namespace zud
