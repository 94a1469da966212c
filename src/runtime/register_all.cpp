#include <mutex>

#include "runtime/registry.h"

namespace kx {

// Each subsystem registers its public classes.
void RegisterSharedClasses();
void RegisterFrameworkClasses();

void RegisterAllClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterSharedClasses();
    RegisterFrameworkClasses();
  });
}

}  // namespace kx
