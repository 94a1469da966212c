// The `kx` command: set up the database, call any public class member late-bound, run a demo.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "runtime/host.h"
#include "runtime/ini.h"
#include "runtime/registry.h"
#include "service/call.h"
#include "service/json.h"
#include "shared/s_db_help_for_kx.h"  // config::Problem
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
    const kx::DatabaseName name = kx::SetUpDatabase();
    std::cout << "database ready: " << name.database << " on " << name.server << std::endl;
    return 0;
  } catch (const kx::Error& e) {
    return Fail(e, false);
  } catch (const std::exception& e) {
    return Fail(kx::Error(kx::kComponentError, "kx", e.what()), false);
  }
}

// Tells on stderr which Config.ini the command reads, or that there is none, and what in it cannot
// be used (naming the file and the key).
void ConfigNote() {
  const std::string path = kx::ConfigPath();
  std::cerr << (kx::IniFile::Load(path)->exists() ? "kx: settings from " + path
                                                  : "kx: no Config.ini at " + path + "; the defaults apply")
            << std::endl;
  if (const std::string problem = kx::config::Problem(path); !problem.empty())
    std::cerr << "kx: " << problem << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
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
