#include "tools/command.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "kx/host.h"
#include "runtime/ini.h"
#include "service/call.h"
#include "service/json.h"
#include "service/module.h"
#include "shared/s_db_help_for_kx.h"

namespace kx::command {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error(53, "kx", "File not found: " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Hex(int32_t n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(n));
  return buf;
}

// Writes `text` and a line feed to `stream`, and flushes it.
void PrintLine(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

int Fail(const Error& e, bool json) {
  if (json) {
    PrintLine(stdout, service::ErrorJson(e));
  } else {
    PrintLine(stderr, "error " + Hex(e.number()) + ": " + e.description());
  }
  return 1;
}

int Call(const std::string& className, const std::string& member, const std::vector<std::string>& rawArgs,
         bool json, bool transaction, const std::string& url, const std::string& token) {
  service::CallOutcome outcome;
  try {
    std::vector<std::string> texts;
    for (const auto& raw : rawArgs)
      texts.push_back(raw.size() > 1 && raw[0] == '@' ? ReadFile(raw.substr(1)) : raw);
    if (!url.empty()) {
      reinterpret_cast<service::RemoteCallEntry*>(ServiceEntry(service::kRemoteCallEntry))(
          url, token, className, member, texts, outcome);
    } else {
      outcome = service::RunCall(className, member, Args(texts.begin(), texts.end()), transaction);
    }
  } catch (const Error& e) {
    return Fail(e, json);
  }
  if (outcome.error) return Fail(*outcome.error, json);
  if (json) {
    PrintLine(stdout, outcome.json);
  } else if (!outcome.text.empty()) {
    PrintLine(stdout, outcome.text);
  }
  return 0;
}

void ConfigNote() {
  const std::string path = ConfigPath();
  PrintLine(stderr, IniFile::Load(path)->exists() ? "kx: settings from " + path
                                                  : "kx: no Config.ini at " + path + "; the defaults apply");
  if (const std::string problem = config::Problem(path); !problem.empty()) PrintLine(stderr, "kx: " + problem);
}

void* ServiceEntry(const char* name) {
  std::string why;
  void* entry = ModuleEntry(service::kServiceModule, name, why);
  if (!entry) throw Error(kComponentError, "kx", "The HTTP service module cannot be loaded: " + why);
  return entry;
}

}  // namespace kx::command
