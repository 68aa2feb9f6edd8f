// The deploy engine: uploads local files and folder trees to an FTP server,
// or syncs them (only what changed goes, what is gone may be deleted), with
// several sessions, reconnects and atomic stores. It prints nothing: what
// happens reaches the caller through the OnX hooks of TDeployOptions, and
// RunDeploy returns the whole outcome as data.
//
//   TDeployOptions options;
//   options.Host = "ftp.example.com";  options.User = "me";  options.Password = "...";
//   options.RemoteDir = "/htdocs";  options.Sources = {"public/"};
//   options.Recursive = options.Sync = true;
//   options.OnFile = [](const zud::TFileEvent& e) { ... };
//   const zud::TDeployResult result = zud::RunDeploy(options);
//
// The files of this folder, from the bottom up: a header includes only
// headers above it here. The first five are the public API (installed);
// the rest are the engine's own.
//   failure.h       failure kinds; why a login, a store or a source failed
//   figures.h       byte counts and durations for people
//   paths.h         remote and local path rules (directory ends, tree roots,
//                   the temporary name of an atomic store)
//   deploy.h        this API: options, events, result, RunDeploy
//   session.h       one FTP session: client setup, login over every address
//                   of the host, the watch that reports the dialogue and the
//                   data connection and keeps the facts of a failure
//   localtree.h     the local tree walk and the exclude globs
//   syncstate.h     the state file a sync keeps on the server
//   syncplan.h      the planner: local tree + listing + state file -> steps
//   runtally.h      what the sessions of a run share: counts, the first
//                   failure, known folders, the stop, the hooks
//   runsession.h    a session of a run: login, reconnects, loss, end
//   uploadsession.h the folder and file steps of a tree upload on a session
//   synclock.h      the deploy lock a sync takes beside its state file
//   sources.h       the sources read into files and trees to send
//   folderrun.h     the folder run: one session, everything in order
//   sessionpool.h   the sessions of a sync, the extra ones in threads
//   synctree.h      a sync's trees and the context its stages share
//   jobqueue.h      the files of a sync waiting for a session
//   syncrecord.h    the state file, kept up to date and written
//   syncread.h      sync stages 1 and 2: the server's side read, the plan
//   syncfolders.h   sync stage 3: the missing folders made
//   syncsend.h      sync stage 4: the files sent by every session
//   syncclean.h     sync stage 5: what is gone deleted
//   syncrun.h       the sync run: the stages in order
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "deploy/failure.h"
#include "util/api.h"

