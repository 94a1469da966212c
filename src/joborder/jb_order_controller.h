// What the files of the job order controller share, private to them: the writing of a diary entry.
#pragma once

#include <string>

#include "joborder/jb_order.h"

// These stay out of the library's exported symbols.
#pragma GCC visibility push(hidden)

namespace kx {

// Writes one diary entry of the order `masterKey` through the order's diary collection.
void WriteDiary(E_JBOrder& order, const std::string& masterKey, const std::string& user,
                const std::string& type, const std::string& text);

}  // namespace kx

#pragma GCC visibility pop
