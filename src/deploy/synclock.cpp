#include "deploy/synclock.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <utility>

#include "deploy/session.h"
#include "util/compat.h"
#include "util/process.h"
#include "util/sockapi.h"
#include "util/textutil.h"

namespace zud {
namespace {

constexpr std::string_view kHeader = "ftpupload-lock 1";
// An owner record is a few lines; anything longer is not one.
constexpr size_t kMaxOwnerBytes = 4096;
// A run that finds a lock without its record waits this long once for the
// record of a run that is taking it right now.
constexpr uint32_t kOwnerWaitMs = 1000;

// Text a record line can carry: no tabs or line ends.
std::string Plain(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text.empty() ? std::string("?") : text;
}

std::string RandomToken() {
  std::random_device random;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 4; ++i) {
    uint32_t bits = random();
    for (int j = 0; j < 8; ++j, bits >>= 4) token += kDigits[bits & 15];
  }
  return token;
}

std::optional<int64_t> ReadSeconds(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::string UtcText(int64_t seconds) {
  TUtcTime t;
  if (!TryDecodeUnixTime(seconds, t)) return std::to_string(seconds);
  char text[40];
  snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", t.year, t.month, t.day, t.hour,
           t.minute, t.second);
  return text;
}

std::string Ago(int64_t seconds) {
  if (seconds < 0) return "in the future";  // the holder's clock runs ahead
  const auto count = [](int64_t n, const char* unit) {
    return std::to_string(n) + " " + unit + (n == 1 ? "" : "s") + " ago";
  };
  if (seconds < 120) return count(seconds, "second");
  if (seconds < 7200) return count(seconds / 60, "minute");
  return count(seconds / 3600, "hour");
}

}  // namespace

int64_t UnixSecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string FormatLockOwner(const TLockOwner& o) {
  return std::string(kHeader) + "\nuser\t" + Plain(o.user) + "\nhost\t" + Plain(o.host) +
         "\npid\t" + std::to_string(o.pid) + "\nsince\t" + std::to_string(o.since) + "\nalive\t" +
         std::to_string(o.alive) + "\ntoken\t" + Plain(o.token) + "\n";
}

std::optional<TLockOwner> ParseLockOwner(std::string_view text, std::string* error) {
  const auto fail = [error](const std::string& why) -> std::optional<TLockOwner> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  if (text.size() > kMaxOwnerBytes) return fail("too long");
  TLockOwner owner;
  unsigned seen = 0;  // a bit per field
  bool first = true;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return fail("cut short");
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      if (line != kHeader) return fail("not a lock record");
      first = false;
      continue;
    }
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos || tab + 1 == line.size()) return fail("bad line");
    const std::string_view key = line.substr(0, tab);
    const std::string_view value = line.substr(tab + 1);
    const struct {
      const char* name;
      std::string* text;
      int64_t* number;
    } fields[] = {{"user", &owner.user, nullptr},   {"host", &owner.host, nullptr},
                  {"pid", nullptr, &owner.pid},     {"since", nullptr, &owner.since},
                  {"alive", nullptr, &owner.alive}, {"token", &owner.token, nullptr}};
    unsigned bit = 1;
    for (const auto& field : fields) {
      if (key == field.name) {
        if ((seen & bit) != 0) return fail(std::string(field.name) + " repeated");
        seen |= bit;
        if (field.text != nullptr) {
          *field.text = value;
        } else if (const std::optional<int64_t> n = ReadSeconds(value)) {
          *field.number = *n;
        } else {
          return fail("bad " + std::string(field.name));
        }
      }
      bit <<= 1;
    }
  }
  if (first) return fail("empty");
  if (seen != 0x3f) return fail("fields missing");
  return owner;
}

std::string DescribeLockOwner(const TLockOwner& o, int64_t now) {
  std::string text = o.user + " on " + o.host + " (process " + std::to_string(o.pid) + ") since " +
                     UtcText(o.since) + ", " + Ago(now - o.since);
  if (o.alive - o.since >= 60) text += ", last sign of life " + Ago(now - o.alive);
  return text;
}

