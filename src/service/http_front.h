// The HTTP/1.1 front of the service: an event-driven listener (Boost.Beast over Asio) where an
// open connection costs a socket and a small buffer, never a thread. It enforces the limits on
// everything a client sends before anything else looks at it (header count and bytes, body bytes
// however framed, a deadline for the head and one for the body, idle keep-alive, connections in
// all and per client address) and accepts only unambiguous framing. Requests that pass go to the
// handler; it answers through a callback, from any thread, once.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx::service {

struct HttpLimits {
  size_t maxHeaders = 100;              // header fields in one request
  size_t maxHeaderBytes = 32u << 10;    // request line and header fields together
  size_t bodyLimit = 16u << 20;         // body bytes, whatever the framing
  int headTimeout = 10;                 // seconds from a request's first byte to the end of its head
  int bodyTimeout = 60;                 // seconds for the whole body
  int keepAliveTimeout = 5;             // seconds a connection may wait idle for its next request
  int writeTimeout = 30;                // seconds to send an answer
  size_t maxConnections = 1024;         // open connections in all
  size_t maxConnectionsPerClient = 64;  // open connections from one client address
};

struct HttpRequest {
  std::string method;
  std::string target;  // as sent
  std::string path;    // the target up to '?', percent-decoded
  std::string query;   // after '?', as sent
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string client;  // the peer's address
  bool complete = false;  // false: a request refused before its head was read whole

  // The first header field of that name (without regard to case), or nullptr.
  const std::string* Header(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool close = false;  // close the connection after this answer
  bool headOnly = false;  // an answer to HEAD: the body's length is sent, not the body
};

using Respond = std::function<void(HttpResponse)>;
// Runs on an I/O thread for every request that passed the front's checks; it must not block, and
// it calls `respond` exactly once, then or later, from any thread.
using RequestHandler = std::function<void(HttpRequest& request, Respond respond)>;
// Runs on an I/O thread for a request the front refused itself (status 400, 408, 413 or 431, with
// the reason), and gives the answer to send; the connection is closed after it.
using RefusalHandler = std::function<HttpResponse(int status, const std::string& reason, const HttpRequest&)>;

class HttpFront {
 public:
  // With a certificate and key (PEM files) the front speaks TLS 1.2 or later only; a file that
  // cannot be used fails here with std::runtime_error.
  HttpFront(HttpLimits limits, const std::string& certificate, const std::string& privateKey,
            RequestHandler handler, RefusalHandler refusal);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Binds and listens; returns the port (the one picked when `port` is 0).
  int Bind(const std::string& host, int port);
  // Serves with `threads` I/O threads (the caller's among them) until Stop(), then until every
  // connection has closed: a call in flight is answered first.
  void Run(int threads);
  // Stops accepting and closes every connection that is not waiting for its call's answer; those
  // close once they have answered. Safe from any thread, also before Run().
  void Stop();
  // Open connections now.
  size_t Connections() const;

  struct Impl;  // the listener and its connections (http_connection.h)

 private:
  std::shared_ptr<Impl> impl_;
};

// Decodes %XX escapes (and '+' as a blank when `plusIsSpace`); a malformed escape stays as it is.
std::string PercentDecoded(std::string_view text, bool plusIsSpace);

// The NAME=VALUE pairs of a query string, decoded.
std::vector<std::pair<std::string, std::string>> QueryParameters(std::string_view query);

}  // namespace kx::service
