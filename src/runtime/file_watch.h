// Whether a file may have changed since it was last looked at, told without looking at it.
//
// Config.ini and the schema files are read on every call, and each must be read again as soon as it
// is edited. Looking at a file (stat) walks its whole path; instead the file itself is watched
// (inotify): writing it, changing its attributes or its links (a replacement by rename takes the
// old file's link away), moving or removing it is noticed, and each question reads what was
// noticed without waiting. A path can also come to name another file while neither file changes
// (a folder on the path renamed, a link re-pointed): a file is therefore taken as possibly changed
// once its last look is a second old, and the caller looks at the path again. Where nothing can be
// watched (no inotify, its limits reached, a file that is missing), every answer is "possibly
// changed" and callers look at the file each time, as without a watch.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

namespace kx {

// What a caller remembers of a file it looked at.
struct FileMark {
  int watch = -1;           // the watch of the file; -1 when it is not watched
  uint64_t instance = 0;    // the watching instance the watch belongs to (a child process has its own)
  uint64_t generation = 0;  // how many notices the watch had when the mark was taken
  std::chrono::steady_clock::time_point looked{};
};

// Watches the file `path` names and marks it. Take the mark before looking at the file (stat, read):
// a change after the mark is then noticed, one before it is seen by the look. A file is watched
// from its second mark on: a process that looks at a file once never sets up a watch.
FileMark MarkFile(const std::string& path);

// Whether the file marked by `mark` has not changed since, and was looked at less than a second ago.
bool UnchangedSince(const FileMark& mark);

// A host's call on this thread (its transaction scope), from its start to its end. A call must see
// the edits finished before it started; once the kernel has said during the call that no notice
// waits, that holds for the rest of the call, and the call's further questions are answered by the
// counts alone. BeginCall gives what EndCall restores (calls nest).
uint64_t BeginCall();
void EndCall(uint64_t previous);
// The number of the call running on this thread (numbers are not used twice by one thread), or 0
// outside any call.
uint64_t RunningCall();

// What a file gave when it was looked at: the value made of it, and the mark taken before the look.
// A value that must not be trusted without looking again (a file too new, a failure) is not kept.
template <class T>
struct Looked {
  std::shared_ptr<const T> value;
  FileMark mark;
  bool keep = false;
};

// The value of the file at `path`, as this thread last got it while the file is noticed unchanged;
// otherwise what `look()` gives (a Looked<T>), kept for the next question. Threads that find a
// file unchanged share nothing but the watcher's counts: no lock is taken. Each place that calls
// this has its own memory per thread.
template <class T, class Look>
std::shared_ptr<const T> ThroughThreadMemory(const std::string& path, Look&& look) {
  struct Memory {
    std::shared_ptr<const T> value;
    FileMark mark;
  };
  // Bounds a thread's memory in hosts that meet ever new paths.
  constexpr size_t kMaxPaths = 64;
  thread_local std::unordered_map<std::string, Memory> memory;
  if (const auto it = memory.find(path); it != memory.end() && UnchangedSince(it->second.mark)) return it->second.value;
  Looked<T> got = look();
  if (!got.keep) {
    memory.erase(path);
  } else {
    if (memory.size() >= kMaxPaths && !memory.count(path)) memory.clear();
    memory.insert_or_assign(path, Memory{got.value, got.mark});
  }
  return std::move(got.value);
}

}  // namespace kx
