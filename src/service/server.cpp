#include "service/server.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <random>
#include <stdexcept>

#include "kx/error.h"
#include "runtime/ini.h"
#include "kx/registry.h"
#include "runtime/xml.h"
#include "service/arguments.h"
#include "service/call.h"
#include "service/console.h"
#include "service/http_front.h"
#include "service/json.h"
#include "service/metrics.h"
#include "service/tokens.h"
#include "service/worker_pool.h"
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

// What one request learnt on its way, for the access log and the metrics.
struct RequestNote {
  Clock::time_point start = Clock::now();
  std::string id;
  std::string client;  // the token's client name
  std::string method, path;
  std::string className, member;
  std::string detail;  // what the log tells beyond the answer (a reason kept from the caller)
};

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

HttpResponse Answer(int status, std::string json) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(json);
  return r;
}

// A media type without its parameters, in lower case.
std::string MediaType(const std::string* header) {
  std::string type = header ? header->substr(0, header->find(';')) : std::string();
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.erase(0, 1);
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type;
}

// Every answer, the console's files and the API's JSON alike, tells the browser to run nothing
// from elsewhere, not to guess media types and not to pass the address on.
void Protect(HttpResponse& r) {
  r.headers.emplace_back("Content-Security-Policy", kConsolePolicy);
  r.headers.emplace_back("X-Content-Type-Options", "nosniff");
  r.headers.emplace_back("Referrer-Policy", "no-referrer");
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
  auto number = [&](const char* name, auto& out, long low, long high) {
    if (ini->Has("SERVICE", name))
      out = static_cast<std::remove_reference_t<decltype(out)>>(
          ParseNumber(ini->Value("SERVICE", name, ""), key(name), low, high));
  };
  if (ini->Has("SERVICE", "LISTEN")) {
    try {
      ParseListen(ini->Value("SERVICE", "LISTEN", ""), o.host, o.port);
    } catch (const std::exception& e) {
      throw std::runtime_error(key("LISTEN") + ": " + e.what());
    }
  }
  number("WORKERS", o.workers, 1, 1024);
  number("IOTHREADS", o.ioThreads, 1, 64);
  number("QUEUE", o.queue, 1, 1 << 20);
  // READTIMEOUT is the body's deadline of earlier versions; BODYTIMEOUT says it better.
  number("READTIMEOUT", o.http.bodyTimeout, 1, 3600);
  number("BODYTIMEOUT", o.http.bodyTimeout, 1, 3600);
  number("HEADTIMEOUT", o.http.headTimeout, 1, 3600);
  number("WRITETIMEOUT", o.http.writeTimeout, 1, 3600);
  number("KEEPALIVETIMEOUT", o.http.keepAliveTimeout, 1, 3600);
  number("DRAINTIMEOUT", o.drainTimeout, 1, 3600);
  number("STOPDELAY", o.stopDelay, 0, 3600);
  number("BODYLIMIT", o.http.bodyLimit, 1024, 1 << 30);
  number("MAXHEADERS", o.http.maxHeaders, 1, 10000);
  number("MAXHEADERBYTES", o.http.maxHeaderBytes, 1024, 1 << 20);
  number("MAXCONNECTIONS", o.http.maxConnections, 1, 1 << 20);
  number("MAXCONNECTIONSPERCLIENT", o.http.maxConnectionsPerClient, 1, 1 << 20);
  number("MAXXMLATTRIBUTES", o.maxXmlAttributes, 1, 1 << 20);
  number("MAXXMLELEMENTS", o.maxXmlElements, 1, 1 << 24);
  o.tokens = ini->Value("SERVICE", "TOKENFILE", "");
  o.certificate = ini->Value("SERVICE", "CERTIFICATE", "");
  o.privateKey = ini->Value("SERVICE", "PRIVATEKEY", "");
  o.console = ini->Value("SERVICE", "CONSOLE", "");
  return o;
}

struct Service::Impl {
  ServiceOptions options;
  std::unique_ptr<TokenFile> tokens;
  std::unique_ptr<WorkerPool> pool;
  std::unique_ptr<HttpFront> front;
  std::optional<ConsoleFiles> console;
  Metrics metrics;
  int port = 0;
  std::atomic<bool> draining{false};
  std::function<void(const std::string&)> sink = [](const std::string& line) {
    const std::string out = line + "\n";
    (void)!write(STDERR_FILENO, out.data(), out.size());
  };