// ---- The lock ----------------------------------------------------------------------

TDeployLock::TDeployLock(TRunTally& tally, std::string path)
    : tally_(tally), path_(std::move(path)), owner_path_(path_ + "/" + std::string(kLockOwnerName)) {
  mine_.user = LocalUserName();
  mine_.host = LocalHostName();
  mine_.pid = CurrentProcessId();
  mine_.token = RandomToken();
}

bool TDeployLock::ReadOwner(TUploadSession& session, bool& found, std::string& text) {
  int code = 0;
  const bool answered = session.Persist([&] {
    if (session.ReadText("RETR " + owner_path_, kMaxOwnerBytes, text, code)) return true;
    return ReplyClassOf(code) == 4 || ReplyClassOf(code) == 5;
  });
  found = answered && ReplyClassOf(code) == 2;
  return answered;
}

bool TDeployLock::WriteOwner(TUploadSession& session) {
  mine_.alive = UnixSecondsNow();
  if (mine_.since == 0) mine_.since = mine_.alive;
  const std::string text = FormatLockOwner(mine_);
  bool stored = false;
  const bool answered = session.Persist([&] {
    stored = session.StoreText(owner_path_, text);
    return stored || !session.NoteLoss();
  });
  if (stored) written_ms_ = MonotonicMilliseconds();
  return answered && stored;
}

bool TDeployLock::Remove(TUploadSession& session, bool& removed) {
  removed = false;
  return session.Persist([&] {
    TFTPSend& ftp = session.ftp();
    ftp.DeleteRemoteFile(owner_path_);
    removed = ftp.RemoveDirectory(path_);
    return removed || !session.NoteLoss();
  });
}

void TDeployLock::ReportStuck(TUploadSession& session) {
  tally_.Notice({.kind = TNoticeKind::kWarning,
                 .text = "cannot remove the lock " + path_ +
                         (session.lost() ? std::string(": the connection was lost")
                                         : ": " + session.ftp().ResultString()) +
                         "; the next run takes it over once it is stale (" +
                         std::to_string(kLockStaleSeconds / 60) + " minutes)"});
}

bool TDeployLock::MayTakeOver(const std::optional<TLockOwner>& owner, const std::string& why) {
  const int64_t now = UnixSecondsNow();
  const bool stale = owner && now - owner->alive > kLockStaleSeconds;
  const TDeployOptions& options = tally_.options();
  if (!stale && !options.Force) {
    tally_.KeepFailure(TDeployFailure::kLocked);
    tally_.Notice({.kind = TNoticeKind::kError,
                   .text = (owner ? "another deploy holds the lock " + path_ + ": " +
                                        DescribeLockOwner(*owner, now)
                                  : "the lock " + path_ + " is held, " + why) +
                           "; nothing was changed",
                   .failure = TDeployFailure::kLocked,
                   .hint = TDeployHint::kLocked,
                   .path = path_});
    return false;
  }
  tally_.Notice({.kind = TNoticeKind::kWarning,
                 .text = "taking over the lock " + path_ +
                         (owner ? " of " + DescribeLockOwner(*owner, now) : ", " + why) +
                         (stale ? " (stale: no sign of life for over " +
                                      std::to_string(kLockStaleSeconds / 60) + " minutes)"
                                : " (forced)")});
  return true;
}

