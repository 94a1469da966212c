// What the listener of the HTTP front, its connections and the reading of a request share, private
// to them: the listener's state, the base of a connection, the start of a connection's session and
// the checks of a request head.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service/http_front.h"

namespace kx::service {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

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

// What follows is shared by these files only: it stays out of the module's exported symbols.
#pragma GCC visibility push(hidden)

// Serves the connection `socket` from `client`, admitted as `id`: over TLS when the front has a
// TLS context. The session is started and keeps itself alive while it serves.
std::shared_ptr<SessionBase> StartSession(std::shared_ptr<HttpFront::Impl> front, uint64_t id,
                                          const std::string& client, tcp::socket socket);

// Whether `a` and `b` are the same text without regard to case.
bool SameText(std::string_view a, std::string_view b);

// Why a request head cannot be taken, as status and reason; status 0 when it can.
std::pair<int, std::string> CheckHead(const http::request_parser<http::string_body>& parser,
                                      const HttpLimits& limits);

// The status and reason of a failed read of a request (0: the client went away; say nothing). A
// passed deadline is told apart by the connection itself (its own timer cancels the read).
std::pair<int, std::string> ReadFailure(const beast::error_code& ec);

#pragma GCC visibility pop

}  // namespace kx::service
