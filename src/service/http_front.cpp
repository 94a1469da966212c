#include "service/http_front.h"

#include <openssl/ssl.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unordered_map>

namespace kx::service {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

namespace {

// TLS 1.2 suites: forward secrecy and AEAD only. TLS 1.3 offers only such suites anyway.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// After an answer that closes the connection, what the client still sends is read and dropped for
// a moment, so that the answer is not lost to a reset caused by unread data.
constexpr auto kLinger = std::chrono::seconds(2);
constexpr size_t kLingerBytes = 1u << 20;
// Unread bytes a connection may hold beyond its request head (pipelined requests, body pieces).
constexpr size_t kReadChunk = 64u << 10;

bool HasControl(std::string_view s) {
  for (unsigned char c : s)
    if ((c < 0x20 && c != '\t') || c == 0x7f) return true;
  return false;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Why a request head cannot be taken, as status and reason; status 0 when it can.
std::pair<int, std::string> CheckHead(const http::request_parser<http::string_body>& parser,
                                      const HttpLimits& limits) {
  const auto& msg = parser.get();
  size_t fields = 0, hosts = 0, lengths = 0, encodings = 0, authorizations = 0;
  for (const auto& f : msg) {
    ++fields;
    if (HasControl(f.name_string()) || HasControl(f.value()))
      return {400, "a header field holds a control character"};
    switch (f.name()) {
      case http::field::host: ++hosts; break;
      case http::field::content_length:
        ++lengths;
        // One length in digits, not a list of them, whatever a lenient reader would make of it.
        if (f.value().empty() || f.value().find_first_not_of("0123456789") != std::string_view::npos)
          return {400, "the Content-Length must be one number"};
        break;
      case http::field::authorization: ++authorizations; break;
      case http::field::transfer_encoding:
        ++encodings;
        if (!SameText(f.value(), "chunked")) return {400, "the only transfer coding accepted is chunked"};
        break;
      default: break;
    }
  }
  if (fields > limits.maxHeaders)
    return {431, "the request has more than " + std::to_string(limits.maxHeaders) + " header fields"};
  if (lengths > 1) return {400, "the request has several Content-Length fields"};
  if (encodings > 1) return {400, "the request has several Transfer-Encoding fields"};
  if (lengths && encodings) return {400, "the request has both Content-Length and Transfer-Encoding"};
  if (authorizations > 1) return {400, "the request has several Authorization fields"};
  if (hosts > 1 || (hosts == 0 && msg.version() >= 11)) return {400, "the request must have one Host field"};
  if (HasControl(msg.target()) || msg.target().empty() || msg.target()[0] != '/')
    return {400, "the request target must be a path"};
  return {0, {}};
}

// The status and reason of a failed read of a request (0: the client went away; say nothing). A
// passed deadline is told apart by the connection itself (its own timer cancels the read).
std::pair<int, std::string> ReadFailure(const beast::error_code& ec) {
  if (ec == http::error::header_limit) return {431, "the request head is larger than the limit"};
  if (ec == http::error::body_limit) return {413, "the request body is larger than the limit"};
  // The parser's own findings (a bad method, target, field, length, chunk or line ending) are the
  // client's fault; a stream that ended or broke is no request at all.
  if (ec.category() == make_error_code(http::error::bad_target).category() && ec != http::error::end_of_stream &&
      ec != http::error::partial_message && ec != http::error::need_more)
    return {400, "the request is malformed: " + ec.message()};
  return {0, {}};
}

}  // namespace

const std::string* HttpRequest::Header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (SameText(n, name)) return &v;
  return nullptr;
}

std::string PercentDecoded(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    int hi = 0, lo = 0;
    if (c == '%' && i + 2 < text.size() && (hi = HexValue(text[i + 1])) >= 0 && (lo = HexValue(text[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += plusIsSpace && c == '+' ? ' ' : c;
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> QueryParameters(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    out.emplace_back(PercentDecoded(pair.substr(0, eq), true),
                     eq == std::string_view::npos ? std::string() : PercentDecoded(pair.substr(eq + 1), true));
  }
  return out;
}

// ---- connections

class SessionBase {
 public:
  virtual ~SessionBase() = default;
  virtual void StopIdle() = 0;
};

struct HttpFront::Impl : std::enable_shared_from_this<HttpFront::Impl> {
  HttpLimits limits;
  RequestHandler handler;
  RefusalHandler refusal;
  net::io_context ioc;
  // The acceptor's work runs on a strand of its own: with several I/O threads, a stop never meets
  // an accept half done.
  tcp::acceptor acceptor{net::make_strand(ioc)};
  std::optional<ssl::context> tls;
  std::atomic<bool> stopping{false};
  net::steady_timer acceptRetry{acceptor.get_executor()};

  std::mutex mutex;  // guards what follows
  std::unordered_map<std::string, size_t> perClient;
  std::map<uint64_t, std::weak_ptr<SessionBase>> sessions;
  uint64_t nextId = 0;
  std::atomic<size_t> connections{0};

  void Accept();
  // Serves a connection just accepted, or closes it at once when a limit is reached.
  void Open(tcp::socket socket);
  // The last of the listener: connections the system has completed but not yet handed over are
  // taken and served (they were promised an answer), then the listening socket is closed.
  void CloseListener();
  // Admits a new connection from `client`: false when a limit is reached.
  bool Admit(const std::string& client, uint64_t& id);
  void Register(uint64_t id, const std::shared_ptr<SessionBase>& session) {
    std::lock_guard lock(mutex);
    sessions[id] = session;
  }
  void Release(uint64_t id, const std::string& client) {
    std::lock_guard lock(mutex);
    sessions.erase(id);
    if (auto it = perClient.find(client); it != perClient.end() && --it->second == 0) perClient.erase(it);
    --connections;
  }
  void StopAll() {
    std::vector<std::shared_ptr<SessionBase>> open;
    {
      std::lock_guard lock(mutex);
      for (auto& [id, weak] : sessions)
        if (auto s = weak.lock()) open.push_back(std::move(s));
    }
    for (auto& s : open) s->StopIdle();
  }
};

template <class Stream>
class Session : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
 public:
  template <class... StreamArgs>
  Session(std::shared_ptr<HttpFront::Impl> front, uint64_t id, std::string client, StreamArgs&&... args)
      : front_(std::move(front)),
        id_(id),
        client_(std::move(client)),
        stream_(std::forward<StreamArgs>(args)...),
        deadline_(stream_.get_executor()),
        buffer_(front_->limits.maxHeaderBytes + kReadChunk) {}
  ~Session() override { front_->Release(id_, client_); }

  void Start() {
    if constexpr (kTls) {
      Lowest().expires_after(std::chrono::seconds(front_->limits.headTimeout));
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code ec) {
                                if (ec) return self->Close();
                                self->WaitForRequest();
                              });
    } else {
      WaitForRequest();
    }
  }

  // A connection idle after an answer is closed; one that has not sent its first request yet gets a
  // moment to send it (a peer such as a load balancer may have sent it already); a request being
  // read is read and answered. Every answer from now on closes its connection.
  void StopIdle() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] {
      self->stopping_ = true;
      if (self->state_ != State::Idle) return;
      if (self->answered_) return self->Close();
      self->Arm(kFirstRequestGrace);
    });
  }

 private:
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;
  static constexpr int kFirstRequestGrace = 1;  // seconds, at shutdown
  enum class State { Idle, Head, Body, Call, Write, Closing };

  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

  // The deadline of the head or the body: when it passes, the read is cancelled and the client is
  // told 408 (the stream's own timer would close the socket without a word).
  void Arm(int seconds) {
    timedOut_ = false;
    deadline_.expires_after(std::chrono::seconds(seconds));
    deadline_.async_wait([self = this->shared_from_this(), armed = ++armed_](beast::error_code ec) {
      if (ec || armed != self->armed_ || self->closed_) return;
      self->timedOut_ = true;
      beast::error_code ignored;
      self->Lowest().socket().cancel(ignored);
    });
  }
  void Disarm() {
    ++armed_;
    deadline_.cancel();
  }

  // The next request: bytes already here (pipelined) are parsed at once; else the connection waits
  // for a first byte as long as an idle connection may.
  void WaitForRequest() {
    if (stopping_) return Close();
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(front_->limits.maxHeaderBytes));
    parser_->body_limit(front_->limits.bodyLimit);
    request_ = HttpRequest{};
    state_ = State::Idle;
    if (buffer_.size() > 0) return ReadHead();
    Lowest().expires_after(std::chrono::seconds(front_->limits.keepAliveTimeout));
    stream_.async_read_some(buffer_.prepare(kReadChunk),
                            [self = this->shared_from_this()](beast::error_code ec, size_t n) {
                              self->Disarm();
                              if (ec || self->closed_) return self->Close();
                              self->buffer_.commit(n);
                              self->ReadHead();
                            });
  }

  void ReadHead() {
    state_ = State::Head;
    Lowest().expires_never();
    Arm(front_->limits.headTimeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = this->shared_from_this()](beast::error_code ec, size_t) { self->OnHead(ec); });
  }

  void OnHead(beast::error_code ec) {
    Disarm();
    if (closed_) return;
    if (parser_->is_header_done()) Describe();
    if (timedOut_) return Refuse(408, "the request head did not arrive in time");
    if (ec) return Fail(ReadFailure(ec));
    if (auto [status, reason] = CheckHead(*parser_, front_->limits); status) return Refuse(status, reason);
    if (parser_->is_done()) return Dispatch();
    const auto expect = parser_->get()[http::field::expect];
    if (SameText(expect, "100-continue")) {
      state_ = State::Write;
      Lowest().expires_after(std::chrono::seconds(front_->limits.writeTimeout));
      static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      return net::async_write(stream_, net::buffer(kContinue, sizeof kContinue - 1),
                              [self = this->shared_from_this()](beast::error_code ec, size_t) {
                                if (ec || self->closed_) return self->Close();
                                self->ReadBody();
                              });
    }
    ReadBody();
  }

  void ReadBody() {
    state_ = State::Body;
    Lowest().expires_never();
    Arm(front_->limits.bodyTimeout);
    http::async_read(stream_, buffer_, *parser_, [self = this->shared_from_this()](beast::error_code ec, size_t) {
      self->Disarm();
      if (self->closed_) return;
      if (self->timedOut_) return self->Refuse(408, "the request body did not arrive in time");
      if (ec) return self->Fail(ReadFailure(ec));
      self->Dispatch();
    });
  }

  // What is known of the request once its head is read, for the handler and for refusals.
  void Describe() {
    const auto& msg = parser_->get();
    request_.method = std::string(msg.method_string());
    request_.target = std::string(msg.target());
    const auto q = request_.target.find('?');
    request_.path = PercentDecoded(std::string_view(request_.target).substr(0, q), false);
    request_.query = q == std::string::npos ? std::string() : request_.target.substr(q + 1);
    request_.headers.clear();
    for (const auto& f : msg) request_.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
    request_.client = client_;
    request_.complete = true;
    keepAlive_ = msg.keep_alive();
    version_ = msg.version();
  }

  void Dispatch() {
    state_ = State::Call;
    Lowest().expires_never();
    request_.body = std::move(parser_->get().body());
    // The I/O context keeps running while a call is in flight, even when nothing else waits.
    auto work = std::make_shared<net::executor_work_guard<net::io_context::executor_type>>(
        front_->ioc.get_executor());
    auto self = this->shared_from_this();
    front_->handler(request_, [self, work](HttpResponse response) { self->Answer(std::move(response)); });
  }

  // The answer of a call, on whichever thread finished it. Over plain TCP the thread sends what the
  // socket takes at once itself (nothing else touches the connection while its call runs), which
  // spares the answer a trip through the I/O thread; the rest, and TLS, go the usual way.
  void Answer(HttpResponse r) {
    if constexpr (!kTls) {
      const bool keep = KeepAfter(r);
      out_ = Render(r, keep);
      const ssize_t n = send(Lowest().socket().native_handle(), out_.data(), out_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      const size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
      net::post(stream_.get_executor(), [self = this->shared_from_this(), sent, keep] {
        if (sent == self->out_.size()) return self->Written({}, keep);
        self->Send(sent, keep);
      });
    } else {
      net::post(stream_.get_executor(),
                [self = this->shared_from_this(), r = std::move(r)]() mutable { self->Write(std::move(r)); });
    }
  }

  void Fail(const std::pair<int, std::string>& failure) {
    if (failure.first == 0) return Close();
    Refuse(failure.first, failure.second);
  }

  void Refuse(int status, const std::string& reason) {
    HttpResponse response = front_->refusal(status, reason, request_);
    response.close = true;
    Write(std::move(response));
  }

  bool KeepAfter(const HttpResponse& r) const { return keepAlive_ && !r.close && !stopping_; }

  // The answer as it goes on the wire.
  std::string Render(HttpResponse& r, bool keep) const {
    std::string out;
    out.reserve(r.body.size() + 256);
    const auto reason = http::obsolete_reason(static_cast<http::status>(r.status));
    out.append("HTTP/1.1 ").append(std::to_string(r.status)).append(" ").append(reason).append("\r\n");
    if (!r.contentType.empty()) out.append("Content-Type: ").append(r.contentType).append("\r\n");
    for (const auto& [name, value] : r.headers) out.append(name).append(": ").append(value).append("\r\n");
    // A 304 has no body and says nothing of its length.
    if (r.status != 304) out.append("Content-Length: ").append(std::to_string(r.body.size())).append("\r\n");
    if (!keep) out.append("Connection: close\r\n");
    else if (version_ < 11) out.append("Connection: keep-alive\r\n");
    out.append("\r\n");
    if (r.status != 304 && !r.headOnly) out.append(r.body);
    return out;
  }

  void Write(HttpResponse r) {
    if (closed_) return;
    const bool keep = KeepAfter(r);
    out_ = Render(r, keep);
    Send(0, keep);
  }

  void Send(size_t from, bool keep) {
    if (closed_) return;
    state_ = State::Write;
    Lowest().expires_after(std::chrono::seconds(front_->limits.writeTimeout));
    net::async_write(stream_, net::buffer(out_.data() + from, out_.size() - from),
                     [self = this->shared_from_this(), keep](beast::error_code ec, size_t) { self->Written(ec, keep); });
  }

  void Written(beast::error_code ec, bool keep) {
    out_.clear();
    answered_ = true;
    if (ec || closed_) return Close();
    if (keep) return WaitForRequest();
    Shutdown();
  }

  // Ends the connection after its last answer: the sending side is shut, and what the client still
  // sends is dropped for a moment so that the answer reaches it.
  void Shutdown() {
    state_ = State::Closing;
    if constexpr (kTls) {
      Lowest().expires_after(std::chrono::seconds(1));
      stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) { self->Close(); });
    } else {
      beast::error_code ignored;
      Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
      Lowest().expires_after(kLinger);
      Drain();
    }
  }

  void Drain() {
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(kReadChunk),
                            [self = this->shared_from_this()](beast::error_code ec, size_t n) {
                              self->lingered_ += n;
                              if (ec || self->closed_ || self->lingered_ > kLingerBytes) return self->Close();
                              self->Drain();
                            });
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    state_ = State::Closing;
    beast::error_code ignored;
    Lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
    Lowest().close();
  }

  std::shared_ptr<HttpFront::Impl> front_;
  uint64_t id_;
  std::string client_;
  Stream stream_;
  net::steady_timer deadline_;
  uint64_t armed_ = 0;
  bool timedOut_ = false;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::string out_;  // the answer being sent
  HttpRequest request_;
  State state_ = State::Idle;
  bool keepAlive_ = false, closed_ = false, answered_ = false;
  std::atomic<bool> stopping_{false};  // also read by the thread that finished a call
  unsigned version_ = 11;
  size_t lingered_ = 0;
};

