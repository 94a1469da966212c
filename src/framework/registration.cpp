// Late-bound access to the list object that collections hand out.
#include "framework/registration.h"

namespace kx {
namespace {

void Register() {
  Expose<EntityList>("Collection")
      .Method("Count", &EntityList::Count)
      .Method("Item", &EntityList::Item, {"Index"})
      .Method("Add", &EntityList::Add, {"Item"})
      .Register();
}

const AtLoad registered(Register);

}  // namespace
}  // namespace kx
