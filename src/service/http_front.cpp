// The listener of the HTTP front: binding, accepting under the connection limits, the TLS set-up,
// the I/O threads and the stop. Each accepted connection is served by a session
// (http_session.cpp).
#include "service/http_front.h"

#include <openssl/ssl.h>
#include <sys/resource.h>

#include <stdexcept>
#include <thread>

#include "service/http_connection.h"

namespace kx::service {
namespace {

// TLS 1.2 suites: forward secrecy and AEAD only. TLS 1.3 offers only such suites anyway.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

}  // namespace

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
  const std::shared_ptr<SessionBase> session = StartSession(shared_from_this(), id, client, std::move(socket));
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
