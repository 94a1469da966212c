// A connection of the HTTP front: reading each request under the limits and deadlines, handing
// it to the handler, sending the answer and closing the connection when it ends.
#include "service/http_connection.h"

#include <sys/socket.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <type_traits>

namespace kx::service {
namespace {

// After an answer that closes the connection, what the client still sends is read and dropped for
// a moment, so that the answer is not lost to a reset caused by unread data.
constexpr auto kLinger = std::chrono::seconds(2);
constexpr size_t kLingerBytes = 1u << 20;
// Unread bytes a connection may hold beyond its request head (pipelined requests, body pieces).
constexpr size_t kReadChunk = 64u << 10;

}  // namespace

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

std::shared_ptr<SessionBase> StartSession(std::shared_ptr<HttpFront::Impl> front, uint64_t id,
                                          const std::string& client, tcp::socket socket) {
  if (front->tls) {
    ssl::context& tls = *front->tls;
    auto s = std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(std::move(front), id, client,
                                                                             std::move(socket), tls);
    s->Start();
    return s;
  }
  auto s = std::make_shared<Session<beast::tcp_stream>>(std::move(front), id, client, std::move(socket));
  s->Start();
  return s;
}

}  // namespace kx::service
