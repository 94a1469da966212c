#include "service/worker_pool.h"

namespace kx::service {

WorkerPool::WorkerPool(int workers, size_t queueLimit) : limit_(queueLimit) {
  for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
}

WorkerPool::~WorkerPool() { Stop(); }

bool WorkerPool::TryPost(std::function<void()>& job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || queue_.size() >= limit_) return false;
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
  return true;
}

void WorkerPool::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_)
    if (t.joinable()) t.join();
}

void WorkerPool::Work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();
  }
}

}  // namespace kx::service
