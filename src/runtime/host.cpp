#include "kx/host.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "runtime/file_watch.h"

namespace kx {
namespace {

std::mutex clockMutex;
Clock currentClock;

}  // namespace

std::string ComponentFolder() {
  if (const char* home = std::getenv("KX_HOME"); home && *home) {
    std::string folder(home);
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
  }
  return OwnFolder();
}

std::string OwnFolder() {
  // The library does not move while it is loaded, so the folder is worked out once.
  static const std::string folder = [] {
    const std::string library = LibraryFolder();
    const std::string installed = (library == "/" ? "" : library) + "/kx";
    struct stat st {};
    return stat(installed.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? installed : library;
  }();
  return folder;
}

void* ModuleEntry(const char* module, const char* entry, std::string& why) {
  const std::string path = OwnFolder() + "/" + module;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  void* found = handle ? dlsym(handle, entry) : nullptr;
  if (!found) {
    const char* reason = dlerror();
    why = reason ? reason : "no reason given";
  }
  return found;
}

std::string LibraryFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) && info.dli_fname) {
    std::string file(info.dli_fname);
    const auto slash = file.rfind('/');
    if (slash != std::string::npos) return slash == 0 ? "/" : file.substr(0, slash);
  }
  return ".";
}

std::string ConfigPath() { return CurrentConfigPath(); }

namespace {

// The value of KX_HOME, or nullptr. The entry last found is looked at again first: setenv and
// putenv replace an entry's string, unsetenv moves the entries after it, and each of these puts
// another pointer where it stood, so an entry found where it was, still named KX_HOME, still holds
// the value (its text is read where it stands, so a text changed in place is seen).
const char* KxHome(const char*& entry, size_t& index) {
  constexpr std::string_view kName = "KX_HOME=";
  char** const env = environ;
  if (entry && env) {
    size_t i = 0;
    while (i < index && env[i]) ++i;
    if (i == index && env[i] == entry && std::strncmp(entry, kName.data(), kName.size()) == 0)
      return entry + kName.size();
  }
  entry = nullptr;
  for (size_t i = 0; env && env[i]; ++i) {
    if (std::strncmp(env[i], kName.data(), kName.size()) == 0) {
      entry = env[i];
      index = i;
      return entry + kName.size();
    }
  }
  return nullptr;
}

}  // namespace

const std::string& CurrentConfigPath() {
  struct Kept {
    uint64_t call = 0;  // the call it was last worked out in
    const char* entry = nullptr;  // KX_HOME's entry in the environment, and where it stood
    size_t index = 0;
    std::string home, path;  // path is empty until worked out
  };
  thread_local Kept keptHere;
  Kept& kept = keptHere;
  // A call works it out once: every part of one call reads the same Config.ini.
  const uint64_t call = RunningCall();
  if (call != 0 && call == kept.call && !kept.path.empty()) return kept.path;
  const char* env = KxHome(kept.entry, kept.index);
  const std::string_view now = env ? env : "";
  if (kept.path.empty() || now != kept.home) {
    kept.home.assign(now);
    kept.path = ComponentFolder() + "/Config.ini";
  }
  kept.call = call;
  return kept.path;
}

std::chrono::system_clock::time_point Now() {
  std::lock_guard lock(clockMutex);
  return currentClock ? currentClock() : std::chrono::system_clock::now();
}

void SetClock(Clock clock) {
  std::lock_guard lock(clockMutex);
  currentClock = std::move(clock);
}

LocalTime ToLocal(std::chrono::system_clock::time_point t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace kx