TDeployFailure TDeployLock::Take(TUploadSession& session) {
  const auto lost = [this] {
    return tally_.Interrupted() ? TDeployFailure::kInterrupted : TDeployFailure::kTransferFailed;
  };
  TFTPSend& ftp = session.ftp();
  bool waited = false;
  // A lock taken over may be taken by a third run first: a few rounds.
  for (int round = 0; round < 4; ++round) {
    int code = 0;
    if (!session.Persist([&] {
          code = ftp.SendCommand("MKD " + path_);
          return ReplyClassOf(code) != 0 || !session.NoteLoss();
        })) {
      return lost();
    }
    if (ReplyClassOf(code) == 2) {
      const bool written = WriteOwner(session);
      // A run stopped meanwhile removes what it made, as it ends.
      held_ = written || tally_.Stopped();
      if (held_) return written ? TDeployFailure::kNone : lost();
      if (session.lost()) return lost();
      const std::string reply = ftp.ResultString();
      bool removed = false;
      Remove(session, removed);
      tally_.KeepFailure(TDeployFailure::kRefused);
      tally_.Notice({.kind = TNoticeKind::kError,
                     .text = "cannot write the lock record " + owner_path_ + ": " + reply +
                             "; nothing was changed",
                     .failure = TDeployFailure::kRefused});
      return TDeployFailure::kRefused;
    }
    const std::string refusal = ftp.ResultString();
    bool found = false;
    std::string text;
    if (!ReadOwner(session, found, text)) return lost();
    std::optional<TLockOwner> owner;
    std::string why;
    if (found) {
      owner = ParseLockOwner(text, &why);
      if (!owner) why = "but its record " + owner_path_ + " cannot be read (" + why + ")";
    } else {
      bool exists = false;
      if (!session.Persist([&] {
            exists = RemoteFolderExists(ftp, path_);
            return exists || !session.NoteLoss();
          })) {
        return lost();
      }
      if (!exists) {
        tally_.KeepFailure(TDeployFailure::kRefused);
        tally_.Notice({.kind = TNoticeKind::kError,
                       .text = "cannot take the deploy lock " + path_ + ": " + refusal +
                               " (its folder must exist and take new files); nothing was changed",
                       .failure = TDeployFailure::kRefused});
        return TDeployFailure::kRefused;
      }
      if (!waited) {
        // A run taking the lock right now writes its record next.
        waited = true;
        SleepMilliseconds(kOwnerWaitMs);
        continue;
      }
      why = "but it holds no record of its owner (a run that ended as it took it?)";
    }
    if (owner && owner->token == mine_.token) {  // ours, from before a reconnect
      held_ = true;
      return TDeployFailure::kNone;
    }
    if (!MayTakeOver(owner, why)) return TDeployFailure::kLocked;
    bool removed = false;
    if (!Remove(session, removed)) return lost();
    if (!removed) {
      ReportStuck(session);
      tally_.KeepFailure(TDeployFailure::kLocked);
      return TDeployFailure::kLocked;
    }
  }
  tally_.KeepFailure(TDeployFailure::kLocked);
  tally_.Notice({.kind = TNoticeKind::kError,
                 .text = "another deploy took the lock " + path_ + " first; nothing was changed",
                 .failure = TDeployFailure::kLocked,
                 .hint = TDeployHint::kLocked,
                 .path = path_});
  return TDeployFailure::kLocked;
}

void TDeployLock::Refresh(TUploadSession& session) {
  // Sessions of several threads: one refreshes, the others go on.
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (!lock || !held_ || MonotonicMilliseconds() - written_ms_ < kLockRefreshSeconds * 1000) {
    return;
  }
  bool found = false;
  std::string text;
  if (!ReadOwner(session, found, text)) return;
  const std::optional<TLockOwner> owner = found ? ParseLockOwner(text) : std::nullopt;
  if (owner && owner->token != mine_.token) {
    held_ = false;
    tally_.Notice({.kind = TNoticeKind::kWarning,
                   .text = "the lock " + path_ + " was taken over by " +
                           DescribeLockOwner(*owner, UnixSecondsNow())});
    return;
  }
  WriteOwner(session);
}

void TDeployLock::Release(TUploadSession& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!held_) return;
  bool found = false;
  std::string text;
  if (ReadOwner(session, found, text)) {
    const std::optional<TLockOwner> owner = found ? ParseLockOwner(text) : std::nullopt;
    if (owner && owner->token != mine_.token) {
      held_ = false;
      tally_.Notice({.kind = TNoticeKind::kWarning,
                     .text = "the lock " + path_ + " was taken over by " +
                             DescribeLockOwner(*owner, UnixSecondsNow()) + "; it stays"});
      return;
    }
    bool removed = false;
    if (Remove(session, removed) && removed) {
      held_ = false;
      return;
    }
  }
  held_ = false;
  ReportStuck(session);
}

}  // namespace zud
