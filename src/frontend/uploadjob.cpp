#include "frontend/uploadjob.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "frontend/advice.h"
#include "frontend/console.h"
#include "frontend/credentials.h"
#include "frontend/deployjob.h"
#include "frontend/program.h"
#include "frontend/progressmeter.h"
#include "frontend/tlsswitches.h"
#include "util/compat.h"
#include "util/iptext.h"
#include "util/process.h"
#include "util/stream.h"
#include "util/textutil.h"

namespace zud {
namespace {

// The part of a file that is looked at for NUL bytes.
constexpr int64_t kSniffBytes = 65536;

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The echo of the dialogue, with the progress meter of the file being sent.
struct TClassicWatch {
  TClassicWatch(TFTPSend& ftp, const TUploadSettings& settings)
      : watch(ftp, DeployOptionsFrom(settings)) {
    const bool quiet = settings.Quiet;
    watch.OnDialogue = [this, quiet](bool, const std::string& line) {
      if (!quiet && !muted) WriteOutputLine(line);
    };
    watch.OnFileData = [this](int64_t bytes) {
      if (meter == nullptr) return;
      if (bytes == 0) {
        meter->Start();
      } else {
        meter->Advance(bytes);
      }
    };
    if (ShouldAskPassword(settings)) watch.OnPassword = PasswordPrompt(settings);
  }

