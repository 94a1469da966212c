// What the component learns from the machine it runs on: its folder and the clock.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace kx {

// The folder of the loaded library file (libkx.so).
std::string LibraryFolder();
// The folder of the component's own files (the PostgreSQL module, the default Config.ini): the
// folder `kx` beside an installed library, else (the build tree) the library's folder.
std::string OwnFolder();
// The component folder: $KX_HOME when set, else the component's own folder.
std::string ComponentFolder();
// The entry point `entry` of the module file `module` in the component's own folder (OwnFolder),
// loaded on first use and kept loaded; nullptr when it cannot be loaded, with the loader's reason in
// `why`.
void* ModuleEntry(const char* module, const char* entry, std::string& why);

// The path of Config.ini in the component folder.
std::string ConfigPath();
// The same, kept by the calling thread while $KX_HOME names the same folder: valid until the
// thread's next call of it.
const std::string& CurrentConfigPath();

using Clock = std::function<std::chrono::system_clock::time_point()>;
// The local date and time now, from the clock in force.
std::chrono::system_clock::time_point Now();
// Replaces the clock (tests fix "today"); an empty function restores the system clock.
void SetClock(Clock clock);

struct LocalTime {
  int year, month, day, hour, minute, second;
};
// The local calendar time of `t`.
LocalTime ToLocal(std::chrono::system_clock::time_point t);

}  // namespace kx
