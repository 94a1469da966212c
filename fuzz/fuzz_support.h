// What the fuzz targets share: a component home with an SQLite database, late-bound calls on the
// type profile controller, answers read back, and checks that stop the run with a message.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/db/connection.h"
#include "kx/error.h"
#include "kx/registry.h"
#include "kx/variant.h"
#include "runtime/xml.h"
#include "shared/s_db_help_for_kx.h"

namespace kx::fuzz {

// Stops the run (libFuzzer keeps the input) when `ok` is false; the message says what broke.
inline void Check(bool ok, const std::string& what, const std::string& detail = "") {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n%s\n", what.c_str(), detail.c_str());
  std::abort();
}

// The source tree's schema folder, with its final separator.
inline std::string SchemaFolder() { return std::string(KX_SOURCE_DIR) + "/schemas/"; }

// Makes a fresh component folder with an SQLite database and the source tree's schemas, sets it
// as KX_HOME for the rest of the run and removes it when the run ends.
inline void MakeHome() {
  static char pattern[] = "/tmp/kx-fuzz.XXXXXX";
  const char* folder = mkdtemp(pattern);
  Check(folder != nullptr, "the fuzz home folder cannot be made");
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
  });
  setenv("KX_HOME", folder, 1);
  const std::string config = std::string(folder) + "/Config.ini";
  FILE* f = std::fopen(config.c_str(), "w");
  Check(f != nullptr, "Config.ini cannot be written");
  std::fprintf(f, "[DATABASE]\nPROVIDER=SQLite\nDATABASENAME=kxfuzz\n[XML]\nXMLSCHEMAPATH=%s\n",
               SchemaFolder().c_str());
  std::fclose(f);
  db::InstallDatabase(S_DBHelpForKX().GetConnectionString());
}

// A type profile row as the model keeps it: name and category by code.
using Rows = std::map<std::string, std::pair<std::string, std::string>>;

// The outcome of a late-bound call: its result, or the error it raised.
struct Outcome {
  Variant result;
  std::optional<Error> error;
};

// Invokes `member` of a new C_JBTypeProfile through the registry; `args` come back changed.
inline Outcome Call(const std::string& member, Args& args) {
  auto& registry = Registry::Instance();
  const ObjectPtr controller = registry.Create("C_JBTypeProfile");
  try {
    return Outcome{registry.Invoke(*controller, member, args), std::nullopt};
  } catch (const Error& e) {
    return Outcome{Variant(), e};
  }
}

// Checks that `answer` is a document of type profiles and returns its rows; a code that appears
// twice breaks the check.
inline Rows AnswerRows(const std::string& answer) {
  std::string reason;
  const auto doc = xml::Document::Parse(answer, reason);
  Check(doc != nullptr, "an answer does not parse: " + reason, answer);
  Check(doc->Root().Name() == "Root" && doc->FirstElement("JBTypeProfiles"), "an answer lacks its list",
        answer);
  Rows rows;
  for (const auto& e : doc->ElementsByTagName("JBTypeProfile")) {
    const auto code = e.Attribute("Code"), name = e.Attribute("JBTypeName"),
               category = e.Attribute("JBTypeCategory");
    Check(code && name && category, "an answer row lacks an attribute", answer);
    Check(rows.emplace(*code, std::make_pair(*name, *category)).second, "an answer holds a code twice",
          answer);
  }
  return rows;
}

// Every row of the table, read through the controller's search without conditions.
inline Rows TableRows() {
  Args args{Variant(), Variant(), Variant(int16_t{0}), Variant(int16_t{0}), Variant("")};
  const Outcome out = Call("queryOwnedElementsByXML", args);
  Check(!out.error, "the search without conditions fails", out.error ? out.error->description() : "");
  const Rows rows = AnswerRows(CStr(out.result));
  Check(CLng(args[0]) == static_cast<int32_t>(rows.size()), "ResultCount differs from the rows answered");
  return rows;
}

// The text of `rows`, one per line, for failure messages.
inline std::string Describe(const Rows& rows) {
  std::string out;
  for (const auto& [code, row] : rows) out += "[" + code + "] [" + row.first + "] [" + row.second + "]\n";
  return out;
}

// A request element carrying the three values, with what XML requires escaped.
inline std::string Request(const std::string& code, const std::string& name, const std::string& category) {
  const auto escape = [](const std::string& s) {
    std::string out;
    for (const char c : s) {
      if (c == '&')
        out += "&amp;";
      else if (c == '<')
        out += "&lt;";
      else if (c == '"')
        out += "&quot;";
      else
        out += c;
    }
    return out;
  };
  return "<JBTypeProfile Code=\"" + escape(code) + "\" JBTypeName=\"" + escape(name) +
         "\" JBTypeCategory=\"" + escape(category) + "\"/>";
}

}  // namespace kx::fuzz
