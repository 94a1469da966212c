// The arguments of a call from an HTTP request: a JSON body ({"args": [...]} or {"args": {...}}),
// or an XML document with the other arguments by name in the query string. Arguments that do not
// fit fail with std::invalid_argument, which the service answers with 400.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "kx/registry.h"

namespace kx::service {

// The deepest nesting a JSON body may have; deeper bodies are refused before they are parsed.
inline constexpr int kMaxJsonDepth = 32;

// The positional arguments of a call of info.member from its JSON body; named arguments are placed
// by the member's parameter names, an omitted optional or by-reference one takes its default.
Args ArgumentsFromJson(const std::string& body, const ClassInfo& info, const std::string& member);

// The arguments of a call whose body is an XML document: the document goes to the member's
// document parameter (one whose name ends in "Xml", else "AccessKey", else its only required
// by-value parameter, else its last one); the others come by name from the query string.
Args ArgumentsForDocument(std::string document, const std::vector<std::pair<std::string, std::string>>& query,
                          const ClassInfo& info, const std::string& member);

}  // namespace kx::service
