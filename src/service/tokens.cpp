#include "service/tokens.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <sstream>
#include <stdexcept>

namespace kx::service {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool SameClass(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

}  // namespace

void Sha256(std::string_view text, unsigned char out[32]) {
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), out, &length, EVP_sha256(), nullptr) != 1 || length != 32)
    throw std::runtime_error("SHA-256 is not available");
}

bool Matches(std::string_view pattern, std::string_view text) {
  // Greedy matching with one backtrack point: the last '*' seen.
  size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && std::tolower(static_cast<unsigned char>(pattern[p])) ==
                                         std::tolower(static_cast<unsigned char>(text[t]))) {
      ++p, ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool IsPrivileged(std::string_view className) {
  auto startsWith = [&](std::string_view prefix) {
    return className.size() >= prefix.size() && SameClass(className.substr(0, prefix.size()), prefix);
  };
  return startsWith("E_") || startsWith("S_");
}

bool Allows(const std::vector<std::string>& patterns, std::string_view className, std::string_view member) {
  const std::string call = std::string(className) + "." + std::string(member);
  const bool privileged = IsPrivileged(className);
  for (const auto& pattern : patterns) {
    if (!privileged) {
      if (Matches(pattern, call)) return true;
      continue;
    }
    const auto dot = pattern.find('.');
    if (dot == std::string::npos) continue;
    const std::string_view classPart = std::string_view(pattern).substr(0, dot);
    if (classPart.find('*') == std::string_view::npos && SameClass(classPart, className) &&
        Matches(std::string_view(pattern).substr(dot + 1), member))
      return true;
  }
  return false;
}

std::vector<Client> ParseTokens(std::string_view text) {
  std::vector<Client> clients;
  size_t lineNo = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNo;
    if (const auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    std::istringstream fields{std::string(Trim(line))};
    std::string name, digest, word, patterns;
    if (!(fields >> name)) continue;
    auto fail = [&](const std::string& why) {
      throw std::runtime_error("line " + std::to_string(lineNo) + ": " + why);
    };
    if (!(fields >> digest)) fail("the SHA-256 of the token and the patterns are missing");
    while (fields >> word) patterns += (patterns.empty() || patterns.back() == ',' ? "" : ",") + word;
    Client client;
    client.name = name;
    if (digest.size() != 64) fail("the SHA-256 of the token must be 64 hexadecimal digits");
    for (size_t i = 0; i < 32; ++i) {
      const int hi = HexDigit(digest[2 * i]), lo = HexDigit(digest[2 * i + 1]);
      if (hi < 0 || lo < 0) fail("the SHA-256 of the token must be 64 hexadecimal digits");
      client.digest[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    std::string_view rest = patterns;
    while (!rest.empty()) {
      const auto comma = rest.find(',');
      const std::string_view pattern = Trim(rest.substr(0, comma));
      rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
      if (!pattern.empty()) client.patterns.emplace_back(pattern);
    }
    if (client.patterns.empty()) fail("client " + name + " names no Class.Member pattern");
    for (const auto& other : clients)
      if (other.name == name) fail("client " + name + " is named twice");
    clients.push_back(std::move(client));
  }
  return clients;
}

TokenFile::TokenFile(std::string path) : path_(std::move(path)) {
  state_ = Read();
  if (!state_->problem.empty()) throw std::runtime_error(state_->problem);
}

std::shared_ptr<const TokenFile::State> TokenFile::Read() const {
  auto state = std::make_shared<State>();
  const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 || fstat(fd, &state->st) != 0) {
    if (fd >= 0) close(fd);
    state->problem = "the token file " + path_ + " cannot be read";
    return state;
  }
  // The file grants rights: it must be a plain file that only its owner (root or the service's
  // own user) can change.
  const auto& st = state->st;
  if (!S_ISREG(st.st_mode))
    state->problem = "the token file " + path_ + " is not a regular file";
  else if (st.st_mode & S_IWOTH)
    state->problem = "the token file " + path_ + " is writable by every user (chmod o-w)";
  else if (st.st_uid != 0 && st.st_uid != geteuid())
    state->problem = "the token file " + path_ + " belongs to user " + std::to_string(st.st_uid) +
                     ", neither root nor the service's user";
  std::string text;
  char chunk[4096];
  for (ssize_t n; state->problem.empty() && (n = read(fd, chunk, sizeof chunk)) != 0;) {
    if (n < 0) state->problem = "the token file " + path_ + " cannot be read";
    else text.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  if (!state->problem.empty()) return state;
  try {
    state->clients = ParseTokens(text);
  } catch (const std::exception& e) {
    state->problem = "the token file " + path_ + " cannot be used: " + e.what();
  }
  return state;
}

std::shared_ptr<const TokenFile::State> TokenFile::Current() {
  struct stat st = {};
  const bool found = stat(path_.c_str(), &st) == 0;
  std::lock_guard lock(mutex_);
  const auto& old = state_->st;
  // A change of mode or owner counts as much as a change of content.
  if (!found || st.st_mtim.tv_sec != old.st_mtim.tv_sec || st.st_mtim.tv_nsec != old.st_mtim.tv_nsec ||
      st.st_ctim.tv_sec != old.st_ctim.tv_sec || st.st_ctim.tv_nsec != old.st_ctim.tv_nsec ||
      st.st_size != old.st_size || st.st_ino != old.st_ino || st.st_mode != old.st_mode || st.st_uid != old.st_uid)
    state_ = Read();
  return state_;
}

bool TokenFile::Usable(std::string* reason) {
  const auto state = Current();
  if (reason) *reason = state->problem;
  return state->problem.empty();
}

std::string TokenFile::Known(std::string_view authorization) {
  const AuthOutcome outcome = Authorize(authorization, "", "");
  return outcome.client;
}

AuthOutcome TokenFile::Authorize(std::string_view authorization, std::string_view className,
                                 std::string_view member) {
  const auto state = Current();
  if (!state->problem.empty()) return {AuthResult::Unusable, {}, state->problem, {}};
  constexpr std::string_view kBearer = "Bearer ";
  if (authorization.size() <= kBearer.size() ||
      strncasecmp(authorization.data(), "Bearer ", kBearer.size()) != 0)
    return {AuthResult::NoToken, {}, {}, {}};
  unsigned char digest[32];
  Sha256(Trim(authorization.substr(kBearer.size())), digest);
  // Every client is compared, in constant time, whichever matches.
  const Client* found = nullptr;
  for (const auto& client : state->clients)
    if (CRYPTO_memcmp(digest, client.digest, sizeof digest) == 0) found = &client;
  if (!found) return {AuthResult::UnknownToken, {}, {}, {}};
  std::shared_ptr<const std::vector<std::string>> patterns(state, &found->patterns);
  if (!Allows(found->patterns, className, member))
    return {AuthResult::Forbidden, found->name, {}, std::move(patterns)};
  return {AuthResult::Allowed, found->name, {}, std::move(patterns)};
}

}  // namespace kx::service