  using Reply = std::function<void(HttpResponse)>;
  // The note of a request: the caller's X-Request-Id when it is usable (and the head was read
  // whole), else a new one; the method and the path as the log shows them.
  static void Describe(RequestNote& note, const HttpRequest& req);
  void Handle(HttpRequest& req, Respond respond);
  HttpResponse Refused(int status, const std::string& reason, const HttpRequest& req);
  void Call(const std::shared_ptr<RequestNote>& note, const std::string& cls, const std::string& member,
            HttpRequest& req, const Reply& reply);
  void Ready(const std::shared_ptr<RequestNote>& note, const HttpRequest& req, const Reply& reply);
  // GET /v1/_me: the caller's client name and what it may call.
  HttpResponse Me(RequestNote& note, const HttpRequest& req);
  // The 401 of a caller without a known token, or the 503 of a token file that cannot be used.
  static HttpResponse Unauthenticated(RequestNote& note, const AuthOutcome& auth);
  // Runs `job` on a worker; a full queue answers 503 at once.
  void Queue(std::function<void()> job, const Reply& reply);
  bool Authorized(RequestNote& note, const HttpRequest& req, const std::string& cls, const std::string& member,
                  const Reply& reply);
  void Log(const RequestNote& note, int status);
};

void Service::Impl::Queue(std::function<void()> job, const Reply& reply) {
  if (pool->TryPost(job)) return;
  HttpResponse busy = Answer(503, ServiceError("the service is busy; try again in a moment"));
  busy.headers.emplace_back("Retry-After", "1");
  reply(std::move(busy));
}

HttpResponse Service::Impl::Unauthenticated(RequestNote& note, const AuthOutcome& auth) {
  if (auth.result == AuthResult::Unusable) {
    // The file's path is for the operator's log, not for a caller whose token cannot be checked.
    note.detail = auth.reason;
    return Answer(503, ServiceError("the service cannot check tokens: the token file cannot be used"));
  }
  HttpResponse r = Answer(401, ServiceError(auth.result == AuthResult::NoToken ? "a bearer token is required"
                                                                              : "the bearer token is not known"));
  r.headers.emplace_back("WWW-Authenticate", "Bearer");
  return r;
}

bool Service::Impl::Authorized(RequestNote& note, const HttpRequest& req, const std::string& cls,
                               const std::string& member, const Reply& reply) {
  if (!tokens) {
    if (!IsPrivileged(cls)) return true;
    reply(Answer(403, ServiceError(cls + " may be called only by a client the token file names")));
    return false;
  }
  const std::string* header = req.Header("Authorization");
  const AuthOutcome auth = tokens->Authorize(header ? *header : std::string(), cls, member);
  note.client = auth.client;
  switch (auth.result) {
    case AuthResult::Allowed:
      return true;
    case AuthResult::Forbidden:
      reply(Answer(403, ServiceError("client " + auth.client + " may not call " + cls + "." + member)));
      return false;
    default:
      reply(Unauthenticated(note, auth));
      return false;
  }
  return false;
}

