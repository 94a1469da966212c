#include "service/worker_pool.h"

namespace kx::service {

namespace {

// Gives the processor to any other thread that is ready to run (an I/O thread, a client on the
// same machine), else returns at once: the watch costs no one else their time.
inline void Relax() { std::this_thread::yield(); }

}  // namespace

WorkerPool::WorkerPool(int workers, size_t queueLimit) : limit_(queueLimit) {
  for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
}

WorkerPool::~WorkerPool() { Stop(); }

bool WorkerPool::TryPost(std::function<void()>& job) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || queue_.size() >= limit_) return false;
    queue_.push_back(std::move(job));
    queued_.store(queue_.size(), std::memory_order_release);
    // A watching worker takes it without a wake-up; it checks the queue under the lock before it
    // sleeps, so nothing is left behind when it stops watching meanwhile.
    wake = !spinning_.load(std::memory_order_acquire) || queue_.size() > 1;
  }
  if (wake) wake_.notify_one();
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

bool WorkerPool::Spin() {
  bool idle = false;
  if (!spinning_.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) return false;
  const auto until = std::chrono::steady_clock::now() + kSpin;
  bool came = false;
  while (!(came = queued_.load(std::memory_order_acquire) > 0) && std::chrono::steady_clock::now() < until)
    Relax();
  spinning_.store(false, std::memory_order_release);
  return came;
}

void WorkerPool::Work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      if (queue_.empty() && !stopping_) {
        lock.unlock();
        const bool came = Spin();
        lock.lock();
        if (!came) wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      }
      if (queue_.empty()) {
        if (stopping_) return;
        continue;
      }
      job = std::move(queue_.front());
      queue_.pop_front();
      queued_.store(queue_.size(), std::memory_order_release);
    }
    job();
  }
}

}  // namespace kx::service
