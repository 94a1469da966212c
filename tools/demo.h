#pragma once

#include <ostream>

namespace kx {

// Sets up the database of the component folder and walks records through their life.
int RunDemo(std::ostream& out);

// Walks a job order through its life: add with container lines, search, issue, diary, cancel.
int RunJobOrderDemo(std::ostream& out);

}  // namespace kx
