#include "deploy/sessionpool.h"

#include <algorithm>

namespace zud {

TDeployFailure TSessionPool::ConnectFirst() {
  const TDeployOptions& options = tally_.options();
  sessions_.push_back(
      std::make_unique<TUploadSession>(tally_, options.Parallel > 1 ? 1 : 0, options.Password));
  const TDeployFailure login = Primary().Connect(true);
  if (login != TDeployFailure::kNone) return login;
  if (options.Parallel > 1) Primary().SetEndsAlone(true);
  // A password given at the prompt serves the extra sessions too.
  extra_password_ = options.Password;
  if (!options.User.empty() && options.Password.empty()) extra_password_ = Primary().password();
  return TDeployFailure::kNone;
}

void TSessionPool::StartExtra(int count, const std::function<void(TUploadSession&)>& work) {
  open_sessions_ = std::max(count, 1);
  for (int number = 2; number <= count; ++number) {
    sessions_.push_back(std::make_unique<TUploadSession>(tally_, number, extra_password_));
    TUploadSession& session = *sessions_.back();
    session.SetEndsAlone(true);
    session.SetLoginAbandon(&abandon_logins_);
    threads_.emplace_back([this, &session, work] {
      if (session.Connect(false, false) != TDeployFailure::kNone) {
        if (!tally_.Stopped() && !abandon_logins_) {
          const TSessionFacts facts = session.watch().Facts();
          const std::string why =
              facts.result_line.empty() ? facts.control_error_text : facts.result_line;
          // Worded as it always was: the plural goes by the count before
          // this session left.
          const int before = open_sessions_--;
          tally_.Notice({.kind = TNoticeKind::kNote,
                         .text = "the server refused session " + std::to_string(session.number()) +
                                 " (" + why + "); going on with " + std::to_string(before - 1) +
                                 (before == 1 ? " session" : " sessions"),
                         .session = session.number()});
        }
        return;
      }
      work(session);
      // After a stop request every session ends at once, each in its
      // thread; otherwise they stay for the deletes and the state file.
      if (tally_.Interrupted()) session.End();
    });
  }
}

void TSessionPool::AbandonLogins() { abandon_logins_ = true; }

void TSessionPool::Join() {
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

TUploadSession* TSessionPool::Alive() {
  for (auto& session : sessions_) {
    if (session->up() && !session->lost()) return session.get();
  }
  return Primary().up() && Primary().EnsureSession() ? &Primary() : nullptr;
}

TUploadSession* TSessionPool::ForCleanup() {
  for (auto& session : sessions_) {
    if (session->BeginCleanup()) return session.get();
  }
  return nullptr;
}

void TSessionPool::EndAll() {
  for (auto& session : sessions_) session->End();
}

}  // namespace zud
