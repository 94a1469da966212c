// `kx copy`: every table of the component from one installation's database to another's, of any
// engines, and the check that both hold the same.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

namespace kx {

class CopyCommand {
 public:
  // Adds the subcommand and its options to `app`.
  explicit CopyCommand(CLI::App& app);
  bool chosen() const { return command_->parsed(); }
  // Copies (0: done, 1: failed) or checks (0: the same, 1: they differ, 2: the check failed).
  int Run();

 private:
  int Copy();
  int Check();

  CLI::App* command_;
  std::string from_, to_;
  bool replace_ = false, check_ = false;
  int64_t batchRows_ = 5000;
};

}  // namespace kx
