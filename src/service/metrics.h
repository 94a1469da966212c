// What the HTTP service counts, written in the Prometheus text format: requests by class, member
// and status, a latency histogram, the calls in flight and the connection pool.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

namespace kx::service {

class Metrics {
 public:
  // Counts one finished request (class and member empty for requests outside /v1/).
  void Record(const std::string& className, const std::string& member, int status, double seconds);
  void Enter() { ++inFlight_; }
  void Leave() { --inFlight_; }
  // The whole exposition, "# HELP"/"# TYPE" lines included.
  std::string Text() const;

  // The upper bounds of the latency buckets, in seconds.
  static constexpr double kBuckets[] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                        0.1,    0.25,  0.5,    1,     2.5,  5,     10};
  static constexpr size_t kBucketCount = sizeof kBuckets / sizeof kBuckets[0];

 private:
  mutable std::mutex mutex_;
  std::map<std::tuple<std::string, std::string, int>, uint64_t> requests_;
  uint64_t buckets_[kBucketCount + 1] = {};  // the last one is +Inf
  double sum_ = 0;
  uint64_t count_ = 0;
  std::atomic<int64_t> inFlight_{0};
};

}  // namespace kx::service
