#include "service/server.h"

#include <httplib.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>

#include "runtime/error.h"
#include "runtime/ini.h"
#include "runtime/registry.h"
#include "service/call.h"
#include "service/json.h"
#include "service/metrics.h"
#include "service/tokens.h"
#include "shared/s_db_help_for_kx.h"

namespace kx::service {

namespace {

using Clock = std::chrono::steady_clock;

int ParseNumber(const std::string& text, const std::string& what, long low, long high) {
  size_t used = 0;
  long value = 0;
  try {
    value = std::stol(text, &used);
  } catch (...) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < low || value > high)
    throw std::runtime_error(what + " must be a whole number from " + std::to_string(low) + " to " +
                             std::to_string(high) + ", not '" + text + "'");
  return static_cast<int>(value);
}

// What one request learnt on its way, for the access log and the metrics (one request per thread
// at a time: the logger runs on the thread that handled the request).
struct RequestNote {
  Clock::time_point start;
  std::string id;
  std::string client;  // the token's client name
  std::string className, member;
};
thread_local RequestNote note;

std::string NewRequestId() {
  static std::atomic<uint64_t> counter{0};
  static const uint64_t prefix =
      std::random_device{}() | (static_cast<uint64_t>(std::random_device{}()) << 32);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%016llx-%llu", static_cast<unsigned long long>(prefix),
                static_cast<unsigned long long>(++counter));
  return buf;
}

// A caller's X-Request-Id is kept when it is short and plain, so that it can be logged as it is.
bool UsableRequestId(const std::string& id) {
  if (id.empty() || id.size() > 64) return false;
  for (unsigned char c : id)
    if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
  return true;
}

std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

// The error object of a failure the service itself finds (number 0: no component error).
std::string ServiceError(const std::string& description) {
  return ErrorJson(Error(0, "kx serve", description));
}

void Answer(httplib::Response& res, int status, const std::string& json) {
  res.status = status;
  res.set_content(json, "application/json");
}

// How many requests one keep-alive connection may carry before the service closes it.
constexpr size_t kKeepAliveRequests = 100000;

// The deepest nesting a request body may have; deeper bodies are refused before they are parsed.
constexpr int kMaxJsonDepth = 32;

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

// The positional arguments of a call from its JSON body. Named arguments are placed by the
// member's parameter names; an omitted optional one takes its default.
Args ArgumentsFromJson(const std::string& body, const ClassInfo& info, const std::string& member) {
  if (TooDeep(body))
    throw std::invalid_argument("the body nests deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(body);
  } catch (const nlohmann::json::parse_error& e) {
    throw std::invalid_argument(std::string("the body is not valid JSON: ") + e.what());
  }
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

// The arguments of a call whose body is an XML document: the document goes to the member's only
// required by-value parameter (or, when it has none or several, to its last one); the others come
// by name from the query string.
Args ArgumentsForDocument(const httplib::Request& req, const ClassInfo& info, const std::string& member) {
  const MemberInfo* m = MemberByName(info, member);
  if (!m || m->params.empty()) return {Variant(req.body)};  // the call reports what does not fit
  size_t document = m->params.size() - 1, required = 0;
  for (size_t i = 0; i < m->params.size(); ++i)
    if (!m->params[i].optional && !m->params[i].byRef) ++required, document = required == 1 ? i : document;
  if (required > 1) document = m->params.size() - 1;
  Named named;
  for (const auto& [name, value] : req.params) named.emplace_back(name, Variant(value));
  named.emplace_back(m->params[document].name, Variant(req.body));
  return PlaceNamed(info, *m, named);
}

int StatusOf(Failure failure) {
  switch (failure) {
    case Failure::None:
      return 200;
    case Failure::UnknownClass:
    case Failure::UnknownMember:
      return 404;
    case Failure::BadArguments:
      return 400;
    case Failure::Component:
      return 422;
    case Failure::Unavailable:
      return 503;
    case Failure::Internal:
      return 500;
  }
  return 500;
}

}  // namespace

