// `kx serve`: the registered classes over HTTP, until SIGTERM or SIGINT.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "service/module.h"

namespace kx {

class ServeCommand {
 public:
  // Adds the subcommand and its options to `app`.
  explicit ServeCommand(CLI::App& app);
  bool chosen() const { return command_->parsed(); }
  // Serves; returns the exit status (0 after a clean shutdown, 2 when the service cannot start).
  int Run();

 private:
  CLI::App* command_;
  service::ServeSettings settings_;
};

}  // namespace kx
