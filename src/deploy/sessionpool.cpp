#include "deploy/sessionpool.h"

#include <algorithm>

#include "util/compat.h"

namespace zud {

int SessionCeiling(const TDeployOptions& options) {
  if (options.ParallelAuto && options.Parallel <= 1) return kAutoCeiling;
  return std::max(options.Parallel, 1);
}

TDeployFailure TSessionPool::ConnectFirst() {
  const TDeployOptions& options = tally_.options();
  sessions_.push_back(
      std::make_unique<TUploadSession>(tally_, ceiling_ > 1 ? 1 : 0, options.Password));
  primary_ = sessions_.front().get();
  const TDeployFailure login = Primary().Connect(true);
  if (login != TDeployFailure::kNone) return login;
  logged_in_ = 1;
  tally_.SessionsLoggedIn(1, false);
  if (ceiling_ > 1) Primary().SetEndsAlone(true);
  // A password given at the prompt serves the extra sessions too.
  extra_password_ = options.Password;
  if (!options.User.empty() && options.Password.empty()) extra_password_ = Primary().password();
  return TDeployFailure::kNone;
}

void TSessionPool::StartExtra(const TWork& work) {
  work_ = work;
  const int count = tally_.options().ParallelAuto ? std::min(kAutoFirstSessions, ceiling_) : ceiling_;
  std::lock_guard<std::mutex> lock(mutex_);
  open_sessions_ = 1;
  for (int number = 2; number <= count; ++number) StartOne(number);
}

void TSessionPool::StartOne(int number) {
  ++open_sessions_;
  ++logins_pending_;
  next_number_ = number + 1;
  sessions_.push_back(std::make_unique<TUploadSession>(tally_, number, extra_password_));
  TUploadSession& session = *sessions_.back();
  session.SetEndsAlone(true);
  session.SetLoginAbandon(&abandon_logins_);
  threads_.emplace_back([this, &session] { RunExtra(session); });
}

void TSessionPool::RunExtra(TUploadSession& session) {
  const bool up = session.Connect(false, false) == TDeployFailure::kNone;
  bool refused = false;
  int before = 0;  // the sessions open before this one left
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --logins_pending_;
    if (up) {
      newest_ = session.number();
      newest_sent_ = false;
      tally_.SessionsLoggedIn(++logged_in_, false);
    } else {
      before = open_sessions_--;
      refused = !tally_.Stopped() && !abandon_logins_;
    }
    if (refused) {
      // The host's limit: what it let in so far, until a quiet while
      // passed. The refused session's number goes to the next one tried.
      allowed_ = before - 1;
      refused_at_ = MonotonicMilliseconds();
      next_number_ = std::min(next_number_, session.number());
      tally_.SessionsLoggedIn(logged_in_, true);
    }
  }
  if (refused) {
    const TSessionFacts facts = session.watch().Facts();
    const std::string why =
        facts.result_line.empty() ? facts.control_error_text : facts.result_line;
    // Worded as it always was: the plural goes by the count before this
    // session left.
    tally_.Notice({.kind = TNoticeKind::kNote,
                   .text = "the server refused session " + std::to_string(session.number()) +
                           " (" + why + "); going on with " + std::to_string(before - 1) +
                           (before == 1 ? " session" : " sessions"),
                   .session = session.number()});
  }
  if (!up) return;
  work_(session);
  // After a stop request every session ends at once, each in its thread;
  // otherwise they stay for the deletes and the state file.
  if (tally_.Interrupted()) session.End();
}

void TSessionPool::FileSent(const TUploadSession& session, size_t waiting) {
  if (!tally_.options().ParallelAuto || tally_.Stopped() || tally_.SendsHalted()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (session.number() == newest_ || newest_ == 0) newest_sent_ = true;
  const int open = open_sessions_;
  // One login at a time, each after the newest session proved itself, and
  // only while the sessions there are leave files waiting.
  if (abandon_logins_ || logins_pending_ > 0 || !newest_sent_ || open >= ceiling_ ||
      waiting <= static_cast<size_t>(open)) {
    return;
  }
  if (allowed_ > 0 && open >= allowed_ &&
      MonotonicMilliseconds() - refused_at_ < kAutoQuietMs) {
    return;
  }
  StartOne(next_number_);
}

void TSessionPool::AbandonLogins() {
  std::lock_guard<std::mutex> lock(mutex_);
  abandon_logins_ = true;
}

void TSessionPool::Join() {
  // No thread is added once the logins are abandoned; until then a session
  // may open another while the first ones are joined.
  for (;;) {
    std::thread thread;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (threads_.empty()) return;
      thread = std::move(threads_.back());
      threads_.pop_back();
    }
    thread.join();
  }
}

TUploadSession* TSessionPool::Alive() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& session : sessions_) {
    if (session->up() && !session->lost()) return session.get();
  }
  return Primary().up() && Primary().EnsureSession() ? &Primary() : nullptr;
}

TUploadSession* TSessionPool::ForCleanup() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& session : sessions_) {
    if (session->BeginCleanup()) return session.get();
  }
  return nullptr;
}

void TSessionPool::EndAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& session : sessions_) session->End();
}

}  // namespace zud