void ParseListen(const std::string& listen, std::string& host, int& port) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0)
    throw std::runtime_error("the listen address must be HOST:PORT, not '" + listen + "'");
  host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  port = ParseNumber(listen.substr(colon + 1), "the port of the listen address", 0, 65535);
}

bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

ServiceOptions OptionsFromConfig(const std::string& configPath) {
  ServiceOptions o;
  const auto ini = IniFile::Load(configPath);
  auto key = [&](const char* name) {
    return "key " + std::string(name) + " of section SERVICE in " + configPath;
  };
  auto number = [&](const char* name, int& out, long low, long high) {
    if (ini->Has("SERVICE", name)) out = ParseNumber(ini->Value("SERVICE", name, ""), key(name), low, high);
  };
  if (ini->Has("SERVICE", "LISTEN")) {
    try {
      ParseListen(ini->Value("SERVICE", "LISTEN", ""), o.host, o.port);
    } catch (const std::exception& e) {
      throw std::runtime_error(key("LISTEN") + ": " + e.what());
    }
  }
  number("WORKERS", o.workers, 1, 1024);
  number("READTIMEOUT", o.readTimeout, 1, 3600);
  number("WRITETIMEOUT", o.writeTimeout, 1, 3600);
  number("KEEPALIVETIMEOUT", o.keepAliveTimeout, 1, 3600);
  number("DRAINTIMEOUT", o.drainTimeout, 1, 3600);
  int limit = static_cast<int>(o.bodyLimit);
  number("BODYLIMIT", limit, 1024, 1 << 30);
  o.bodyLimit = static_cast<size_t>(limit);
  o.tokens = ini->Value("SERVICE", "TOKENFILE", "");
  o.certificate = ini->Value("SERVICE", "CERTIFICATE", "");
  o.privateKey = ini->Value("SERVICE", "PRIVATEKEY", "");
  return o;
}

struct Service::Impl {
  ServiceOptions options;
  std::unique_ptr<httplib::Server> server;
  std::unique_ptr<TokenFile> tokens;
  Metrics metrics;
  int port = 0;
  std::atomic<bool> stopRequested{false};
  std::function<void(const std::string&)> sink = [](const std::string& line) {
    const std::string out = line + "\n";
    (void)!write(STDERR_FILENO, out.data(), out.size());
  };

  void Call(const httplib::Request& req, httplib::Response& res);
  bool Authorized(const httplib::Request& req, httplib::Response& res, const std::string& cls,
                  const std::string& member);
  void Log(const httplib::Request& req, const httplib::Response& res);
  void Routes();
};

bool Service::Impl::Authorized(const httplib::Request& req, httplib::Response& res, const std::string& cls,
                               const std::string& member) {
  if (!tokens) {
    if (!IsPrivileged(cls)) return true;
    Answer(res, 403, ServiceError(cls + " may be called only by a client the token file names"));
    return false;
  }
  const AuthOutcome auth = tokens->Authorize(req.get_header_value("Authorization"), cls, member);
  note.client = auth.client;
  switch (auth.result) {
    case AuthResult::Allowed:
      return true;
    case AuthResult::NoToken:
    case AuthResult::UnknownToken:
      res.set_header("WWW-Authenticate", "Bearer");
      Answer(res, 401,
             ServiceError(auth.result == AuthResult::NoToken ? "a bearer token is required"
                                                             : "the bearer token is not known"));
      return false;
    case AuthResult::Forbidden:
      Answer(res, 403, ServiceError("client " + auth.client + " may not call " + cls + "." + member));
      return false;
    case AuthResult::Unusable:
      Answer(res, 503, ServiceError("the service cannot check tokens: " + auth.reason));
      return false;
  }
  return false;
}

