#include "runtime/file_watch.h"

#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace kx {
namespace {

// How long a look at a path stays good while its file is not noticed changing.
constexpr std::chrono::seconds kLookLasts{1};

// How many paths are remembered as looked at (more only in hosts that meet ever new files).
constexpr size_t kMaxLookedOnce = 1024;

constexpr uint32_t kNotices = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF;

// The process's watching instance: one inotify descriptor and the notices counted per watch.
struct Watcher {
  std::mutex mutex;
  int fd = -1;
  bool unusable = false;  // inotify could not be set up: nothing is watched
  uint64_t instance = 1;
  uint64_t overflows = 0;  // notices lost by the kernel: every watch counts as changed
  std::unordered_map<int, uint64_t> generations;
  std::unordered_set<std::string> lookedOnce;  // the paths marked so far

  // Sets up the descriptor on first use; false when nothing can be watched.
  bool Ready() {
    if (fd >= 0) return true;
    if (unusable) return false;
    fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    unusable = fd < 0;
    return !unusable;
  }

  // Reads every notice waiting, without waiting for more.
  void Drain() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        return;  // EAGAIN: nothing more
      }
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->mask & IN_Q_OVERFLOW) ++overflows;
        if (event->wd >= 0) ++generations[event->wd];
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  // A child process shares its parent's descriptor, and so its notices: it starts a watch of its own.
  void Forget() {
    if (fd >= 0) close(fd);  // the child's copy only: the parent's stays open
    fd = -1;
    unusable = false;
    ++instance;
    generations.clear();
  }
};

Watcher& TheWatcher() {
  static auto* watcher = [] {
    auto* w = new Watcher;  // outlives every caller
    // Forking holds the lock, so that the child's copy of the watcher is whole and unlocked.
    pthread_atfork([] { TheWatcher().mutex.lock(); }, [] { TheWatcher().mutex.unlock(); },
                   [] {
                     TheWatcher().mutex.unlock();
                     TheWatcher().Forget();
                   });
    return w;
  }();
  return *watcher;
}

}  // namespace

FileMark MarkFile(const std::string& path) {
  Watcher& w = TheWatcher();
  std::lock_guard lock(w.mutex);
  FileMark mark;
  mark.looked = std::chrono::steady_clock::now();
  // A file is watched from its second look on: a process that looks once (a `kx call`) sets up no
  // watch, whose teardown at exit waits for the kernel (a grace period of some milliseconds).
  if (w.lookedOnce.size() >= kMaxLookedOnce) w.lookedOnce.clear();
  if (w.lookedOnce.insert(path).second) return mark;
  if (!w.Ready()) return mark;
  w.Drain();
  const int watch = inotify_add_watch(w.fd, path.c_str(), kNotices);
  if (watch < 0) return mark;  // missing, unreadable, or the watch limit is reached
  mark.watch = watch;
  mark.instance = w.instance;
  // A watch whose notices were lost is counted as changed at every question until marked anew.
  mark.generation = w.generations[watch] + w.overflows;
  return mark;
}

bool UnchangedSince(const FileMark& mark) {
  if (mark.watch < 0 || std::chrono::steady_clock::now() - mark.looked >= kLookLasts) return false;
  Watcher& w = TheWatcher();
  std::lock_guard lock(w.mutex);
  if (mark.instance != w.instance || w.fd < 0) return false;
  w.Drain();
  const auto it = w.generations.find(mark.watch);
  return it != w.generations.end() && it->second + w.overflows == mark.generation;
}

}  // namespace kx
