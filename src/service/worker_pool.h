// The workers that run the service's calls (the database work blocks), fed by a bounded queue: a
// job that finds the queue full is refused at once, so that the caller can answer "busy" instead
// of waiting.
#pragma once

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

  const size_t limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace kx::service