void Service::Impl::Call(const httplib::Request& req, httplib::Response& res) {
  metrics.Enter();
  struct Leave {
    Metrics& m;
    ~Leave() { m.Leave(); }
  } leave{metrics};
  const std::string cls = req.matches[1], member = req.matches[2];
  // Names go to the log and the metrics only as registered, so that unknown names cannot flood them.
  const ClassInfo* info = nullptr;
  std::optional<Error> unknown;
  try {
    info = &Registry::Instance().Class(cls);
    note.className = info->name;
    if (const MemberInfo* m = MemberByName(*info, member)) note.member = m->name;
  } catch (const Error& e) {
    unknown = e;
  }
  if (!Authorized(req, res, cls, member)) return;
  if (unknown) {
    Answer(res, 404, ErrorJson(*unknown));
    return;
  }
  Args args;
  const std::string type = req.get_header_value("Content-Type");
  const std::string mediaType = type.substr(0, type.find(';'));
  try {
    if (mediaType == "application/xml" || mediaType == "text/xml") {
      args = ArgumentsForDocument(req, *info, member);
    } else if (mediaType.empty() || mediaType == "application/json" ||
               mediaType == "application/x-www-form-urlencoded") {  // what curl -d sends
      args = ArgumentsFromJson(req.body, *info, member);
    } else {
      Answer(res, 415,
             ServiceError("the body must be application/json or application/xml, not " + mediaType));
      return;
    }
  } catch (const std::invalid_argument& e) {
    Answer(res, 400, ServiceError(e.what()));
    return;
  }
  const CallOutcome outcome = RunCall(info->name, member, std::move(args), /*transaction=*/true);
  Answer(res, StatusOf(outcome.failure), outcome.json);
}

void Service::Impl::Log(const httplib::Request& req, const httplib::Response& res) {
  // A request refused before it was routed (a path or header too long) started no clock.
  const double seconds = note.start == Clock::time_point{}
                             ? 0.0
                             : std::chrono::duration<double>(Clock::now() - note.start).count();
  metrics.Record(note.className, note.member, res.status, seconds);
  std::string path = req.path.size() > 200 ? req.path.substr(0, 200) + "..." : req.path;
  char ms[32];
  std::snprintf(ms, sizeof ms, "%.3f", seconds * 1000);
  sink("{\"time\": \"" + UtcNow() + "\", \"request_id\": " + JsonString(note.id) +
       ", \"token\": " + (note.client.empty() ? "null" : JsonString(note.client)) +
       ", \"method\": " + JsonString(req.method) + ", \"path\": " + JsonString(path) +
       ", \"class\": " + (note.className.empty() ? "null" : JsonString(note.className)) +
       ", \"member\": " + (note.member.empty() ? "null" : JsonString(note.member)) +
       ", \"status\": " + std::to_string(res.status) + ", \"ms\": " + ms + "}");
  note = RequestNote{};
}