  TSessionWatch watch;
  TTransferMeter* meter = nullptr;
  // While muted, the dialogue is not echoed (the classic transcript stays
  // as it always was around a probe the tool adds after a failure).
  bool muted = false;
};

// APPE from offset on, for a server that refuses REST.
bool AppendFrom(TFTPSend& ftp, const std::string& remote, int64_t offset) {
  TFileStream file(ftp.DirectFileName, TFileStream::Mode::kRead);
  if (!ftp.PrepareDataConnection()) return false;
  ftp.SendCommand(ftp.BinaryMode ? "TYPE I" : "TYPE A");
  file.SetPosition(offset);
  if (ReplyClassOf(ftp.SendCommand("APPE " + remote)) != 1) return false;
  return ftp.UploadOverData(file);
}

enum class TResumeOutcome { kStored, kAlreadyComplete, kFailed };

TResumeOutcome ResumeUpload(TFTPSend& ftp, const TSessionWatch& watch, const std::string& remote,
                            int64_t local_size) {
  const int64_t remote_size = ftp.RemoteFileSize(remote);
  if (remote_size >= 0 && remote_size == local_size) return TResumeOutcome::kAlreadyComplete;
  // Nothing there, or a longer copy that is no prefix of this file: replace.
  bool stored;
  if (remote_size <= 0 || remote_size > local_size) {
    stored = ftp.UploadFile(remote, false);
  } else if (ftp.CanResume()) {
    stored = ftp.UploadFromSource("STOR " + remote, remote_size);
    if (!stored && StartsWith(watch.last_command(), "REST ") && !InterruptRequested()) {
      stored = AppendFrom(ftp, remote, remote_size);
    }
  } else {
    stored = AppendFrom(ftp, remote, remote_size);
  }
  return stored ? TResumeOutcome::kStored : TResumeOutcome::kFailed;
}

// The exception's message, then every line of the last reply; one output line.
void ReportStoreException(const TFTPSend& client, const std::string& message, bool quiet) {
  std::string text = message + "\r\n";
  for (const std::string& line : client.FullResult()) text += line + "\r\n";
  ClassicLine(text, quiet);
}

// -1 when not known in advance (not a regular file, or unreadable).
int64_t LocalFileSize(const std::string& path) {
  if (!IsRegularFile(path)) return -1;
  try {
    TFileStream file(path, TFileStream::Mode::kRead);
    return file.Size();
  } catch (const std::exception&) {
    return -1;
  }
}

void WriteAdvice(TDeployHint hint, const TUploadSettings& settings) {
  const std::string advice = AdviceLine(hint, settings);
  if (!advice.empty()) WriteErrorLine(advice);
}

enum class TAfterStore { kGoOn, kStopWithQuit, kStopWithoutQuit };

// Stores one file; returns what failed and what the session can do next.
TDeployFailure StoreOneFile(TMyFtp& ftp, TClassicWatch& classic, const TUploadSettings& settings,
                            const std::string& path, TAfterStore& next) {
  TSessionWatch& watch = classic.watch;
  next = TAfterStore::kGoOn;
  const std::string remote = WithDirectoryEnd(settings.RemoteDir) + LocalFileNamePart(path);
  if (!ftp.BinaryMode && LooksBinary(path)) {
    WriteErrorLine("warning: " + path +
                   " holds NUL bytes and looks binary, but is sent in ASCII type; /binary is "
                   "probably wanted");
  }
  ftp.DirectFileName = path;
  ftp.DirectFile = true;
  const int64_t size = LocalFileSize(path);

  bool stored = false;
  bool skipped = false;
  try {
    TTransferMeter meter(size);
    classic.meter = &meter;
    watch.BeginFile(size);
    {
      TInterruptArming armed(ftp);
      if (settings.Resume) {
        const TResumeOutcome outcome = ResumeUpload(ftp, watch, remote, size);
        stored = outcome != TResumeOutcome::kFailed;
        skipped = outcome == TResumeOutcome::kAlreadyComplete;
      } else {
        stored = ftp.UploadFile(remote, false);
      }
    }
    meter.End(stored && !skipped);
    watch.EndFile();
    classic.meter = nullptr;
  } catch (const EFileOpenError& e) {
    watch.EndFile();
    classic.meter = nullptr;
    ReportStoreException(ftp, e.what(), settings.Quiet);
    WriteErrorLine("cannot read " + path + ": " + OpenFailureReason(e.what()));
    next = TAfterStore::kStopWithoutQuit;
    return TDeployFailure::kLocalFile;
  } catch (const std::exception& e) {
    watch.EndFile();
    classic.meter = nullptr;
    ReportStoreException(ftp, e.what(), settings.Quiet);
    next = TAfterStore::kStopWithoutQuit;
    return TDeployFailure::kTransferFailed;
  }
  if (skipped) {
    WriteErrorLine(remote + " is already complete on the server (" + std::to_string(size) +
                   " bytes); nothing sent");
  }
  if (InterruptRequested()) {
    WriteErrorLine("interrupted");
    AbortAfterInterrupt(ftp);
    next = TAfterStore::kStopWithoutQuit;
    return TDeployFailure::kInterrupted;
  }
  if (stored) return TDeployFailure::kNone;
  const TSessionFacts facts = watch.Facts();
  const TFailure failure = ClassifyStoreFailure(facts, remote);
  if (!failure.message.empty()) WriteErrorLine(failure.message);
  WriteAdvice(failure.hint, settings);
  bool folder_missing = false;
  if ((facts.result_code == 550 || facts.result_code == 553) && facts.control_error == 0) {
    classic.muted = true;
    folder_missing = !RemoteFolderExists(ftp, settings.RemoteDir);
    classic.muted = false;
  }
  if (folder_missing) {
    std::string dir = settings.RemoteDir;
    if (dir.size() > 1) dir.pop_back();  // the "/" the remote name was built with
    WriteErrorLine(FailureLine({TDeployFailure::kRefused, "", TDeployHint::kRemoteFolderMissing}, dir));
  }
  // A lost or silent control connection carries no further file.
  if (facts.control_error != 0 || facts.result_code == 0) next = TAfterStore::kStopWithQuit;
  return failure.kind;
}

}  // namespace

TMyFtp::TMyFtp() {
  OnStatus = [](TFTPSend& sender, bool response, const std::string& value) {
    EchoStatus(sender, response, value);
  };
}

void TMyFtp::EchoStatus(TFTPSend&, bool, const std::string& value) {
  WriteOutputLine(MaskedLine(value));
}

void ClassicLine(const std::string& text, bool quiet) {
  if (quiet) {
    WriteErrorLine(text);
  } else {
    WriteOutputLine(text);
  }
}

bool LooksBinary(const std::string& path) {
  // Reading ahead in a pipe would take the first block away from the upload.
  if (!IsRegularFile(path)) return false;
  try {
    TFileStream file(path, TFileStream::Mode::kRead);
    std::string block(static_cast<size_t>(kSniffBytes), '\0');
    const int64_t n = file.Read(block.data(), kSniffBytes);
    return n > 0 && std::memchr(block.data(), '\0', static_cast<size_t>(n)) != nullptr;
  } catch (const std::exception&) {
    return false;  // the store reports what is wrong with the file
  }
}

TExitStatus RunUploadJob(const TUploadSettings& given) {
  TUploadSettings settings = given;
  std::vector<std::string> files = settings.Files;
  if (files.empty()) files.push_back(settings.LocalPath);

  TDeployFailure first = TDeployFailure::kNone;
  std::vector<std::string> present;
  for (const std::string& path : files) {
    if (FileExists(path)) {
      present.push_back(path);
    } else {
      ClassicLine("File not found( " + path + " )", settings.Quiet);
      WriteErrorLine(FailureLine(ClassifySourceFailure(path, false), path));
      KeepFirstFailure(first, TDeployFailure::kLocalFile);
    }
  }
  size_t stored_count = 0;
  const auto summary = [&] {
    if (files.size() > 1) {
      WriteErrorLine(std::to_string(stored_count) + " of " + std::to_string(files.size()) +
                     " files stored");
    }
  };
  if (present.empty()) {
    summary();
    return ExitStatusOf(first);
  }

  auto ftp = std::make_unique<TMyFtp>();
  TClassicWatch watch(*ftp, settings);
  WarnAboutTLSSwitches(settings.Tls);
  ConfigureClient(DeployOptionsFrom(settings), *ftp);
  ftp->BinaryMode = LowerCase8(settings.Mode) == "binary";
  // A failed login ends without QUIT: the client's destruction closes the
  // connection.
  const TFailure login = SignInToHost(settings.Server, *ftp, watch.watch);
  if (login.kind != TDeployFailure::kNone) {
    if (!login.message.empty()) WriteErrorLine(login.message);
    WriteAdvice(login.hint, settings);
    KeepFirstFailure(first, login.kind);
    summary();
    return ExitStatusOf(first);
  }

  settings.RemoteDir = WithDirectoryEnd(settings.RemoteDir);
  TAfterStore next = TAfterStore::kGoOn;
  for (const std::string& path : present) {
    const TDeployFailure status = StoreOneFile(*ftp, watch, settings, path, next);
    if (status == TDeployFailure::kNone) {
      ++stored_count;
    } else if (status == TDeployFailure::kInterrupted) {
      first = status;  // the user's stop overrides what went wrong before
    } else {
      KeepFirstFailure(first, status);
    }
    if (next != TAfterStore::kGoOn) break;
  }
  // A server that has already let one wait run out gets a short one for QUIT.
  if (next == TAfterStore::kStopWithQuit) ftp->Timeout = std::min(ftp->Timeout, kCleanupTimeoutMs);
  if (next != TAfterStore::kStopWithoutQuit) ftp->SignOff();
  summary();
  return ExitStatusOf(first);
}

bool RunUpload() { return RunUploadJob(UploadSettings) == TExitStatus::kStored; }

}  // namespace zud