void Service::Impl::Call(const std::shared_ptr<RequestNote>& note, const std::string& cls, const std::string& member,
                         HttpRequest& req, const Reply& reply) {
  // Names go to the log and the metrics only as registered, so that unknown names cannot flood them.
  const ClassInfo* info = nullptr;
  std::optional<Error> unknown;
  try {
    info = &Registry::Instance().Class(cls);
    note->className = info->name;
    if (const MemberInfo* m = MemberByName(*info, member)) note->member = m->name;
  } catch (const Error& e) {
    unknown = e;
  }
  if (!Authorized(*note, req, cls, member, reply)) return;
  if (unknown) return reply(Answer(404, ErrorJson(*unknown)));
  const std::string mediaType = MediaType(req.Header("Content-Type"));
  const bool document = mediaType == "application/xml" || mediaType == "text/xml";
  if (!document && !mediaType.empty() && mediaType != "application/json" &&
      mediaType != "application/x-www-form-urlencoded")  // what curl -d sends
    return reply(
        Answer(415, ServiceError("the body must be application/json or application/xml, not " + mediaType)));
  const bool withToken = tokens != nullptr;
  metrics.Enter();
  Queue(
      [this, note, info, member, document, withToken, reply, body = std::move(req.body),
       query = document ? QueryParameters(req.query) : std::vector<std::pair<std::string, std::string>>{}]() mutable {
        struct Leave {
          Metrics& m;
          ~Leave() { m.Leave(); }
        } leave{metrics};
        Args args;
        try {
          args = document ? ArgumentsForDocument(std::move(body), query, *info, member)
                          : ArgumentsFromJson(body, *info, member);
        } catch (const std::invalid_argument& e) {
          return reply(Answer(400, ServiceError(e.what())));
        }
        const CallOutcome outcome = RunCall(info->name, member, std::move(args), /*transaction=*/true);
        if (outcome.failure == Failure::Unavailable && !withToken) {
          // Without tokens every caller is anonymous: the engine's text (host, port, user) goes to
          // the log only.
          note->detail = outcome.error ? outcome.error->description() : std::string();
          return reply(Answer(503, ServiceError("the database cannot be reached")));
        }
        reply(Answer(StatusOf(outcome.failure), outcome.json));
      },
      [this, &reply](HttpResponse r) {
        metrics.Leave();
        reply(std::move(r));
      });
}

void Service::Impl::Ready(const std::shared_ptr<RequestNote>& note, const HttpRequest& req, const Reply& reply) {
  // Only a caller with a known token learns why the service is not ready.
  const std::string* header = req.Header("Authorization");
  const bool detailed = tokens && header && !tokens->Known(*header).empty();
  if (draining)
    return reply(Answer(503, "{\"status\": \"unavailable\", \"reason\": \"the service is stopping\"}"));
  Queue(
      [this, note, detailed, reply] {
        auto unavailable = [&](const std::string& reason, const char* plain) {
          note->detail = reason;
          reply(Answer(503, "{\"status\": \"unavailable\", \"reason\": " + JsonString(detailed ? reason : plain) +
                                "}"));
        };
        std::string reason;
        if (tokens && !tokens->Usable(&reason)) return unavailable(reason, "the token file cannot be used");
        try {
          S_DBHelpForKX helper;
          helper.RunSQLReturnRS("select 1");
          reply(Answer(200, "{\"status\": \"ready\"}"));
        } catch (const std::exception& e) {
          unavailable(e.what(), "the database does not answer");
        }
      },
      reply);
}

HttpResponse Service::Impl::Me(RequestNote& note, const HttpRequest& req) {
  std::optional<std::string> client;
  std::vector<std::string> patterns;
  if (tokens) {
    const std::string* header = req.Header("Authorization");
    const AuthOutcome auth = tokens->Authorize(header ? *header : std::string(), "", "");
    note.client = auth.client;
    if (auth.client.empty()) return Unauthenticated(note, auth);
    client = auth.client;
    patterns = *auth.patterns;
  }
  HttpResponse r = Answer(200, WhoJson(client, patterns));
  r.headers.emplace_back("Cache-Control", "no-store");
  return r;
}

void Service::Impl::Describe(RequestNote& note, const HttpRequest& req) {
  const std::string* given = req.complete ? req.Header("X-Request-Id") : nullptr;
  note.id = given && UsableRequestId(*given) ? *given : NewRequestId();
  note.method = req.method;
  note.path = req.path.size() > 200 ? req.path.substr(0, 200) + "..." : req.path;
}

void Service::Impl::Handle(HttpRequest& req, Respond respond) {
  auto note = std::make_shared<RequestNote>();
  Describe(*note, req);
  const Reply reply = [this, note, head = req.method == "HEAD", respond = std::move(respond)](HttpResponse r) {
    r.headOnly = r.headOnly || head;
    r.headers.emplace_back("X-Request-Id", note->id);
    Protect(r);
    Log(*note, r.status);
    respond(std::move(r));
  };
  try {
    const bool get = req.method == "GET";
    if (get && req.path == "/healthz") return reply(Answer(200, "{\"status\": \"alive\"}"));
    if (get && req.path == "/readyz") return Ready(note, req, reply);
    if (get && req.path == "/metrics") {
      HttpResponse r = Answer(200, metrics.Text());
      r.contentType = "text/plain; version=0.0.4";
      return reply(std::move(r));
    }
    if (get && req.path == "/v1/_me") return reply(Me(*note, req));
    if (req.method == "POST" && req.path.rfind("/v1/", 0) == 0) {
      const std::string rest = req.path.substr(4);
      const auto slash = rest.find('/');
      if (slash != std::string::npos && slash > 0 && slash + 1 < rest.size() &&
          rest.find('/', slash + 1) == std::string::npos)
        return Call(note, rest.substr(0, slash), rest.substr(slash + 1), req, reply);
    }
    if (get || req.method == "HEAD")
      if (auto file = console ? console->Answer(req) : std::nullopt) return reply(std::move(*file));
    reply(Answer(404, ServiceError("no such endpoint: " + req.method + " " + note->path)));
  } catch (const std::exception& e) {
    reply(Answer(500, ServiceError(e.what())));
  }
}

