// The call's view of its transaction scope inside the library: the settings it reads.
#pragma once

#include <memory>
#include <string>

#include "kx/transaction.h"
#include "runtime/db/connection.h"
#include "runtime/ini.h"

namespace kx {

// The INI file at `path` as the running call sees it: its transaction scope's snapshot, or outside
// any scope the file as it is now.
std::shared_ptr<const IniFile> CallConfig(const std::string& path);

}  // namespace kx
