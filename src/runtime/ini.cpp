#include "runtime/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <ctime>
#include <mutex>
#include <unordered_map>

#include "runtime/file_watch.h"

namespace kx {
namespace {

constexpr size_t kMaxValue = 254;
// A file modified less than this many seconds before it was read may be changed again without its
// modification time changing (file system clocks tick coarsely), so it is not trusted yet.
constexpr time_t kSettleSeconds = 2;

std::string Strip(const std::string& s) {
  const char* ws = " \t\r\n";
  const auto b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// A section or key name as the file's are kept: without blanks around it, in lower case. Built in
// one string (most names fit in the string itself).
std::string KeptName(const std::string& name) {
  const char* ws = " \t\r\n";
  const auto b = name.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  const auto e = name.find_last_not_of(ws) + 1;
  std::string out(e - b, '\0');
  for (size_t i = b; i < e; ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    out[i - b] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c < 0x80 ? c : std::tolower(c));
  }
  return out;
}

std::string Cut(std::string s) {
  if (s.size() > kMaxValue) s.resize(kMaxValue);
  return s;
}

// What identifies one state of a file.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  static FileStamp Of(const struct stat& st) { return {st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }
  bool operator==(const FileStamp& o) const {
    return device == o.device && inode == o.inode && size == o.size && modified.tv_sec == o.modified.tv_sec &&
           modified.tv_nsec == o.modified.tv_nsec;
  }
};

struct CacheEntry {
  FileStamp stamp;
  bool settled = false;  // the file was old enough when read to trust its stamp
  std::string content;   // the text the file was parsed from
  std::shared_ptr<const IniFile> file;
  FileMark mark;  // taken before the file was last looked at
  // While the file is too new to trust, it stays open: each use reads it again through this
  // descriptor instead of opening it anew. Closed (-1) once the file is settled or gone.
  int fd = -1;

  // Closes the kept descriptor, if any.
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

std::mutex cacheMutex;
std::unordered_map<std::string, CacheEntry>& Cache() {
  static auto* cache = new std::unordered_map<std::string, CacheEntry>;  // outlives every caller
  return *cache;
}

// Reads the whole regular file open as `fd` from its start into `content`; false on a read error.
bool ReadWhole(int fd, std::string& content) {
  content.clear();
  char buffer[8192];
  for (off_t offset = 0;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, offset);
    if (n < 0) return false;
    content.append(buffer, static_cast<size_t>(n));
    offset += n;
    // A regular file gives fewer bytes than asked only at its end.
    if (static_cast<size_t>(n) < sizeof buffer) return true;
  }
}

// Whether two stamps are of the same file (device and inode), whatever its content.
bool SameFile(const FileStamp& a, const FileStamp& b) { return a.device == b.device && a.inode == b.inode; }

}  // namespace

std::shared_ptr<const IniFile> IniFile::Load(const std::string& path) {
  return ThroughThreadMemory<IniFile>(path, [&] { return LookAt(path); });
}

Looked<IniFile> IniFile::LookAt(const std::string& path) {
  static const auto missing = std::make_shared<const IniFile>();
  {
    // A trusted file noticed unchanged since it was last looked at is not looked at again.
    std::lock_guard lock(cacheMutex);
    const auto it = Cache().find(path);
    if (it != Cache().end() && it->second.settled && UnchangedSince(it->second.mark))
      return {it->second.file, it->second.mark, true};
  }
  const FileMark mark = MarkFile(path);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::lock_guard lock(cacheMutex);
    if (const auto it = Cache().find(path); it != Cache().end()) it->second.Close();
    return {missing};
  }

  timespec started{};
  std::string content;
  int fd = -1;  // a descriptor opened here, to be kept or closed below
  bool reread = false;
  {
    std::lock_guard lock(cacheMutex);
    const auto it = Cache().find(path);
    if (it != Cache().end() && it->second.settled && it->second.stamp == FileStamp::Of(st)) {
      it->second.mark = mark;
      return {it->second.file, mark, true};
    }
    // The same file as the one kept open: read again through its descriptor. What is read is at
    // least as new as the stamp taken before it, so a later change still shows in the stamp.
    if (it != Cache().end() && it->second.fd >= 0) {
      if (SameFile(it->second.stamp, FileStamp::Of(st))) {
        clock_gettime(CLOCK_REALTIME, &started);
        reread = ReadWhole(it->second.fd, content);
      }
      if (!reread) it->second.Close();
    }
  }

  if (!reread) {
    clock_gettime(CLOCK_REALTIME, &started);
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {missing};
    // The stamp of what is read comes from the open file itself.
    if (fstat(fd, &st) != 0 || !ReadWhole(fd, content)) {
      close(fd);
      return {missing};
    }
  }

  const FileStamp stamp = FileStamp::Of(st);
  const bool settled = st.st_mtim.tv_sec + kSettleSeconds < started.tv_sec;
  // Keeps the descriptor opened here with the entry while the file is not settled.
  auto keep = [&](CacheEntry& entry) {
    if (fd >= 0) {
      entry.Close();
      entry.fd = fd;
    }
    if (settled) entry.Close();
  };
  {
    // A file read again (its stamp changed, or it is too new to trust) that holds the same text
    // as before is the same file: it is not parsed again.
    std::lock_guard lock(cacheMutex);
    const auto it = Cache().find(path);
    if (it != Cache().end() && it->second.content == content) {
      it->second.stamp = stamp;
      it->second.settled = settled;
      it->second.mark = mark;
      keep(it->second);
      return {it->second.file, mark, settled};
    }
  }

  auto file = std::make_shared<IniFile>();
  file->exists_ = true;
  std::map<std::string, std::string>* section = nullptr;
  bool first = true;
  for (size_t start = 0; start < content.size();) {
    // One line, without its line feed; the last one may have none.
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    start = end + 1;
    // A UTF-8 byte-order mark before the first line is not part of it.
    if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    first = false;
    const std::string t = Strip(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      const auto close = t.find(']');
      section = close == std::string::npos ? nullptr : &file->sections_[KeptName(t.substr(1, close - 1))];
      continue;
    }
    const auto eq = t.find('=');
    if (!section || eq == std::string::npos) continue;
    std::string value = Strip(t.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    section->emplace(KeptName(t.substr(0, eq)), Cut(std::move(value)));
  }

  std::lock_guard lock(cacheMutex);
  CacheEntry& entry = Cache()[path];
  entry.stamp = stamp;
  entry.settled = settled;
  entry.mark = mark;
  entry.content = std::move(content);
  entry.file = file;
  keep(entry);
  return {file, mark, settled};
}

bool IniFile::Has(const std::string& section, const std::string& key) const {
  const auto s = sections_.find(KeptName(section));
  return s != sections_.end() && s->second.count(KeptName(key)) > 0;
}

std::string IniFile::Value(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const {
  const auto s = sections_.find(KeptName(section));
  if (s == sections_.end()) return Cut(defaultValue);
  const auto k = s->second.find(KeptName(key));
  return k == s->second.end() ? Cut(defaultValue) : k->second;
}

std::string ReadIniValue(const std::string& path, const std::string& section, const std::string& key,
                         const std::string& defaultValue) {
  return IniFile::Load(path)->Value(section, key, defaultValue);
}

}  // namespace kx
