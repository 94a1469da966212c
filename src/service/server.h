// The HTTP service: the registered classes' members called over HTTP/1.1 with JSON, each call in
// its own transaction scope, with bearer tokens, limits, health, readiness and metrics.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "service/http_front.h"

namespace kx::service {

struct ServiceOptions {
  std::string host = "127.0.0.1";
  int port = 8460;                       // 0 picks a free port
  int workers = 16;                      // threads running calls
  int ioThreads = 1;                     // threads reading and writing connections
  size_t queue = 1024;                   // calls waiting for a worker; beyond it: 503 at once
  std::string tokens;                    // token file; empty: loopback only, no tokens
  HttpLimits http;                       // what one client may send and hold open
  size_t maxXmlAttributes = 0;           // attributes on one element of an XML request (0: the library's)
  size_t maxXmlElements = 0;             // elements of an XML request (0: the library's)
  int drainTimeout = 30;                 // seconds in-flight calls get to finish at shutdown
  int stopDelay = 0;                     // seconds /readyz says 503 before a stop closes the listener
  std::string certificate, privateKey;   // both set: HTTPS (TLS 1.2 or later)
  std::string console;                   // the console's folder; empty: the default one; "none": no console
};


// The options of section SERVICE of Config.ini (LISTEN, WORKERS, IOTHREADS, QUEUE, TOKENFILE,
// HEADTIMEOUT, BODYTIMEOUT (formerly READTIMEOUT), WRITETIMEOUT, KEEPALIVETIMEOUT, BODYLIMIT,
// MAXHEADERS, MAXHEADERBYTES, MAXCONNECTIONS, MAXCONNECTIONSPERCLIENT, MAXXMLATTRIBUTES,
// MAXXMLELEMENTS, DRAINTIMEOUT, STOPDELAY, CERTIFICATE, PRIVATEKEY, CONSOLE) over the defaults; a value that cannot be
// used fails with a std::runtime_error naming the file and key.
ServiceOptions OptionsFromConfig(const std::string& configPath);

// Splits "HOST:PORT" ("[::1]:8460" for IPv6); fails with std::runtime_error on a bad value.
void ParseListen(const std::string& listen, std::string& host, int& port);

// Whether `host` is a loopback address (127.0.0.0/8, ::1, localhost).
bool IsLoopback(const std::string& host);

class Service {
 public:
  // Checks the options (a token file that cannot be used, a non-loopback address without tokens
  // and half a TLS configuration fail here with std::runtime_error).
  explicit Service(ServiceOptions options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Binds the listening socket and returns the port (the one picked when the option is 0).
  int Bind();
  // Serves until Stop(); the calls in flight are finished before it returns.
  void Run();
  // Stops accepting connections; Run() returns once the calls in flight are done. Safe from any
  // thread, also before Run().
  void Stop();
  // From now on /readyz answers 503 ("the service is stopping") while everything else is served as
  // before, so that a load balancer takes the service out before Stop() closes its listener.
  void Draining();
  // The URL the service answers at, "http://HOST:PORT".
  std::string Url() const;
  // The folder the operator console is served from; empty when there is none.
  std::string ConsoleFolder() const;

  // Where each access-log line goes (default: stderr, one write per line).
  void SetLogSink(std::function<void(const std::string&)> sink);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kx::service