namespace ZUD_API zud {

// TLS in the FTP client's own terms: TFTPSend's members and the TLS
// plug-in's (TCustomSSL) of the same names. Off by default.
struct TDeployTLS {
  bool FullSSL = false;        // implicit TLS from the first byte (port 990)
  bool AutoTLS = false;        // explicit TLS: AUTH TLS after the greeting
  bool RequireTLS = false;     // a refused AUTH TLS or PROT P fails the login
  bool TLSonData = true;       // protected data connections (PROT P)
  bool ActiveDataTLS = false;  // TLS on active-mode data connections too
  std::string PeerName;        // the certificate's name; "" for Host
  std::string CertCAFile;      // trust this CA (PEM) instead of the system's store
  bool VerifyCert = true;      // false: any certificate is accepted
  bool Wanted() const { return FullSSL || AutoTLS; }
};

// Why a sync sends a file.
enum class TSendReason : uint8_t { kNew, kSize, kTime, kContent, kMissing, kOlder };
// "new", "size", "time", "content", "missing", "older".
const char* SendReasonWord(TSendReason reason);

// What became of a file or folder.
enum class TFileOutcome : uint8_t {
  kStored,           // sent (bytes: its size)
  kAlreadyComplete,  // Resume: the server had the whole file already
  kUnchanged,        // Sync: nothing to send (in the result only)
  kSkipped,          // left out by the local side: a link to a folder, a FIFO...
  kFailed,           // not sent, made or deleted: failure and message say why
  kNotSent,          // the run ended before it (in the result only)
  kDeleted,          // removed from the server (Delete)
  kFolderMade,       // MKD succeeded
};

// "sent", "already-complete", "unchanged", "skipped", "failed",
// "not-sent", "deleted", "folder-made": the outcome for machines (a report).
const char* FileOutcomeWord(TFileOutcome outcome);

struct TFileEvent {
  TFileOutcome outcome = TFileOutcome::kStored;
  // The remote path; for what the local side skipped or could not read, the
  // local path (relative to the folder walked for what lies in one).
  std::string path{};
  bool folder = false;
  int64_t bytes = 0;
  TDeployFailure failure = TDeployFailure::kNone;
  std::string reply{};    // the server's last reply line, when it refused
  std::string message{};  // kFailed and kSkipped: the whole story for people
  TDeployHint hint = TDeployHint::kNone;
  int session = 0;  // the session that acted; 0 for the run's only one
  TSendReason reason = TSendReason::kNew;  // kStored by a sync: why it was sent
};

enum class TNoticeKind : uint8_t {
  kWarning,      // something was left as it was; the run goes on
  kNote,         // worth knowing; the run goes on
  kReconnect,    // a session lost its connection and connects again
  kSessionLost,  // a session gave up; the others go on
  kHint,         // what would help after a failure (hint, path)
  kError,        // a failure of no one file: a login, the run stopping
  kInterrupted,  // the run stops on request
};

struct TDeployNotice {
  TNoticeKind kind = TNoticeKind::kNote;
  std::string text{};  // for people; may be "" for a kError the dialogue explains
  TDeployFailure failure = TDeployFailure::kNone;  // kError: the kind, when it is one
  TDeployHint hint = TDeployHint::kNone;
  std::string path{};  // what the hint is about
  int session = 0;
};

// Why an awaited reply did not come.
enum class TNoReply : uint8_t {
  kNone,      // it came
  kClosed,    // the server closed the connection
  kTimedOut,  // not within TimeoutMs
  kStopped,   // the run was stopped (Cancel, an interrupt)
  kBroken,    // the connection failed otherwise
};

// One line of the FTP dialogue: a command sent or a reply line received. A
// line beginning with "PASS " comes as "PASS **********".
struct TDialogueLine {
  int session = 0;  // 0 when the run has one session, else 1..Parallel (its ceiling)
  bool reply = false;
  std::string text{};  // "" for a reply that did not come (no_reply says why)
  TNoReply no_reply = TNoReply::kNone;
};

struct TDeployProgress {
  int session = 0;
  int64_t bytes = 0;  // sent just now; 0 when a file's data connection has just opened
  int64_t bytes_done = 0;
  int64_t bytes_total = 0;  // of the files to send
  size_t files_done = 0;    // files tried, whatever became of them
  size_t files_total = 0;
};

// The stages of a run, in order; a run leaves out those it has no use for.
enum class TDeployStage : uint8_t {
  kLocal,     // reading the local sources
  kRemote,    // logged in: reading the state file and the server's side (Sync)
  kTransfer,  // making folders and sending files
  kCleanUp,   // deleting what is gone (Delete), recording the state (Sync)
  kEnd,       // ending the sessions
};


enum class TPlanAction : uint8_t { kMakeFolder, kSend, kDelete, kRemoveFolder };
// "mkdir", "send", "delete", "rmdir": the plan's words for people and machines.
const char* PlanActionWord(TPlanAction action);

// One step of a sync's plan, in the order a run takes them.
struct TPlanStep {
  TPlanAction action = TPlanAction::kSend;
  std::string path{};                      // remote
  TSendReason reason = TSendReason::kNew;  // kSend
  int64_t bytes = 0;                       // kSend: the file's size
};

struct TDeployCounts {
  size_t stored = 0;  // files stored, those already complete included
  size_t unchanged = 0;
  size_t deleted = 0;   // files and folders
  size_t failed = 0;    // files, folders, sources and steps that failed
  size_t not_sent = 0;  // files the run ended before
  size_t folders_made = 0;
  size_t folders_deleted = 0;  // of deleted, the folders
  size_t folders_failed = 0;   // of failed, the folders (not made, not removed, not read)
  int64_t bytes = 0;  // of the files stored
  size_t held_back = 0;  // deletes held back (TDeployResult::hold says why)
};

// Why a sync with Delete deleted nothing it planned to.
enum class TDeleteHold : uint8_t {
  kNone,
  kSendFailed,    // a file, folder or step of the run failed first
  kOverLimit,     // more than MaxDelete
  kEverything,    // every remote file of a tree would go (no MaxDelete)
  kNoLocalFiles,  // the local side holds no file (no MaxDelete)
};
// "send-failed", "over-limit", "everything", "no-local-files"; "" for kNone.
const char* DeleteHoldWord(TDeleteHold hold);

struct TDeployResult {
  // The first failure's kind; kInterrupted after a stop on request.
  TDeployFailure failure = TDeployFailure::kNone;
  // The run stopped because this remote folder, the parent of what was to
  // be made or stored there, is missing and MakeDirs is off ("" else).
  std::string missing_folder;
  TDeployCounts counts;
  TDeleteHold hold = TDeleteHold::kNone;
  uint64_t elapsed_ms = 0;
  // The most sessions logged in at once, and whether the server refused
  // one more login (then sessions is what it allows).
  int sessions = 0;
  bool sessions_refused = false;
  // DryRun: the steps planned, and whether every tree was (OnPlan came).
  std::vector<TPlanStep> plan;
  bool plan_complete = false;
  // KeepOutcomes: every file's and folder's outcome, in the order they came
  // (then those found unchanged, then those not sent).
  std::vector<TFileEvent> files;
};

struct TDeployOptions {
  // ---- The server ----
  std::string Host;  // a name (every address is tried) or an address, [v6] too
  int32_t Port = 21;
  std::string User;  // "" for the client's default (anonymous)
  std::string Password;
  std::string RemoteDir = "/";
  TDeployTLS TLS;
  bool Passive = false;
  bool Ascii = false;          // ASCII type (sizes then say nothing); else binary
  int32_t TimeoutMs = 120000;  // every wait

