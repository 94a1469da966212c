// Type profiles added, modified and removed through the registry, checked against an in-memory
// model of the table: after an accepted add or modify the row holds exactly the values the
// request carried, after a refused call the table is unchanged, and every answer parses.
//
// The first byte picks the member (add, modify, remove) and the form of the rest: the request text
// as it is, or three values (split at 0x1F) written into a request element.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "shared/mod_kx_xml.h"

namespace {

using kx::fuzz::Check;
using kx::fuzz::Rows;

// The model of the table.
Rows model;

// The values a request carries, read as the controller reads them, or nothing when its schema
// refuses it.
std::optional<std::array<std::string, 3>> Carried(const std::string& request) {
  static const std::string schema = kx::fuzz::SchemaFolder() + "KX_XMLSCHEMA/JBTypeProfile_Add&Modify.xsd";
  try {
    const auto doc = kx::LoadValidated(request, schema);
    const kx::xml::Element e = doc->FirstElement("JBTypeProfile");
    return std::array<std::string, 3>{e.Attribute("Code").value_or(""),
                                      e.Attribute("JBTypeName").value_or(""),
                                      e.Attribute("JBTypeCategory").value_or("")};
  } catch (const kx::Error&) {
    return std::nullopt;
  }
}

// The request text of the input after its first byte.
std::string RequestText(const std::string& rest, bool asValues) {
  if (!asValues) return rest;
  const size_t a = rest.find('\x1F'), b = a == std::string::npos ? a : rest.find('\x1F', a + 1);
  const auto part = [&](size_t from, size_t to) {
    return from > rest.size() ? std::string() : rest.substr(from, to == std::string::npos ? to : to - from);
  };
  return kx::fuzz::Request(part(0, a), a == std::string::npos ? "" : part(a + 1, b),
                           b == std::string::npos ? "" : part(b + 1, std::string::npos));
}

// Checks a call the model refuses: a component error with the member's procedure text.
void CheckRefused(const kx::fuzz::Outcome& out, const std::string& procedure, const std::string& input) {
  Check(out.error.has_value(), procedure + " succeeded where the model refuses it", input);
  Check(out.error->number() == kx::kComponentError, "a refusal is no component error",
        out.error->description());
  Check(out.error->description().rfind(procedure, 0) == 0, "a refusal lacks its procedure text",
        out.error->description());
}

// Checks that getElementByXML answers the model's row of `code`.
void CheckFetched(const std::string& code) {
  kx::Args args{kx::Variant(code)};
  const auto out = kx::fuzz::Call("getElementByXML", args);
  Check(!out.error, "a stored row cannot be fetched", out.error ? out.error->description() : code);
  const Rows rows = kx::fuzz::AnswerRows(kx::CStr(out.result));
  Check(rows.size() == 1 && rows.begin()->first == code && rows.begin()->second == model.at(code),
        "a fetched row differs from the model", kx::fuzz::Describe(rows));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kx::fuzz::MakeHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int member = data[0] % 3;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (member == 2) {
    kx::Args args{kx::Variant(rest)};
    const auto out = kx::fuzz::Call("remove", args);
    if (model.count(rest)) {
      Check(!out.error, "removing a stored row failed", out.error ? out.error->description() : rest);
      model.erase(rest);
    } else {
      CheckRefused(out, "remove Sub", rest);
    }
  } else {
    const std::string request = RequestText(rest, (data[0] / 3) % 2 == 1);
    const auto carried = Carried(request);
    kx::Args args{kx::Variant(request)};
    const auto out = kx::fuzz::Call(member == 0 ? "add" : "modify", args);
    const std::string procedure = member == 0 ? "add Sub" : "modify Sub";
    // add needs a new code, modify a stored one.
    const bool accepted = carried && (model.count((*carried)[0]) == (member == 1));
    if (accepted) {
      Check(!out.error, procedure + " failed where the model accepts it",
            request + "\n" + (out.error ? out.error->description() : ""));
      model[(*carried)[0]] = {(*carried)[1], (*carried)[2]};
      CheckFetched((*carried)[0]);
    } else {
      CheckRefused(out, procedure, request);
    }
  }
  const Rows table = kx::fuzz::TableRows();
  Check(table == model, "the table differs from the model",
        "table:\n" + kx::fuzz::Describe(table) + "model:\n" + kx::fuzz::Describe(model));
  // Keeps the table small: past a few dozen rows it is emptied through remove.
  if (model.size() > 40) {
    for (const auto& [code, row] : Rows(model)) {
      kx::Args args{kx::Variant(code)};
      const auto out = kx::fuzz::Call("remove", args);
      Check(!out.error, "emptying the table failed", out.error ? out.error->description() : code);
      model.erase(code);
    }
  }
  return 0;
}
