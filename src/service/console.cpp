#include "service/console.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "kx/host.h"
#include "kx/registry.h"
#include "service/json.h"
#include "service/tokens.h"

namespace kx::service {

namespace {

const char* MediaTypeOf(const std::string& name) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {".html", "text/html; charset=utf-8"},     {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"}, {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},              {".svg", "image/svg+xml"},
      {".png", "image/png"},                      {".ico", "image/x-icon"},
      {".txt", "text/plain; charset=utf-8"},      {".woff2", "font/woff2"},
  };
  for (const auto& [suffix, type] : kTypes) {
    const std::string s(suffix);
    if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) return type;
  }
  return "application/octet-stream";
}

std::string ReadWhole(int fd, const std::string& path, size_t size) {
  std::string body(size, '\0');
  size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, body.data() + got, size - got);
    if (n <= 0) throw std::runtime_error("the console file " + path + " cannot be read");
    got += static_cast<size_t>(n);
  }
  return body;
}

struct Walk {
  std::map<std::string, ConsoleFile, std::less<>>& files;
  size_t total = 0;

  void Folder(const std::string& dir, const std::string& relative, int depth) {
    if (depth > 8) return;
    DIR* d = opendir(dir.c_str());
    if (!d) throw std::runtime_error("the console folder " + dir + " cannot be read");
    std::vector<std::string> names;
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    closedir(d);
    for (const std::string& name : names) {
      const std::string path = dir + "/" + name;
      struct stat st {};
      // Links are not followed: what is served is what lies in the folder itself.
      if (lstat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        Folder(path, relative + "/" + name, depth + 1);
      } else if (S_ISREG(st.st_mode)) {
        File(path, relative + "/" + name, static_cast<size_t>(st.st_size));
      }
    }
  }

  void File(const std::string& path, const std::string& key, size_t size) {
    if (size > ConsoleFiles::kMaxFileBytes || (total += size) > ConsoleFiles::kMaxTotalBytes ||
        files.size() >= ConsoleFiles::kMaxFiles)
      throw std::runtime_error("the console folder holds too much to serve (at " + path + ")");
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("the console file " + path + " cannot be opened");
    ConsoleFile file;
    try {
      file.body = ReadWhole(fd, path, size);
    } catch (...) {
      close(fd);
      throw;
    }
    close(fd);
    unsigned char digest[32];
    Sha256(file.body, digest);
    char tag[40];
    for (int i = 0; i < 16; ++i) std::snprintf(tag + 2 * i, 3, "%02x", digest[i]);
    file.etag = "\"" + std::string(tag, 32) + "\"";
    file.contentType = MediaTypeOf(key);
    files.emplace(key, std::move(file));
  }
};

bool IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

ConsoleFiles ConsoleFiles::Load(const std::string& folder) {
  ConsoleFiles out;
  // The folder as the log names it: without "..", links resolved.
  char* real = realpath(folder.c_str(), nullptr);
  if (!real) throw std::runtime_error("the console folder " + folder + " cannot be read");
  out.folder_ = real;
  free(real);
  Walk{out.files_}.Folder(out.folder_, "", 0);
  if (!out.files_.count("/index.html"))
    throw std::runtime_error("the console folder " + out.folder_ + " has no index.html");
  return out;
}

const ConsoleFile* ConsoleFiles::Find(const std::string& path) const {
  const auto it = files_.find(path == "/" ? std::string_view("/index.html") : std::string_view(path));
  return it == files_.end() ? nullptr : &it->second;
}

std::optional<HttpResponse> ConsoleFiles::Answer(const HttpRequest& request) const {
  const ConsoleFile* file = Find(request.path);
  if (!file) return std::nullopt;
  HttpResponse r;
  r.contentType = file->contentType;
  r.headers.emplace_back("ETag", file->etag);
  r.headers.emplace_back("Cache-Control", "no-cache");
  const std::string* match = request.Header("If-None-Match");
  if (match && (*match == "*" || match->find(file->etag) != std::string::npos)) {
    r.status = 304;
    r.contentType.clear();
  } else {
    r.body = file->body;
    r.headOnly = request.method == "HEAD";
  }
  return r;
}

std::string WhoJson(const std::optional<std::string>& client, const std::vector<std::string>& patterns) {
  std::string allowed;
  for (const std::string& name : Registry::Instance().ClassNames()) {
    if (name.rfind("C_", 0) != 0) continue;
    const ClassInfo& info = Registry::Instance().Class(name);
    std::vector<std::string> seen;
    for (const MemberInfo& m : info.members) {
      if (std::find(seen.begin(), seen.end(), m.name) != seen.end()) continue;
      seen.push_back(m.name);
      if (!(client ? Allows(patterns, info.name, m.name) : !IsPrivileged(info.name))) continue;
      allowed += (allowed.empty() ? "" : ", ") + JsonString(info.name + "." + m.name);
    }
  }
  std::string may;
  for (const std::string& p : client ? patterns : std::vector<std::string>{"*.*"})
    may += (may.empty() ? "" : ", ") + JsonString(p);
  return "{\"client\": " + (client ? JsonString(*client) : std::string("null")) +
         ", \"signIn\": " + (client ? "true" : "false") + ", \"may\": [" + may + "], \"allowed\": [" + allowed + "]}";
}

std::string DefaultConsoleFolder() {
  // Installed: LIBDIR/kx is the component's own folder, and the console lies under DATADIR.
  const std::string own = OwnFolder();
  if (own.size() > 3 && own.compare(own.size() - 3, 3, "/kx") == 0) {
    const std::string installed = own + "/" KX_CONSOLE_FROM_OWN_FOLDER;
    if (IsFolder(installed)) return installed;
  }
  const std::string source = KX_CONSOLE_SOURCE_FOLDER;
  return IsFolder(source) ? source : std::string();
}

}  // namespace kx::service
