// A deployment's S_DBHelpForKX for the tests of the `kx` command, preloaded into it (LD_PRELOAD):
// the component's own class registered again under its name, each member saying on stderr that it
// was called late-bound ("deployed S_DBHelpForKX.GetConnectionString"). A tool that creates the
// helper by name and calls it late-bound is seen to reach this class; one that made the helper
// itself would not.
#include <cstdio>
#include <string>

#include "runtime/expose.h"
#include "kx/registry.h"

namespace {

void RegisterLoggedHelper() {
  kx::ClassInfo info = kx::Registry::Instance().Class("S_DBHelpForKX");
  for (auto& member : info.members) {
    member.invoke = [name = member.name, inner = member.invoke](kx::Object& object, kx::Args& args) {
      std::fprintf(stderr, "deployed S_DBHelpForKX.%s\n", name.c_str());
      return inner(object, args);
    };
  }
  kx::Registry::Instance().Add(std::move(info), kx::Origin::Deployment);
}

// The library's own classes are registered when it is loaded, before this module is.
const kx::AtLoad registered(RegisterLoggedHelper);

}  // namespace
