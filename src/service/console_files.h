// The operator console's files, served by `kx serve` at "/": read once when the service starts,
// kept in memory with their media type and entity tag, and answered only by their exact relative
// path, so that no request can name a file outside the folder.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace kx::service {

struct ConsoleFile {
  std::string body;
  std::string contentType;
  std::string etag;  // a quoted strong tag from the content's SHA-256
};

class ConsoleFiles {
 public:
  // Files larger than this, or more of them in all, stop the service at start.
  static constexpr size_t kMaxFileBytes = 4u << 20;
  static constexpr size_t kMaxTotalBytes = 32u << 20;
  static constexpr size_t kMaxFiles = 1000;

  // Reads every regular file under `folder` (hidden names and symbolic links are left out); a
  // folder that cannot be read, or a file over the limits, fails with std::runtime_error.
  static ConsoleFiles Load(const std::string& folder);

  // The file for a request path ("/" is "/index.html"), or nullptr.
  const ConsoleFile* Find(const std::string& path) const;
  size_t Count() const { return files_.size(); }
  const std::string& Folder() const { return folder_; }

 private:
  std::string folder_;
  std::map<std::string, ConsoleFile, std::less<>> files_;  // keyed by "/relative/path"
};

// The console folder when none is configured: the installed one (share/kx/console beside the
// component's own folder) or, in a build tree, the source folder; empty when neither exists.
std::string DefaultConsoleFolder();

// The headers every console answer carries.
inline constexpr const char* kConsolePolicy =
    "default-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

}  // namespace kx::service
