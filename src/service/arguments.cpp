#include "service/arguments.h"

#include <strings.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

#include "service/call.h"

namespace kx::service {

namespace {

bool TooDeep(const std::string& text) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// An argument value from JSON: strings, numbers, Booleans and null; anything else is refused.
Variant ArgumentValue(const nlohmann::json& v, const std::string& which) {
  switch (v.type()) {
    case nlohmann::json::value_t::string:
      return Variant(v.get<std::string>());
    case nlohmann::json::value_t::boolean:
      return Variant(v.get<bool>());
    case nlohmann::json::value_t::null:
      return Variant::Null();
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned: {
      // Whole numbers beyond 32 bits travel as their digits, so the member's conversion decides.
      if (v.is_number_unsigned() ? v.get<uint64_t>() <= INT32_MAX
                                 : (v.get<int64_t>() >= INT32_MIN && v.get<int64_t>() <= INT32_MAX))
        return Variant(static_cast<int32_t>(v.get<int64_t>()));
      return Variant(v.dump());
    }
    case nlohmann::json::value_t::number_float:
      // A number too large for a double (1e400, hundreds of digits) is no value a member can take.
      if (!std::isfinite(v.get<double>())) throw std::invalid_argument(which + " is a number out of range");
      return Variant(v.get<double>());
    default:
      throw std::invalid_argument(which + " must be a string, number, Boolean or null");
  }
}

using Named = std::vector<std::pair<std::string, Variant>>;

// Arguments given by name placed by the member's parameter names; an omitted optional or
// by-reference parameter takes its default, a name given twice or unknown is refused.
Args PlaceNamed(const ClassInfo& info, const MemberInfo& m, const Named& named) {
  Args args;
  std::vector<bool> used(named.size(), false);
  for (const auto& param : m.params) {
    const Variant* value = nullptr;
    for (size_t i = 0; i < named.size(); ++i) {
      if (strcasecmp(named[i].first.c_str(), param.name.c_str()) != 0) continue;
      if (value) throw std::invalid_argument("the argument " + param.name + " is given twice");
      value = &named[i].second, used[i] = true;
    }
    if (value)
      args.push_back(*value);
    else if (param.optional || param.byRef)
      args.push_back(param.defaultValue);
    else
      throw std::invalid_argument("the argument " + param.name + " is missing");
  }
  for (size_t i = 0; i < named.size(); ++i)
    if (!used[i])
      throw std::invalid_argument(info.name + "." + m.name + " has no parameter " + named[i].first);
  return args;
}

// Parses a JSON body, refusing a key given twice in one object (which would otherwise be taken
// silently, the last one winning).
nlohmann::json ParseBody(const std::string& body) {
  std::vector<std::set<std::string>> keys;
  std::string duplicate;
  auto check = [&](int, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
    using E = nlohmann::json::parse_event_t;
    if (event == E::object_start) keys.emplace_back();
    if (event == E::object_end && !keys.empty()) keys.pop_back();
    if (event == E::key && !keys.empty() && !keys.back().insert(parsed.get<std::string>()).second &&
        duplicate.empty())
      duplicate = parsed.get<std::string>();
    return true;
  };
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(body, check);
  } catch (const nlohmann::json::exception& e) {
    throw std::invalid_argument(std::string("the body is not valid JSON: ") + e.what());
  }
  if (!duplicate.empty()) throw std::invalid_argument("the key '" + duplicate + "' is given twice in the body");
  return doc;
}

bool EndsWithXml(const std::string& name) {
  return name.size() >= 3 && strcasecmp(name.c_str() + name.size() - 3, "Xml") == 0;
}

}  // namespace

Args ArgumentsFromJson(const std::string& body, const ClassInfo& info, const std::string& member) {
  if (TooDeep(body))
    throw std::invalid_argument("the body nests deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  const nlohmann::json doc = ParseBody(body);
  if (!doc.is_object()) throw std::invalid_argument("the body must be a JSON object {\"args\": [...]}");
  for (const auto& [key, value] : doc.items())
    if (key != "args") throw std::invalid_argument("unknown key '" + key + "' in the body (only \"args\")");
  Args args;
  const auto found = doc.find("args");
  if (found == doc.end() || found->is_null()) return args;
  if (found->is_array()) {
    for (size_t i = 0; i < found->size(); ++i)
      args.push_back(ArgumentValue((*found)[i], "argument " + std::to_string(i + 1)));
    return args;
  }
  if (!found->is_object()) throw std::invalid_argument("\"args\" must be an array or an object");
  const MemberInfo* m = MemberByName(info, member);
  if (!m) return args;  // the call reports the unknown member
  Named named;
  for (auto it = found->begin(); it != found->end(); ++it)
    named.emplace_back(it.key(), ArgumentValue(*it, "argument " + it.key()));
  return PlaceNamed(info, *m, named);
}

Args ArgumentsForDocument(std::string document, const std::vector<std::pair<std::string, std::string>>& query,
                          const ClassInfo& info, const std::string& member) {
  const MemberInfo* m = MemberByName(info, member);
  if (!m || m->params.empty()) return {Variant(std::move(document))};  // the call reports what does not fit
  const auto& params = m->params;
  size_t target = params.size();
  for (size_t i = 0; i < params.size() && target == params.size(); ++i)
    if (!params[i].byRef && EndsWithXml(params[i].name)) target = i;
  for (size_t i = 0; i < params.size() && target == params.size(); ++i)
    if (!params[i].byRef && strcasecmp(params[i].name.c_str(), "AccessKey") == 0) target = i;
  if (target == params.size()) {
    size_t required = 0;
    for (size_t i = 0; i < params.size(); ++i)
      if (!params[i].optional && !params[i].byRef && ++required == 1) target = i;
    if (required != 1) target = params.size() - 1;
  }
  Named named;
  for (const auto& [name, value] : query) named.emplace_back(name, Variant(value));
  named.emplace_back(params[target].name, Variant(std::move(document)));
  return PlaceNamed(info, *m, named);
}

}  // namespace kx::service
