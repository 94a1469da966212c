#pragma once

#include <ostream>

namespace kx {

// Sets up the database of the component folder and walks records through their life.
int RunDemo(std::ostream& out);

}  // namespace kx
