// The `kx` command: set up the database, call any public class member late-bound, run a demo.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string_view>

#include "runtime/host.h"
#include "runtime/ini.h"
#include "runtime/registry.h"
#include "service/call.h"
#include "service/json.h"
#include "shared/s_db_help_for_kx.h"
#include "tools/demo.h"
#include "tools/serve.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw kx::Error(53, "kx", "File not found: " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Hex(int32_t n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(n));
  return buf;
}

int Fail(const kx::Error& e, bool json) {
  if (json) {
    std::cout << kx::service::ErrorJson(e) << std::endl;
  } else {
    std::cerr << "error " << Hex(e.number()) << ": " << e.description() << std::endl;
  }
  return 1;
}

// Runs the call in-process, or sends it to the service at `url`, and prints its outcome.
int Call(const std::string& className, const std::string& member, const std::vector<std::string>& rawArgs,
         bool json, bool transaction, const std::string& url, const std::string& token) {
  kx::service::CallOutcome outcome;
  try {
    std::vector<std::string> texts;
    for (const auto& raw : rawArgs)
      texts.push_back(raw.size() > 1 && raw[0] == '@' ? ReadFile(raw.substr(1)) : raw);
    if (!url.empty()) {
      reinterpret_cast<kx::service::RemoteCallEntry*>(kx::ServiceEntry(kx::service::kRemoteCallEntry))(
          url, token, className, member, texts, outcome);
    } else {
      outcome = kx::service::RunCall(className, member, kx::Args(texts.begin(), texts.end()), transaction);
    }
  } catch (const kx::Error& e) {
    return Fail(e, json);
  }
  if (outcome.error) return Fail(*outcome.error, json);
  if (json) {
    std::cout << outcome.json << std::endl;
  } else if (!outcome.text.empty()) {
    std::cout << outcome.text << std::endl;
  }
  return 0;
}

int Init() {
  try {
    kx::S_DBHelpForKX helper;
    const std::string cs = helper.GetConnectionString();
    kx::db::InstallDatabase(cs);
    std::cout << "database ready: " << helper.database() << " on " << helper.server() << std::endl;
    return 0;
  } catch (const kx::Error& e) {
    return Fail(e, false);
  } catch (const std::exception& e) {
    return Fail(kx::Error(kx::kComponentError, "kx", e.what()), false);
  }
}

// Tells on stderr what in Config.ini cannot be used (naming the file and the key) and, to a
// terminal, which Config.ini the command reads or that there is none.
void ConfigNote() {
  const std::string path = kx::ConfigPath();
  if (isatty(STDERR_FILENO))
    std::cerr << (kx::IniFile::Load(path)->exists() ? "kx: settings from " + path
                                                    : "kx: no Config.ini at " + path + "; the defaults apply")
              << std::endl;
  if (const std::string problem = kx::config::Problem(path); !problem.empty())
    std::cerr << "kx: " << problem << std::endl;
}

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
    for (const char* command : {"init", "call", "demo", "classes", "serve"})
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
    if (!plain->quiet) ConfigNote();
    const int status =
        Call(plain->className, plain->member, plain->args, plain->json, !plain->noTransaction, "", "");
    // The call has ended and nothing the process still holds needs taking apart (the connection
    // pool and the class registry live until the process ends): with its output written, it ends
    // here without running the destructors of such objects.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(status);
  }
  CLI::App app{
      "kx: the KX back-office component on the command line.\n"
      "Settings come from Config.ini in the component folder ($KX_HOME, --home, or the folder of libkx)."};
  app.require_subcommand(1);
  std::string home;
  app.add_option("--home", home, "component folder holding Config.ini (sets KX_HOME)");
  bool quiet = false;
  app.add_flag("--quiet", quiet, "say nothing on stderr about Config.ini");

  auto* init = app.add_subcommand(
      "init", "create the database objects (tables, indexes, insert procedures); safe to repeat");

  auto* call = app.add_subcommand(
      "call",
      "create CLASS by name and invoke MEMBER late-bound; arguments map to the member's parameters in order\n"
      "(by-reference ones included); an argument @PATH is the content of file PATH; omitted trailing "
      "optional\n"
      "arguments take their defaults. The call runs in one transaction unless --no-transaction is given.");
  bool json = false, noTransaction = false;
  std::string className, member;
  std::vector<std::string> callArgs;
  call->add_flag("--json", json, "print {\"result\": R, \"out\": {NAME: V}} or {\"error\": {...}}");
  call->add_flag("--no-transaction", noTransaction, "let every statement stand on its own");
  std::string url, token;
  call->add_option("--url", url,
                   "send the call to the KX service at URL (http://HOST:PORT) instead of running it here");
  call->add_option("--token", token, "the bearer token for --url (default: $KX_TOKEN)")->envname("KX_TOKEN");
  call->add_option("CLASS", className, "class name, e.g. C_JBTypeProfile")->required();
  call->add_option("MEMBER", member, "member name, e.g. getElementByXML")->required();
  call->add_option("ARG", callArgs, "arguments");
  call->prefix_command(false);
  call->allow_extras(false);

  auto* demo = app.add_subcommand(
      "demo", "set up the database and walk records through their life, printing each step");
  auto* classes = app.add_subcommand("classes", "list the classes that can be created by name");
  kx::ServeCommand serve(app);

  CLI11_PARSE(app, argc, argv);
  if (!home.empty()) setenv("KX_HOME", home.c_str(), 1);
  if (!quiet && (*init || (*call && url.empty()) || *demo || serve.chosen())) ConfigNote();

  if (*init) return Init();
  if (*call) return Call(className, member, callArgs, json, !noTransaction, url, token);
  if (serve.chosen()) return serve.Run();
  if (*demo) return kx::RunDemo(std::cout);
  if (*classes) {
    for (const auto& name : kx::Registry::Instance().ClassNames()) std::cout << name << "\n";
    return 0;
  }
  return 0;
}
