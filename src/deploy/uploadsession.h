// The folder and file steps of a tree upload (the folder run and the sync
// run), run over one session of the run: MKD with its checks, stores with
// Atomic, Resume and Retries, renames over files in the way. Every outcome
// goes to the run's tally.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "deploy/runsession.h"

namespace zud {

// A file to store: what to read and where it goes.
struct TStoreItem {
  std::string local;
  std::string remote;  // whole remote path
  int64_t size = 0;
  TSendReason reason = TSendReason::kNew;  // why a sync sends it
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
  // outcome. True when the server has the whole file. A continue the server
  // refuses (REST, or the STOR after it) becomes a send from the first byte.
  // A store that fails leaves nothing of its own behind: what arrived of
  // it is deleted (kept with Resume), and the failure says when that could
  // not be done.
  bool StoreFile(const TStoreItem& item);
  // RNFR/RNTO; when the server refuses to rename over an existing file
  // (a refused RNTO), deletes that file and renames again.
  bool Rename(const std::string& from, const std::string& to);

  // The data a command (RETR, LIST, MLSD) sends, at most limit bytes (more
  // is reported and not read); code: its last reply (0 when cut off at the
  // limit). True when all of it came.
  bool ReadText(const std::string& command, size_t limit, std::string& text, int& code);
  // As ReadText, but the data goes to on_data in pieces as it arrives.
  bool ReadPieces(const std::string& command, size_t limit,
                  const std::function<void(std::string_view)>& on_data, int& code);
  // STOR of text as the file remote. False when refused or lost.
  bool StoreText(const std::string& remote, const std::string& text);
  // STOR of what source gives, read until it ends. False as StoreText.
  bool StoreStream(const std::string& remote, TStream& source);

 private:
  enum class TSendOutcome { kSent, kFailed, kContinueRefused };
  // One attempt: from offset on (REST), else the whole file. A refused REST
  // sends the whole file at once; a refused STOR after an accepted REST is
  // kContinueRefused.
  TSendOutcome SendFile(const TStoreItem& item, const std::string& target, int64_t offset);
  // Says that the server would not continue remote: it goes whole.
  void NoteWholeSend(const std::string& remote);
  // Reports a failed store of item into target, and a missing folder once.
  // arrived: a store began there, so the server may hold part of the file:
  // deleted while the session is up, unless Resume keeps it; the message
  // says what became of it.
  void FailStore(const TStoreItem& item, const std::string& target, bool arrived);
  // SITE CHMOD of what was just stored or made, where asked (mode >= 0); a
  // refusal is reported once in the run, and no more are sent.
  void SetMode(const std::string& remote, int32_t mode);
  // Without MakeDirs: when remote's parent is missing (asked once per
  // parent), the tally is told and the run stops. True then.
  bool ParentMissing(const std::string& remote);
  void Failed(TDeployFailure kind, const std::string& path, std::string message,
              bool folder = false, TDeployHint hint = TDeployHint::kNone);
};

}  // namespace zud