bool HttpFront::Impl::Admit(const std::string& client, uint64_t& id) {
  std::lock_guard lock(mutex);
  if (connections >= limits.maxConnections) return false;
  size_t& mine = perClient[client];
  if (mine >= limits.maxConnectionsPerClient) {
    if (mine == 0) perClient.erase(client);
    return false;
  }
  ++mine;
  ++connections;
  id = ++nextId;
  return true;
}

void HttpFront::Impl::Open(tcp::socket socket) {
  beast::error_code ignored;
  const auto peer = socket.remote_endpoint(ignored);
  const std::string client = ignored ? std::string("?") : peer.address().to_string();
  uint64_t id = 0;
  if (!Admit(client, id)) {
    // Over a limit: closed at once, before a byte is read.
    socket.set_option(net::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
    return;
  }
  socket.set_option(tcp::no_delay(true), ignored);
  std::shared_ptr<SessionBase> session;
  if (tls) {
    auto s = std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(shared_from_this(), id, client,
                                                                             std::move(socket), *tls);
    s->Start();
    session = s;
  } else {
    auto s = std::make_shared<Session<beast::tcp_stream>>(shared_from_this(), id, client, std::move(socket));
    s->Start();
    session = s;
  }
  Register(id, session);
  if (stopping) session->StopIdle();
}

void HttpFront::Impl::Accept() {
  acceptor.async_accept(net::make_strand(ioc), [self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
    if (!ec) self->Open(std::move(socket));
    if (self->stopping || !self->acceptor.is_open()) return;
    if (ec) {
      // Out of descriptors or memory for a moment: try again shortly rather than spin.
      self->acceptRetry.expires_after(std::chrono::milliseconds(50));
      self->acceptRetry.async_wait([self](beast::error_code e) {
        if (!e && !self->stopping) self->Accept();
      });
      return;
    }
    self->Accept();
  });
}

void HttpFront::Impl::CloseListener() {
  beast::error_code ec;
  acceptor.non_blocking(true, ec);
  while (!ec && acceptor.is_open()) {
    tcp::socket socket(net::make_strand(ioc));
    acceptor.accept(socket, ec);
    if (!ec) Open(std::move(socket));
  }
  acceptor.close(ec);
  acceptRetry.cancel();
  StopAll();
}

HttpFront::HttpFront(HttpLimits limits, const std::string& certificate, const std::string& privateKey,
                     RequestHandler handler, RefusalHandler refusal)
    : impl_(std::make_shared<Impl>()) {
  impl_->limits = limits;
  impl_->handler = std::move(handler);
  impl_->refusal = std::move(refusal);
  if (certificate.empty()) return;
  impl_->tls.emplace(ssl::context::tls_server);
  auto& ctx = *impl_->tls;
  SSL_CTX* native = ctx.native_handle();
  // The service sets its own floor, whatever the system's OpenSSL configuration allows.
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  SSL_CTX_set_options(native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                  SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1);
  if (SSL_CTX_set_cipher_list(native, kTls12Ciphers) != 1)
    throw std::runtime_error("the TLS cipher suites cannot be set");
  beast::error_code ec;
  ctx.use_certificate_chain_file(certificate, ec);
  if (!ec) ctx.use_private_key_file(privateKey, ssl::context::pem, ec);
  if (ec || SSL_CTX_check_private_key(native) != 1)
    throw std::runtime_error("the certificate " + certificate + " or the private key " + privateKey +
                             " cannot be used");
}

HttpFront::~HttpFront() {
  Stop();
  // Whatever is still queued (a front that never ran) is run or dropped, so that nothing holding
  // the front outlives it.
  impl_->ioc.restart();
  impl_->ioc.poll();
  impl_->ioc.stop();
}

int HttpFront::Bind(const std::string& host, int port) {
  // Every connection is a descriptor: the soft limit goes up to the hard one.
  rlimit nofile{};
  if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < nofile.rlim_max) {
    nofile.rlim_cur = nofile.rlim_max;
    setrlimit(RLIMIT_NOFILE, &nofile);
  }
  beast::error_code ec;
  tcp::resolver resolver(impl_->ioc);
  const auto found = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
  if (ec || found.empty()) throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port));
  const tcp::endpoint endpoint = found.begin()->endpoint();
  auto& a = impl_->acceptor;
  a.open(endpoint.protocol(), ec);
  if (!ec) a.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) a.bind(endpoint, ec);
  if (!ec) a.listen(net::socket_base::max_listen_connections, ec);
  if (ec) throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) + ": " + ec.message());
  return a.local_endpoint().port();
}

void HttpFront::Run(int threads) {
  if (impl_->stopping) return;
  net::post(impl_->acceptor.get_executor(), [impl = impl_] { impl->Accept(); });
  std::vector<std::thread> more;
  for (int i = 1; i < threads; ++i) more.emplace_back([this] { impl_->ioc.run(); });
  impl_->ioc.run();
  for (auto& t : more) t.join();
}

void HttpFront::Stop() {
  if (impl_->stopping.exchange(true)) return;
  net::post(impl_->acceptor.get_executor(), [impl = impl_] { impl->CloseListener(); });
}

size_t HttpFront::Connections() const { return impl_->connections; }

}  // namespace kx::service
