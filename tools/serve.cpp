#include "tools/serve.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include "runtime/host.h"
#include "service/server.h"

namespace kx {

ServeCommand::ServeCommand(CLI::App& app) {
  command_ = app.add_subcommand(
      "serve",
      "answer the same calls as `kx call` over HTTP: POST /v1/CLASS/MEMBER with {\"args\": [...]} or\n"
      "{\"args\": {\"NAME\": value}}, one transaction per request; GET /healthz, /readyz, /metrics.\n"
      "Settings come from section SERVICE of Config.ini; the options below override them.\n"
      "The first line on stdout is `listening on http://HOST:PORT`; SIGTERM or SIGINT stops the\n"
      "service after the calls in flight have finished.");
  command_->add_option("--listen", listen_,
                       "HOST:PORT to listen on (default 127.0.0.1:8460; port 0 picks a free one)");
  command_->add_option("--tokens", tokens_,
                       "token file: lines `NAME SHA256-OF-TOKEN Class.Member,...`; without one the service\n"
                       "listens on a loopback address only");
  command_->add_option("--workers", workers_, "threads answering requests (default 16)")
      ->check(CLI::Range(1, 1024));
  command_->add_option("--body-limit", bodyLimit_, "largest request body in bytes (default 16 MiB)")
      ->check(CLI::Range(size_t{1024}, size_t{1} << 30));
  command_
      ->add_option("--drain-timeout", drainTimeout_, "seconds calls in flight get at shutdown (default 30)")
      ->check(CLI::Range(1, 3600));
  command_->add_option("--cert", certificate_, "certificate file (PEM): serve HTTPS");
  command_->add_option("--key", privateKey_, "private key file (PEM) of --cert");
}

int ServeCommand::Run() {
  // Signals are taken by one thread only, so that no worker is interrupted by them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<service::Service> service;
  try {
    service::ServiceOptions options = service::OptionsFromConfig(ConfigPath());
    if (!listen_.empty()) service::ParseListen(listen_, options.host, options.port);
    if (!tokens_.empty()) options.tokens = tokens_;
    if (workers_ > 0) options.workers = workers_;
    if (bodyLimit_ > 0) options.bodyLimit = bodyLimit_;
    if (drainTimeout_ > 0) options.drainTimeout = drainTimeout_;
    if (!certificate_.empty()) options.certificate = certificate_;
    if (!privateKey_.empty()) options.privateKey = privateKey_;
    const int drain = options.drainTimeout;
    const bool noTokens = options.tokens.empty();
    service = std::make_unique<service::Service>(std::move(options));
    service->Bind();
    std::cout << "listening on " << service->Url() << std::endl;
    if (noTokens)
      std::cerr << "kx serve: no token file: listening on the loopback address only; every local caller may "
                   "call the controllers (not S_DBHelpForKX or the E_/S_ classes)"
                << std::endl;

    std::thread([&service, stopSignals, drain] {
      int signal = 0;
      sigwait(&stopSignals, &signal);
      std::cerr << "kx serve: " << (signal == SIGTERM ? "SIGTERM" : "SIGINT")
                << ": no new connections; finishing the calls in flight" << std::endl;
      service->Stop();
      // The calls in flight get `drain` seconds; then the process ends without them.
      std::this_thread::sleep_for(std::chrono::seconds(drain));
      std::cerr << "kx serve: calls still running after " << drain << " s; exiting without them" << std::endl;
      _exit(1);
    }).detach();
    service->Run();
  } catch (const std::exception& e) {
    std::cerr << "kx serve: " << e.what() << std::endl;
    return 2;
  }
  std::cerr << "kx serve: stopped" << std::endl;
  return 0;
}

}  // namespace kx