  // ---- What goes ----
  // Files, stored under their own names in RemoteDir; with Recursive also
  // folders: "site/" puts what site holds into RemoteDir, "site" into
  // RemoteDir/site (rsync's rule).
  std::vector<std::string> Sources;
  // Globs matched against paths relative to a tree's root (localtree.h).
  std::vector<std::string> Excludes;
  bool Recursive = false;

  // ---- How ----
  bool MakeDirs = false;  // make RemoteDir and its parents when missing
  bool Atomic = false;    // store as ".NAME.ftpupload-part", then rename
  bool Resume = false;    // go on from what the server has of a file
  int32_t Retries = 0;    // reconnects in the run after a lost connection
  bool Sync = false;      // send only what changed (a state file on the server)
  bool Delete = false;    // Sync: delete what is gone locally
  bool DryRun = false;    // Sync: plan only (OnPlan), change nothing
  bool Checksum = false;  // Sync: hash every file, also those whose size and time agree
  int32_t Parallel = 1;   // sessions, 1..16
  // Sessions as many as the host allows and the files need: from two, one
  // more at a time up to Parallel (8 when Parallel is 1) while each new
  // login succeeds and files still wait; a refused login lowers the count,
  // and one more is tried after a quiet minute (sessionpool.h).
  bool ParallelAuto = false;
  // Sync: the state file's remote path; "" for ".htftpupload-sync" at the
  // tree's root. It keeps one tree: the sources must make one.
  std::string StateFile;
  // Sync: take the deploy lock even when another run holds it (a warning
  // says whose it was).
  bool Force = false;
  // Delete: nothing is deleted when the run would delete more than this
  // many files and folders. -1: no limit, but nothing is deleted when the
  // local side holds no file or every remote file would go.
  int64_t MaxDelete = -1;
  // SITE CHMOD with these modes (0 to 07777) after each file stored and
  // each folder made; -1: none.
  int32_t FileMode = -1;
  int32_t FolderMode = -1;

  // ---- Stopping ----
  // Set (from any thread or a signal handler) to end the run at its next
  // wait or step: a transfer under way is aborted (ABOR, QUIT).
  std::atomic<bool>* Cancel = nullptr;
  // While the sessions work, Ctrl-C and SIGTERM (util/process.h's
  // InstallInterruptHandler) stop the run the same way instead of ending the
  // process. For command-line programs; one run at a time.
  bool HeedInterrupts = false;

  // The caller shows OnDialogue's lines to the reader: failure texts then
  // leave out a refusal the dialogue shows already.
  bool DialogueShown = false;
  // Every file's outcome kept for TDeployResult::files: a few hundred bytes
  // a file. A caller that takes them from OnFile as they come may save that.
  bool KeepOutcomes = true;

  // ---- Events ----
  // Called one at a time, possibly from the sessions' threads (OnPassword
  // from the first session's, before any other session starts).
  std::function<void(const TFileEvent&)> OnFile;
  std::function<void(const TDeployNotice&)> OnNotice;
  std::function<void(const TDialogueLine&)> OnDialogue;
  std::function<void(const TDeployProgress&)> OnProgress;
  std::function<void(TDeployStage)> OnStage;
  // A session is about to connect (not again on its reconnects).
  std::function<void(int session)> OnSessionStart;
  // DryRun: the whole plan, once every tree is planned.
  std::function<void(const std::vector<TPlanStep>&)> OnPlan;
  // The server wants a password after USER and Password is empty: true with
  // the password to send. Asked once in a run.
  std::function<bool(std::string& password)> OnPassword;
};

// Deploys Sources as the options say. With Sync, ParallelAuto or Parallel
// above 1 the sync run takes them (a plain folder upload when Sync is off),
// else the folder run. Every failure is an event and counted; the run goes on after
// a refused store and stops after a failed login, a stop request or a lost
// connection without reconnects left.
TDeployResult RunDeploy(const TDeployOptions& options);

}  // namespace zud
