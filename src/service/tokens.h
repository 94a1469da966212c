// The clients of the HTTP service: bearer tokens from a token file, each with the members it may
// call. One line per client, fields separated by blanks: its name, the SHA-256 of its token in hex,
// and a comma-separated list of Class.Member patterns ('*' matches any text); '#' starts a comment.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx::service {

struct Client {
  std::string name;
  unsigned char digest[32] = {};      // SHA-256 of the token
  std::vector<std::string> patterns;  // "C_JBOrder.*", "C_JBTypeProfile.getElementByXML"
};

// The clients of a token file as parsed; a line that cannot be used fails with its line number.
std::vector<Client> ParseTokens(std::string_view text);

// Whether `pattern` ('*' matching any text, letters without regard to case) matches `text`.
bool Matches(std::string_view pattern, std::string_view text);

// Classes that reach past the controllers: S_DBHelpForKX (any SQL), entities (E_) and storages
// (S_). A client calls them only when a pattern names the class itself, without '*'.
bool IsPrivileged(std::string_view className);

// Whether a client with `patterns` may call className.member.
bool Allows(const std::vector<std::string>& patterns, std::string_view className, std::string_view member);

// The SHA-256 of `text`.
void Sha256(std::string_view text, unsigned char out[32]);

enum class AuthResult { Allowed, NoToken, UnknownToken, Forbidden, Unusable };

struct AuthOutcome {
  AuthResult result;
  std::string client;  // the client's name once its token is known
  std::string reason;  // for Unusable: what is wrong with the token file
  // What the client may call, once its token is known: shared with the token file's state as read,
  // so that checking a call copies nothing.
  std::shared_ptr<const std::vector<std::string>> patterns;
};

// A token file, read again whenever it changes (modification time, size, inode). A file that cannot
// be read or parsed after a change, or that is no regular file, is writable by every user or belongs
// to another user than root or the service's own, refuses every call until it is mended: no call is
// let through on stale rights.
class TokenFile {
 public:
  // Reads the file; a file that cannot be used fails here (std::runtime_error naming it).
  explicit TokenFile(std::string path);

  // Checks the "Authorization: Bearer TOKEN" header value of a call of className.member.
  AuthOutcome Authorize(std::string_view authorization, std::string_view className, std::string_view member);
  // The name of the client whose token `authorization` carries, or empty.
  std::string Known(std::string_view authorization);
  // Whether the file is usable (read again when it changed); `reason` tells why not.
  bool Usable(std::string* reason = nullptr);
  const std::string& path() const { return path_; }

 private:
  struct State {
    struct stat st = {};
    std::vector<Client> clients;
    std::string problem;  // non-empty: the file cannot be used
  };
  std::shared_ptr<const State> Current();
  std::shared_ptr<const State> Read() const;

  std::string path_;
  std::mutex mutex_;
  std::shared_ptr<const State> state_;
};

}  // namespace kx::service
