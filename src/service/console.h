// What `kx serve` gives the operator console: its files at "/", read once when the service starts,
// kept in memory with their media type and entity tag, and answered only by their exact relative
// path, so that no request can name a file outside the folder; and the answer of GET /v1/_me.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "service/http_front.h"

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
  // The answer to a GET or HEAD of `request.path` (304 when If-None-Match names the file's tag),
  // or nothing when no file lies there.
  std::optional<HttpResponse> Answer(const HttpRequest& request) const;
  size_t Count() const { return files_.size(); }
  const std::string& Folder() const { return folder_; }

 private:
  std::string folder_;
  std::map<std::string, ConsoleFile, std::less<>> files_;  // keyed by "/relative/path"
};

// The console folder when none is configured: the installed one (share/kx/console beside the
// component's own folder) or, in a build tree, the source folder; empty when neither exists.
std::string DefaultConsoleFolder();

// The JSON of GET /v1/_me: the client (none without a token file: every controller member is then
// allowed), its patterns and the members of the controllers (C_) they allow, spelt as registered.
std::string WhoJson(const std::optional<std::string>& client, const std::vector<std::string>& patterns);

// The policy every answer of the service carries.
inline constexpr const char* kConsolePolicy =
    "default-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

}  // namespace kx::service
