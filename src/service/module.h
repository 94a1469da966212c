// The HTTP service and its shell client live in a module of their own beside the library
// (kServiceModule), so that a process that only calls in-process does not load an HTTP stack and
// TLS. The `kx` command loads it for `serve` and `call --url`.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "service/call.h"

namespace kx::service {

inline constexpr const char* kServiceModule = "libkx_service.so";

// What `kx serve` was told on its command line; empty or 0: the Config.ini value or the default.
struct ServeSettings {
  std::string listen, tokens, certificate, privateKey, console;
  int workers = 0, drainTimeout = 0;
  size_t bodyLimit = 0;
};

// Serves until SIGTERM or SIGINT; the exit status (0 after a clean shutdown, 2 when the service
// cannot start). Entry point "kx_serve".
using ServeEntry = int(const ServeSettings&);
inline constexpr const char* kServeEntry = "kx_serve";

// RemoteCall (service/client.h) into `outcome`. Entry point "kx_remote_call".
using RemoteCallEntry = void(const std::string& url, const std::string& token, const std::string& className,
                             const std::string& member, const std::vector<std::string>& args,
                             CallOutcome& outcome);
inline constexpr const char* kRemoteCallEntry = "kx_remote_call";

}  // namespace kx::service
