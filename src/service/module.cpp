// The entry points of the service module (see module.h).
#include "service/module.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

#include "kx/host.h"
#include "service/client.h"
#include "service/server.h"

using kx::service::ServeSettings;

extern "C" int kx_serve(const ServeSettings& settings) {
  namespace service = kx::service;
  // Signals are taken by one thread only, so that no worker is interrupted by them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<service::Service> running;
  try {
    service::ServiceOptions options = service::OptionsFromConfig(kx::ConfigPath());
    if (!settings.listen.empty()) service::ParseListen(settings.listen, options.host, options.port);
    if (!settings.tokens.empty()) options.tokens = settings.tokens;
    if (settings.workers > 0) options.workers = settings.workers;
    if (settings.bodyLimit > 0) options.http.bodyLimit = settings.bodyLimit;
    if (settings.drainTimeout > 0) options.drainTimeout = settings.drainTimeout;
    if (!settings.certificate.empty()) options.certificate = settings.certificate;
    if (!settings.privateKey.empty()) options.privateKey = settings.privateKey;
    if (!settings.console.empty()) options.console = settings.console;
    const int drain = options.drainTimeout, delay = options.stopDelay;
    const bool noTokens = options.tokens.empty();
    running = std::make_unique<service::Service>(std::move(options));
    running->Bind();
    std::cout << "listening on " << running->Url() << std::endl;
    if (const std::string console = running->ConsoleFolder(); !console.empty())
      std::cerr << "kx serve: the operator console at " << running->Url() << "/ from " << console << std::endl;
    if (noTokens)
      std::cerr << "kx serve: no token file: listening on the loopback address only; every local caller may "
                   "call the controllers (not S_DBHelpForKX or the E_/S_ classes)"
                << std::endl;

    std::thread([&running, stopSignals, drain, delay] {
      int signal = 0;
      sigwait(&stopSignals, &signal);
      const char* name = signal == SIGTERM ? "SIGTERM" : "SIGINT";
      if (delay > 0) {
        // Ready no more, but still serving, until a load balancer has seen it.
        running->Draining();
        std::cerr << "kx serve: " << name << ": not ready; closing the listener in " << delay << " s" << std::endl;
        std::this_thread::sleep_for(std::chrono::seconds(delay));
      }
      std::cerr << "kx serve: " << name << ": no new connections; finishing the calls in flight" << std::endl;
      running->Stop();
      // The calls in flight get `drain` seconds; then the process ends without them.
      std::this_thread::sleep_for(std::chrono::seconds(drain));
      std::cerr << "kx serve: calls still running after " << drain << " s; exiting without them" << std::endl;
      _exit(1);
    }).detach();
    running->Run();
  } catch (const std::exception& e) {
    std::cerr << "kx serve: " << e.what() << std::endl;
    return 2;
  }
  std::cerr << "kx serve: stopped" << std::endl;
  return 0;
}

extern "C" void kx_remote_call(const std::string& url, const std::string& token, const std::string& className,
                               const std::string& member, const std::vector<std::string>& args,
                               kx::service::CallOutcome& outcome) {
  outcome = kx::service::RemoteCall(url, token, className, member, args);
}
