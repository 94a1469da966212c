// The shell's client of the HTTP service: the same call `kx call` runs in-process, sent to a
// service instead, with the same outcome.
#pragma once

#include <string>
#include <vector>

#include "service/call.h"

namespace kx::service {

// Sends CLASS.MEMBER with positional `args` to the service at `url` ("http://HOST:PORT", https
// too), with `token` as bearer token when not empty. The outcome's json is the service's answer
// as it came; a failure the service or the network reports fills the error.
CallOutcome RemoteCall(const std::string& url, const std::string& token, const std::string& className,
                       const std::string& member, const std::vector<std::string>& args);

}  // namespace kx::service
