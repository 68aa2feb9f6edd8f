// The folder and file steps of a tree upload (the folder run and the sync
// run), run over one session of the run: MKD with its checks, stores with
// Atomic, Resume and Retries, renames over files in the way. Every outcome
// goes to the run's tally.
#pragma once

#include <cstdint>
#include <string>

#include "deploy/runsession.h"

namespace zud {

// A file to store: what to read and where it goes.
struct TStoreItem {
  std::string local;
  std::string remote;  // whole remote path
  int64_t size = 0;
};

class TUploadSession : public TRunSession {
 public:
  using TRunSession::TRunSession;

  // MKD of one folder; a refusal for a folder that is there already is no
  // failure. count_failure: a refusal is reported and the folder marked.
  bool MakeFolder(const std::string& remote, bool count_failure);
  // The folder and every missing parent (MakeDirs).
  bool MakeFolderChain(const std::string& remote);
  // Stores one file (Atomic, Resume and Retries as asked); reports the
  // outcome. True when the server has the whole file.
  bool StoreFile(const TStoreItem& item);
  // RNFR/RNTO; when the server refuses to rename over an existing file
  // (a refused RNTO), deletes that file and renames again.
  bool Rename(const std::string& from, const std::string& to);

 private:
  bool SendFile(const TStoreItem& item, const std::string& target, int64_t offset);
  void ExplainStoreFailure(const TStoreItem& item);
  // Without MakeDirs: when remote's parent is missing (asked once per
  // parent), the tally is told and the run stops. True then.
  bool ParentMissing(const std::string& remote);
  void Failed(TDeployFailure kind, const std::string& path, std::string message,
              bool folder = false, TDeployHint hint = TDeployHint::kNone);
};

}  // namespace zud
