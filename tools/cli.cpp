// The `kx` command line: the parser and every command. A module of its own (command::kCliModule),
// loaded by the `kx` program for any command line other than a plain call.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>

#include "kx/registry.h"
#include "tools/command.h"
#include "tools/copy.h"
#include "tools/demo.h"
#include "tools/serve.h"

namespace kx {
namespace {

int Init() {
  try {
    const DatabaseName name = SetUpDatabase();
    std::cout << "database ready: " << name.database << " on " << name.server << std::endl;
    return 0;
  } catch (const kx::Error& e) {
    return command::Fail(e, false);
  } catch (const std::exception& e) {
    return command::Fail(Error(kComponentError, "kx", e.what()), false);
  }
}

}  // namespace
}  // namespace kx

extern "C" int kx_cli_main(int argc, char** argv) {
  using namespace kx;
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
  ServeCommand serve(app);
  CopyCommand copy(app);

  CLI11_PARSE(app, argc, argv);
  if (!home.empty()) setenv("KX_HOME", home.c_str(), 1);
  if (!quiet && (*init || (*call && url.empty()) || *demo || serve.chosen())) command::ConfigNote();

  if (*init) return Init();
  if (*call) return command::Call(className, member, callArgs, json, !noTransaction, url, token);
  if (serve.chosen()) return serve.Run();
  if (copy.chosen()) return copy.Run();
  if (*demo) return RunDemo(std::cout);
  if (*classes) {
    for (const auto& name : Registry::Instance().ClassNames()) std::cout << name << "\n";
    return 0;
  }
  return 0;
}
