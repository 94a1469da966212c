// Registration helpers that every subsystem's classes use.
#pragma once

#include <functional>
#include <string>

#include "framework/storage.h"

namespace kx {

// Registers the public members of a storage class (strSQL, containsPK, DB) under `name`.
void RegisterStorage(const std::string& name, std::function<ObjectPtr()> create);

}  // namespace kx
