#include "service/client.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

namespace kx::service {

namespace {

// The plain-text form of an answer's result, as `kx call` prints it in-process: a string as it is,
// null as nothing, anything else (numbers, Booleans, rows) as its JSON.
std::string ResultText(const nlohmann::json& result) {
  if (result.is_string()) return result.get<std::string>();
  if (result.is_null()) return {};
  return result.dump();
}

// A path segment with everything but unreserved characters percent-encoded.
std::string Segment(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace

CallOutcome RemoteCall(const std::string& url, const std::string& token, const std::string& className,
                       const std::string& member, const std::vector<std::string>& args) {
  CallOutcome outcome;
  httplib::Client client(url);
  if (!client.is_valid())
    return Failed(Failure::BadArguments, Error(0, "kx", "the URL " + url + " cannot be used"));
  client.set_read_timeout(300, 0);
  client.set_tcp_nodelay(true);
  client.set_write_timeout(300, 0);
  httplib::Headers headers;
  if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
  const std::string body =
      nlohmann::json{{"args", args}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const auto res =
      client.Post("/v1/" + Segment(className) + "/" + Segment(member), headers, body, "application/json");
  if (!res)
    return Failed(
        Failure::Unavailable,
        Error(0, "kx", "the service at " + url + " cannot be reached: " + httplib::to_string(res.error())));
  nlohmann::json answer = nlohmann::json::parse(res->body, nullptr, false);
  if (answer.is_discarded() || !answer.is_object())
    return Failed(Failure::Internal, Error(0, "kx",
                                           "the service answered HTTP " + std::to_string(res->status) +
                                               " with a body that is no JSON object"));
  if (res->status == 200 && answer.contains("result")) {
    outcome.json = res->body;
    while (!outcome.json.empty() && (outcome.json.back() == '\n' || outcome.json.back() == '\r'))
      outcome.json.pop_back();
    outcome.text = ResultText(answer["result"]);
    return outcome;
  }
  const auto& e = answer.value("error", nlohmann::json::object());
  const Failure failure = res->status == 404   ? Failure::UnknownClass
                          : res->status == 400 ? Failure::BadArguments
                          : res->status == 422 ? Failure::Component
                          : res->status == 503 ? Failure::Unavailable
                                               : Failure::Internal;
  const auto number = e.value("number", 0);
  return Failed(failure, Error(static_cast<int32_t>(number), e.value("source", std::string("kx serve")),
                               e.value("description", "HTTP status " + std::to_string(res->status))));
}

}  // namespace kx::service
