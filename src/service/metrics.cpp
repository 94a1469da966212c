#include "service/metrics.h"

#include <cstdio>

#include "runtime/db/connection.h"

namespace kx::service {

namespace {

// A label value: backslash, double quote and line feed escaped.
std::string Label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

}  // namespace

void Metrics::Record(const std::string& className, const std::string& member, int status, double seconds) {
  std::lock_guard lock(mutex_);
  ++requests_[{className, member, status}];
  size_t i = 0;
  while (i < kBucketCount && seconds > kBuckets[i]) ++i;
  ++buckets_[i];
  sum_ += seconds;
  ++count_;
}

std::string Metrics::Text() const {
  std::string out;
  out += "# HELP kx_requests_total Requests answered, by class, member and status.\n";
  out += "# TYPE kx_requests_total counter\n";
  std::lock_guard lock(mutex_);
  for (const auto& [key, n] : requests_) {
    const auto& [cls, member, status] = key;
    out += "kx_requests_total{class=\"" + Label(cls) + "\",member=\"" + Label(member) + "\",status=\"" +
           std::to_string(status) + "\"} " + std::to_string(n) + "\n";
  }
  out += "# HELP kx_request_duration_seconds Time from a request's arrival to its answer.\n";
  out += "# TYPE kx_request_duration_seconds histogram\n";
  uint64_t cumulative = 0;
  for (size_t i = 0; i <= kBucketCount; ++i) {
    cumulative += buckets_[i];
    out += "kx_request_duration_seconds_bucket{le=\"" + (i < kBucketCount ? Number(kBuckets[i]) : "+Inf") +
           "\"} " + std::to_string(cumulative) + "\n";
  }
  out += "kx_request_duration_seconds_sum " + Number(sum_) + "\n";
  out += "kx_request_duration_seconds_count " + std::to_string(count_) + "\n";
  out += "# HELP kx_requests_in_flight Requests being handled.\n# TYPE kx_requests_in_flight gauge\n";
  out += "kx_requests_in_flight " + std::to_string(inFlight_.load()) + "\n";
  const db::PoolStats pool = db::PoolStatistics();
  out += "# HELP kx_pool_connections Database connections, idle in the pool or leased to calls.\n";
  out += "# TYPE kx_pool_connections gauge\n";
  out += "kx_pool_connections{state=\"idle\"} " + std::to_string(pool.idle) + "\n";
  out += "kx_pool_connections{state=\"leased\"} " + std::to_string(pool.leased) + "\n";
  out += "# HELP kx_pool_leases_total Connections handed to calls, from the pool or newly opened.\n";
  out += "# TYPE kx_pool_leases_total counter\n";
  out += "kx_pool_leases_total{source=\"pool\"} " + std::to_string(pool.reused) + "\n";
  out += "kx_pool_leases_total{source=\"opened\"} " + std::to_string(pool.opened) + "\n";
  out += "# HELP kx_pool_wait_seconds_total Time calls waited for a new connection to open.\n";
  out += "# TYPE kx_pool_wait_seconds_total counter\n";
  out += "kx_pool_wait_seconds_total " + Number(pool.openSeconds) + "\n";
  return out;
}

}  // namespace kx::service
