// The C++ side of bench/python_bench.py: the calls that the Python module makes, made by a C++
// program in-process through the registry, each in its own transaction scope as a host makes it.
//   kx_in_process_bench HOME get|add|modify SECONDS THREADS PREFIX
// runs the call for SECONDS on THREADS threads (each with its own controller) on the component
// folder HOME, and prints the calls per second. `get` fetches type profile C42; `add` adds type
// profiles PREFIX<thread>-<n>; `modify` renames type profile C42 (one thread).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kx/registry.h"
#include "kx/transaction.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s HOME get|add|modify SECONDS THREADS PREFIX\n", argv[0]);
    return 2;
  }
  setenv("KX_HOME", argv[1], 1);
  const std::string what = argv[2];
  const double seconds = std::atof(argv[3]);
  const int threads = std::atoi(argv[4]);
  const std::string prefix = argv[5];
  std::atomic<long> calls{0};
  std::atomic<bool> failed{false};
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      auto& registry = kx::Registry::Instance();
      const kx::ObjectPtr profiles = registry.Create("C_JBTypeProfile");
      long n = 0;
      try {
        while (std::chrono::steady_clock::now() < until) {
          kx::Args args;
          if (what == "get") {
            args = {kx::Variant("C42")};
          } else if (what == "modify") {
            args = {kx::Variant("<JBTypeProfile Code=\"C42\" JBTypeName=\"Truck job " + std::to_string(n) +
                                "\" JBTypeCategory=\"TR\"/>")};
          } else {
            args = {kx::Variant("<JBTypeProfile Code=\"" + prefix + std::to_string(t) + "-" + std::to_string(n) +
                                "\" JBTypeName=\"Truck job\" JBTypeCategory=\"TR\"/>")};
          }
          kx::TransactionScope scope;
          registry.Invoke(*profiles, what == "get" ? "getElementByXML" : what, args);
          scope.Complete();
          ++n;
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        failed = true;
      }
      calls += n;
    });
  for (auto& w : workers) w.join();
  if (failed) return 1;
  std::printf("%.1f\n", static_cast<double>(calls) / seconds);
  return 0;
}