HttpResponse Service::Impl::Refused(int status, const std::string& reason, const HttpRequest& req) {
  RequestNote note;
  Describe(note, req);
  HttpResponse r = Answer(status, ServiceError(reason));
  r.headers.emplace_back("X-Request-Id", note.id);
  Protect(r);
  Log(note, status);
  return r;
}

void Service::Impl::Log(const RequestNote& note, int status) {
  const double seconds = std::chrono::duration<double>(Clock::now() - note.start).count();
  metrics.Record(note.className, note.member, status, seconds);
  char ms[32];
  std::snprintf(ms, sizeof ms, "%.3f", seconds * 1000);
  auto orNull = [](const std::string& s) { return s.empty() ? std::string("null") : JsonString(s); };
  sink("{\"time\": \"" + UtcNow() + "\", \"request_id\": " + JsonString(note.id) +
       ", \"token\": " + orNull(note.client) + ", \"method\": " + JsonString(note.method) +
       ", \"path\": " + JsonString(note.path) + ", \"class\": " + orNull(note.className) +
       ", \"member\": " + orNull(note.member) + ", \"status\": " + std::to_string(status) + ", \"ms\": " + ms +
       (note.detail.empty() ? std::string() : ", \"reason\": " + JsonString(note.detail)) + "}");
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
  Impl* impl = impl_.get();
  impl_->front = std::make_unique<HttpFront>(
      o.http, o.certificate, o.privateKey,
      [impl](HttpRequest& req, Respond respond) { impl->Handle(req, std::move(respond)); },
      [impl](int status, const std::string& reason, const HttpRequest& req) {
        return impl->Refused(status, reason, req);
      });
  impl_->pool = std::make_unique<WorkerPool>(o.workers, o.queue);
  if (o.console != "none") {
    const std::string folder = o.console.empty() ? DefaultConsoleFolder() : o.console;
    if (!folder.empty()) impl_->console = ConsoleFiles::Load(folder);
  }
  // The shape limits of XML requests hold for every parse of the process.
  if (o.maxXmlAttributes || o.maxXmlElements) {
    xml::DocumentLimits xmlLimits = xml::CurrentDocumentLimits();
    if (o.maxXmlAttributes) xmlLimits.maxAttributesPerElement = o.maxXmlAttributes;
    if (o.maxXmlElements) xmlLimits.maxElements = o.maxXmlElements;
    xml::SetDocumentLimits(xmlLimits);
  }
}

Service::~Service() {
  impl_->front.reset();
  impl_->pool.reset();
}

int Service::Bind() {
  impl_->port = impl_->front->Bind(impl_->options.host, impl_->options.port);
  return impl_->port;
}

void Service::Run() {
  impl_->front->Run(impl_->options.ioThreads);
  impl_->pool->Stop();
}

void Service::Stop() { impl_->front->Stop(); }

void Service::Draining() { impl_->draining = true; }

std::string Service::Url() const {
  const std::string host = impl_->options.host.find(':') != std::string::npos
                               ? "[" + impl_->options.host + "]"
                               : impl_->options.host;
  return std::string(impl_->options.certificate.empty() ? "http" : "https") + "://" + host + ":" +
         std::to_string(impl_->port);
}

std::string Service::ConsoleFolder() const { return impl_->console ? impl_->console->Folder() : std::string(); }

void Service::SetLogSink(std::function<void(const std::string&)> sink) { impl_->sink = std::move(sink); }

}  // namespace kx::service
