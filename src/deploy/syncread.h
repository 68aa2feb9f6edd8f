// Sync stage 1, reading: for each tree its state file (where the run keeps
// it, else at the tree's root under either name) and, where the sync must
// look (no usable state file, or Delete), the server's listing of the tree
// (MLSD where the server has it, else LIST), over the first session. Then stage 2, planning: the planner's inputs completed and
// PlanSync run; what it cannot settle from a listing (an exact remote time)
// it asks that session for.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "deploy/localtree.h"
#include "deploy/synctree.h"
#include "deploy/uploadsession.h"

namespace zud {

class TSyncReader {
 public:
  TSyncReader(TSyncContext& context, TUploadSession& session);

  // Reads what the sync needs of the server's side of tree into its
  // inputs. False when the session was lost for good or the run stops.
  bool Read(TSyncTree& tree);
  // Plans tree from its inputs. False when the run stops meanwhile.
  bool Plan(TSyncTree& tree);
  // Reads the state file again (once the run holds the lock): changed says
  // whether another run wrote it since Read. False as Read.
  bool StateChanged(const TSyncTree& tree, bool& changed);

 private:
  enum class TListing { kRead, kMissing, kLost };

  // A state file as found: where ("" when nowhere), its text's SHA-256,
  // and (when parsed) its state or why it is unusable.
  struct TFoundState {
    std::string from;
    std::string text_digest;
    std::optional<TSyncState> state;
    std::string error;
  };
  // Reads the state file, parsed as it arrives when parse says so.
  bool FindState(const TSyncTree& tree, bool parse, TFoundState& found);
  // A state file of another tree stops the run (reported; false).
  bool ReadState(TSyncTree& tree);
  bool ListTree(TSyncTree& tree);
  // Lists one folder into tree.inputs.remote; understood: every line was
  // an entry.
  TListing ListFolder(TSyncTree& tree, const std::string& relative, bool& understood,
                      std::vector<std::string>& subfolders);
  // The LIST of path, from inside the folder when enter says so, into text.
  TListing ListText(const std::string& path, bool enter, std::string& text);
  // Parses text (MLSD or LIST lines); true when every line was an entry.
  bool ParseListing(const std::string& text);
  // CWD path, in steps where one command would be too long.
  bool EnterFolder(const std::string& path);
  void AddEntries(TSyncTree& tree, const std::string& relative,
                  std::vector<std::string>& subfolders);
  // A warning for a listed name that no local file can have (Windows).
  void WarnAboutForeignName(const TSyncTree& tree, const std::string& relative,
                            const std::string& name);
  // The local dotfiles and dot folders of one folder (dot_entries) that its
  // LIST did not show, looked for one by one (a server may hide them from
  // LIST whatever the client asks); those found join the listing, folders
  // to be listed too.
  bool FindHiddenDotNames(TSyncTree& tree, const std::vector<const TTreeEntry*>& dot_entries,
                          std::vector<std::string>& subfolders);

  TSyncContext& context_;
  TRunTally& tally_;
  TUploadSession& session_;
  const TExcludeList excludes_;
  bool mlsd_checked_ = false;
  bool mlsd_ = false;
  bool list_all_ = true;  // "LIST -a" until the server refuses it
  std::string home_;      // the login folder, where a LIST from inside returns
};

}  // namespace zud