void Service::Impl::Routes() {
  auto& s = *server;
  s.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    note = RequestNote{};
    note.start = Clock::now();
    const std::string given = req.get_header_value("X-Request-Id");
    note.id = UsableRequestId(given) ? given : NewRequestId();
    res.set_header("X-Request-Id", note.id);
    return httplib::Server::HandlerResponse::Unhandled;
  });
  s.Post(R"(/v1/([^/]+)/([^/]+))",
         [this](const httplib::Request& req, httplib::Response& res) { Call(req, res); });
  s.Get("/healthz",
        [](const httplib::Request&, httplib::Response& res) { Answer(res, 200, "{\"status\": \"alive\"}"); });
  s.Get("/readyz", [this](const httplib::Request&, httplib::Response& res) {
    std::string reason;
    if (tokens && !tokens->Usable(&reason)) {
      Answer(res, 503, "{\"status\": \"unavailable\", \"reason\": " + JsonString(reason) + "}");
      return;
    }
    try {
      S_DBHelpForKX helper;
      helper.RunSQLReturnRS("select 1");
      Answer(res, 200, "{\"status\": \"ready\"}");
    } catch (const std::exception& e) {
      Answer(res, 503, "{\"status\": \"unavailable\", \"reason\": " + JsonString(e.what()) + "}");
    }
  });
  s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(metrics.Text(), "text/plain; version=0.0.4");
  });
  // Failures found before a handler ran (an unknown path, a body over the limit, a bad request
  // line) get the error object too.
  s.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request& req, httplib::Response& res) {
        // A request refused before routing has no id yet.
        if (note.id.empty() || !res.has_header("X-Request-Id")) {
          if (note.id.empty()) note.id = NewRequestId();
          res.set_header("X-Request-Id", note.id);
        }
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        std::string text = res.status == 413 ? "the request body is larger than the limit"
                           : res.status == 404
                               ? "no such endpoint: " + req.method + " " + req.path.substr(0, 200)
                               : "the request was refused (HTTP status " + std::to_string(res.status) + ")";
        Answer(res, res.status, ServiceError(text));
        return httplib::Server::HandlerResponse::Handled;
      }));
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "unknown failure";
    try {
      std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    Answer(res, 500, ServiceError(what));
  });
  s.set_logger([this](const httplib::Request& req, const httplib::Response& res) { Log(req, res); });
}

Service::Service(ServiceOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  const ServiceOptions& o = impl_->options;
  if (!o.tokens.empty())
    impl_->tokens = std::make_unique<TokenFile>(o.tokens);
  else if (!IsLoopback(o.host))
    throw std::runtime_error("without a token file the service listens on a loopback address only, not on " +
                             o.host + " (give --tokens FILE or TOKENFILE in section SERVICE)");
  if (o.certificate.empty() != o.privateKey.empty())
    throw std::runtime_error("HTTPS needs both a certificate and a private key");
  if (!o.certificate.empty()) {
    impl_->server = std::make_unique<httplib::SSLServer>(o.certificate.c_str(), o.privateKey.c_str());
    if (!impl_->server->is_valid())
      throw std::runtime_error("the certificate " + o.certificate + " or the private key " + o.privateKey +
                               " cannot be used");
  } else {
    impl_->server = std::make_unique<httplib::Server>();
  }
  auto& s = *impl_->server;
  const int workers = o.workers;
  s.new_task_queue = [workers] { return new httplib::ThreadPool(static_cast<size_t>(workers)); };
  s.set_read_timeout(o.readTimeout, 0);
  s.set_write_timeout(o.writeTimeout, 0);
  s.set_keep_alive_timeout(o.keepAliveTimeout);
  // A keep-alive connection serves as many requests as its client sends (not httplib's five), and
  // answers leave at once instead of waiting for the client's delayed acknowledgement.
  s.set_keep_alive_max_count(kKeepAliveRequests);
  s.set_tcp_nodelay(true);
  s.set_payload_max_length(o.bodyLimit);
  impl_->Routes();
}

Service::~Service() = default;

int Service::Bind() {
  const auto& o = impl_->options;
  impl_->port = o.port == 0 ? impl_->server->bind_to_any_port(o.host.c_str())
                            : (impl_->server->bind_to_port(o.host.c_str(), o.port) ? o.port : -1);
  if (impl_->port < 0) throw std::runtime_error("cannot listen on " + o.host + ":" + std::to_string(o.port));
  return impl_->port;
}

void Service::Run() {
  if (impl_->stopRequested) return;
  impl_->server->listen_after_bind();
}

void Service::Stop() {
  impl_->stopRequested = true;
  impl_->server->stop();
}

std::string Service::Url() const {
  const std::string host = impl_->options.host.find(':') != std::string::npos
                               ? "[" + impl_->options.host + "]"
                               : impl_->options.host;
  return std::string(impl_->options.certificate.empty() ? "http" : "https") + "://" + host + ":" +
         std::to_string(impl_->port);
}

void Service::SetLogSink(std::function<void(const std::string&)> sink) { impl_->sink = std::move(sink); }

}  // namespace kx::service
