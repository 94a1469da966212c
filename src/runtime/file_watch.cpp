#include "runtime/file_watch.h"

#include <pthread.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <unordered_set>

namespace kx {
namespace {

// How long a look at a path stays good while its file is not noticed changing.
constexpr std::chrono::seconds kLookLasts{1};

// How many paths are remembered as looked at (more only in hosts that meet ever new files).
constexpr size_t kMaxLookedOnce = 1024;

constexpr uint32_t kNotices = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF;

// Notices are counted in slots chosen by watch number. Two watches that share a slot count each
// other's notices too: that only makes a file look changed when it is not, which costs one look.
constexpr size_t kSlots = 1024;

// The process's watching instance: one inotify descriptor and the notices counted per watch.
//
// The question asked on every call (UnchangedSince) takes no lock: it asks the kernel how many
// bytes of notices wait (FIONREAD, which changes nothing) and reads the counts. Only when notices
// wait, or another thread is reading some, does it take the lock and read them itself. The
// counter of readers at work closes the gap between a reader taking notices off the descriptor and
// counting them: a question that finds the descriptor empty while a reader is at work waits for it.
struct Watcher {
  std::mutex mutex;  // held by whoever reads notices, sets up the descriptor or adds a watch
  std::atomic<int> fd{-1};
  bool unusable = false;  // inotify could not be set up: nothing is watched
  std::atomic<uint64_t> instance{1};
  std::atomic<uint64_t> overflows{0};  // notices lost by the kernel: every watch counts as changed
  std::atomic<int> reading{0};         // threads between reading notices and counting them
  std::array<std::atomic<uint64_t>, kSlots> generations{};
  std::unordered_set<std::string> lookedOnce;  // the paths marked so far

  static size_t Slot(int watch) { return static_cast<size_t>(watch) % kSlots; }
  uint64_t Count(int watch) const { return generations[Slot(watch)].load() + overflows.load(); }

  // Sets up the descriptor on first use; false when nothing can be watched.
  // Under the lock.
  bool Ready() {
    if (fd >= 0) return true;
    if (unusable) return false;
    fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    unusable = fd < 0;
    return !unusable;
  }

  // Reads and counts every notice waiting, without waiting for more. Under the lock.
  void Drain() {
    ++reading;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        break;  // EAGAIN: nothing more
      }
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->mask & IN_Q_OVERFLOW) ++overflows;
        if (event->wd >= 0) ++generations[Slot(event->wd)];
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    --reading;
  }

  // Whether no notice waits to be counted: none on the descriptor, and no reader at work.
  bool Quiet() const {
    int waiting = 0;
    return ioctl(fd, FIONREAD, &waiting) == 0 && waiting == 0 && reading.load() == 0;
  }

  // A child process shares its parent's descriptor, and so its notices: it starts a watch of its own.
  // The child has one thread, this one.
  void Forget() {
    if (fd >= 0) close(fd);  // the child's copy only: the parent's stays open
    fd = -1;
    unusable = false;
    ++instance;
    reading = 0;
    for (auto& g : generations) g = 0;
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

// The calls of this thread: the number of the last one begun, the first number of the running
// one (0 outside any call), and the number current when the kernel last said no notice waited.
thread_local uint64_t callsBegun = 0;
thread_local uint64_t callStart = 0;
thread_local uint64_t quietAt = 0;

}  // namespace

uint64_t BeginCall() {
  const uint64_t previous = callStart;
  callStart = ++callsBegun;
  return previous;
}

void EndCall(uint64_t previous) { callStart = previous; }

uint64_t RunningCall() { return callStart; }

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
  mark.generation = w.Count(watch);
  return mark;
}

bool UnchangedSince(const FileMark& mark) {
  if (mark.watch < 0 || std::chrono::steady_clock::now() - mark.looked >= kLookLasts) return false;
  Watcher& w = TheWatcher();
  if (mark.instance != w.instance || w.fd < 0) return false;
  // Within a call, a quiet descriptor seen since the call began still answers.
  if (callStart == 0 || quietAt < callStart) {
    if (w.Quiet()) {
      quietAt = callsBegun;
    } else {
      std::lock_guard lock(w.mutex);
      if (mark.instance != w.instance || w.fd < 0) return false;
      w.Drain();
    }
  }
  return w.Count(mark.watch) == mark.generation;
}

}  // namespace kx
