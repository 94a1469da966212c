// The `kx` command: set up the database, call any public class member late-bound, run a demo.
// A plain in-process call is read and run here, with nothing but the library; every other
// command line goes to the command-line module (command::kCliModule), which holds the parser and
// the commands, so that a plain call neither loads nor sets up either.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kx/host.h"
#include "tools/command.h"

namespace {

// The plain in-process call: `kx [--home DIR] [--quiet] call [--json] [--no-transaction] CLASS
// MEMBER [ARG...]`.
struct PlainCall {
  std::string home;
  bool quiet = false;
  bool json = false;
  bool noTransaction = false;
  std::string className, member;
  std::vector<std::string> args;
};

// Reads a plain call without building the command-line parser, whose set-up costs a short call
// more than the rest of its argument handling. Whatever the parser could read in another way is
// left to it (nothing): a word starting with '-' other than the options above, a word naming a
// command, an option given twice, a missing CLASS or MEMBER.
std::optional<PlainCall> ReadPlainCall(int argc, char** argv) {
  const auto plainWord = [](std::string_view w) {
    for (const char* command : {"init", "call", "demo", "classes", "serve", "copy"})
      if (w == command) return false;
    return w.empty() || w[0] != '-';
  };
  PlainCall c;
  bool home = false;
  int i = 1;
  for (;; ++i) {
    if (i >= argc) return std::nullopt;
    const std::string_view w = argv[i];
    if (w == "call") break;
    if (w == "--home" && !home && i + 1 < argc && plainWord(argv[i + 1])) {
      c.home = argv[++i];
      home = true;
    } else if (w == "--quiet" && !c.quiet) {
      c.quiet = true;
    } else {
      return std::nullopt;
    }
  }
  for (++i; i < argc; ++i) {
    const std::string_view w = argv[i];
    if (w == "--json" && !c.json) {
      c.json = true;
    } else if (w == "--no-transaction" && !c.noTransaction) {
      c.noTransaction = true;
    } else if (plainWord(w)) {
      break;
    } else {
      return std::nullopt;
    }
  }
  if (argc - i < 2) return std::nullopt;
  c.className = argv[i++];
  c.member = argv[i++];
  for (; i < argc; ++i) {
    if (!plainWord(argv[i])) return std::nullopt;
    c.args.emplace_back(argv[i]);
  }
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  if (const auto plain = ReadPlainCall(argc, argv)) {
    if (!plain->home.empty()) setenv("KX_HOME", plain->home.c_str(), 1);
    if (!plain->quiet) kx::command::ConfigNote();
    const int status = kx::command::Call(plain->className, plain->member, plain->args, plain->json,
                                         !plain->noTransaction, "", "");
    // The call has ended and nothing the process still holds needs taking apart (the connection
    // pool and the class registry live until the process ends): with its output written, it ends
    // here without running the destructors of such objects.
    std::fflush(nullptr);
    std::_Exit(status);
  }
  std::string why;
  auto* cli = reinterpret_cast<kx::command::CliEntry*>(
      kx::ModuleEntry(kx::command::kCliModule, kx::command::kCliEntry, why));
  if (!cli) {
    std::fprintf(stderr, "kx: the command-line module cannot be loaded: %s\n", why.c_str());
    return 1;
  }
  return cli(argc, argv);
}
