// Late-bound access to the list object that collections hand out.
#include "framework/registration.h"

namespace kx {
namespace {

constexpr const char* kName = "Collection";

void Register() {
  Registry::Instance().Declare(kName, [] {
    return Expose<EntityList>(kName)
        .Method("Count", &EntityList::Count)
        .Method("Item", &EntityList::Item, {"Index"})
        .Method("Add", &EntityList::Add, {"Item"})
        .Build();
  });
}

const AtLoad registered(Register);

}  // namespace
}  // namespace kx
