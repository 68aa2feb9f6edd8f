#include "deploy/jobqueue.h"

#include <chrono>
#include <cstddef>
#include <utility>

#include "deploy/session.h"

namespace zud {

void TJobQueue::Open(std::vector<TSyncJob> jobs, std::set<std::string> pending_folders) {
  std::lock_guard<std::mutex> lock(mutex_);
  jobs_ = std::move(jobs);
  taken_.assign(jobs_.size(), false);
  taken_count_ = 0;
  handed_out_ = 0;
  first_ = 0;
  pending_ = std::move(pending_folders);
  open_ = true;
  ready_.notify_all();
}

void TJobQueue::FolderReady(const std::string& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.erase(folder);
  ready_.notify_all();
}

void TJobQueue::AllFoldersReady() {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.clear();
  open_ = true;
  ready_.notify_all();
}

void TJobQueue::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = true;
  ready_.notify_all();
}

std::optional<TSyncJob> TJobQueue::Take(const TRunTally& tally) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (tally.Stopped() || tally.SendsHalted()) return std::nullopt;
    if (!returned_.empty()) {
      const TSyncJob job = returned_.back();
      returned_.pop_back();
      return job;
    }
    if (open_) {
      while (first_ < jobs_.size() && taken_[first_]) ++first_;
      // The jobs handed out are no longer needed: once they make half of
      // the array, it gives their room back (a large tree's run holds its
      // state growing as the jobs go).
      if (first_ >= kCompactAfter && first_ * 2 >= jobs_.size()) {
        jobs_.erase(jobs_.begin(), jobs_.begin() + static_cast<std::ptrdiff_t>(first_));
        taken_.erase(taken_.begin(), taken_.begin() + static_cast<std::ptrdiff_t>(first_));
        jobs_.shrink_to_fit();
        taken_.shrink_to_fit();
        handed_out_ += first_;
        first_ = 0;
      }
      for (size_t i = first_; i < jobs_.size(); ++i) {
        if (taken_[i] || pending_.count(*jobs_[i].folder) != 0) continue;
        taken_[i] = true;
        ++taken_count_;
        return jobs_[i];
      }
      if (first_ >= jobs_.size()) return std::nullopt;
    }
    ready_.wait_for(lock, std::chrono::milliseconds(kStopCheckMs));
  }
}

void TJobQueue::PutBack(const TSyncJob& job) {
  std::lock_guard<std::mutex> lock(mutex_);
  returned_.push_back(job);
  ready_.notify_all();
}

std::vector<TSyncJob> TJobQueue::Untaken() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<TSyncJob> left;
  for (const TSyncJob& job : returned_) {
    if (job.entry != nullptr) left.push_back(job);
  }
  for (size_t i = 0; i < jobs_.size(); ++i) {
    if (!taken_[i] && jobs_[i].entry != nullptr) left.push_back(jobs_[i]);
  }
  return left;
}

size_t TJobQueue::Waiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size() + handed_out_ - taken_count_ + returned_.size();
}

}  // namespace zud
