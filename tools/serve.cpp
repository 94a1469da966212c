#include "tools/serve.h"

#include <iostream>

#include "kx/error.h"
#include "kx/host.h"
#include "tools/command.h"

namespace kx {

ServeCommand::ServeCommand(CLI::App& app) {
  command_ = app.add_subcommand(
      "serve",
      "answer the same calls as `kx call` over HTTP: POST /v1/CLASS/MEMBER with {\"args\": [...]} or\n"
      "{\"args\": {\"NAME\": value}}, one transaction per request; GET /healthz, /readyz, /metrics,\n"
      "/v1/_me, and the operator console at /.\n"
      "Settings come from section SERVICE of Config.ini; the options below override them.\n"
      "The first line on stdout is `listening on http://HOST:PORT`; SIGTERM or SIGINT stops the\n"
      "service after the calls in flight have finished.");
  command_->add_option("--listen", settings_.listen,
                       "HOST:PORT to listen on (default 127.0.0.1:8460; port 0 picks a free one)");
  command_->add_option("--tokens", settings_.tokens,
                       "token file: lines `NAME SHA256-OF-TOKEN Class.Member,...`; without one the service\n"
                       "listens on a loopback address only");
  command_->add_option("--workers", settings_.workers, "threads answering requests (default 16)")
      ->check(CLI::Range(1, 1024));
  command_->add_option("--body-limit", settings_.bodyLimit, "largest request body in bytes (default 16 MiB)")
      ->check(CLI::Range(size_t{1024}, size_t{1} << 30));
  command_
      ->add_option("--drain-timeout", settings_.drainTimeout,
                   "seconds calls in flight get at shutdown (default 30)")
      ->check(CLI::Range(1, 3600));
  command_->add_option("--cert", settings_.certificate, "certificate file (PEM): serve HTTPS");
  command_->add_option("--key", settings_.privateKey, "private key file (PEM) of --cert");
  command_->add_option("--console", settings_.console,
                       "folder of the operator console served at / (default: the installed one; `none`: no console)");
}

int ServeCommand::Run() {
  try {
    return reinterpret_cast<service::ServeEntry*>(command::ServiceEntry(service::kServeEntry))(settings_);
  } catch (const Error& e) {
    std::cerr << "kx serve: " << e.description() << std::endl;
    return 2;
  }
}

}  // namespace kx
