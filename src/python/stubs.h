// The type stubs of the module (kx.pyi), written from the registry: every class with its members
// and their parameter names, for editors and type checkers.
#pragma once

#include <string>

namespace kx::python {

// The text of kx.pyi for the classes registered now.
std::string Stubs();

}  // namespace kx::python
