// The workers that run the service's calls (the database work blocks), fed by a bounded queue: a
// job that finds the queue full is refused at once, so that the caller can answer "busy" instead
// of waiting.
//
// Handing a job to a sleeping thread costs a wake-up, which on a virtual machine can cost more than
// a small call. So one idle worker at a time watches the queue for a moment (kSpin) before it
// sleeps: under a steady stream of requests the next job is taken without waking anyone, and an
// idle service sleeps.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kx::service {

class WorkerPool {
 public:
  static constexpr auto kSpin = std::chrono::microseconds(200);

  WorkerPool(int workers, size_t queueLimit);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `job`; false (and `job` not taken) when the queue already holds queueLimit jobs or the
  // pool is stopping.
  bool TryPost(std::function<void()>& job);
  // Runs what is queued, then ends the workers. Safe to call more than once.
  void Stop();

 private:
  void Work();
  // Watches the queue for kSpin unless another worker already does; true when a job came.
  bool Spin();

  const size_t limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::atomic<size_t> queued_{0};       // queue_.size(), readable without the lock
  std::atomic<bool> spinning_{false};  // a worker is watching the queue
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace kx::service
