#include "framework/search.h"

#include "framework/entity.h"
#include "runtime/error.h"
#include "shared/mod_kx_common.h"
#include "shared/mod_kx_xml.h"

namespace kx {

SearchPlan SearchPlan::FromFields(const EntityDef& entity) {
  SearchPlan plan;
  for (const auto& f : entity.fields)
    if (!f.column.empty()) plan.fields.push_back({f.property, " And " + f.column, 0, ""});
  return plan;
}

std::string Comparison(const std::string& word, const std::string& key, const std::string& suffix) {
  const std::string k = Str2SQL(key);
  if (word == "Include") return " like '%" + k + "%'";
  if (word == "BeginWith") return " like '" + k + "%'";
  if (word == ">" || word == ">=" || word == "<" || word == "<=" || word == "=")
    return " " + word + suffix + " '" + k + "'";
  return "";
}

namespace {

// The value of a condition attribute; a missing one fails as an object that is not set.
std::string Required(const xml::Element& e, const char* name) {
  auto value = e.Attribute(name);
  if (!value) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
  return *value;
}

}  // namespace

std::vector<std::string> BuildSearchClauses(const std::string& accessKey, const SearchPlan& plan) {
  std::vector<std::string> clauses = plan.clauseStarts;
  if (accessKey.empty()) return clauses;
  const auto doc = LoadValidated(accessKey, Sch_AccessKey(), " The AccessKey is wrong ");
  for (const auto& condition : doc->ElementsByTagName("AccessKey")) {
    const std::string field = Required(condition, "Field");
    const std::string word = Required(condition, "SearchCondition");
    const std::string key = Trim(Required(condition, "Key"));
    if (key.empty()) continue;
    const SearchField* match = nullptr;
    for (const auto& f : plan.fields)
      if (f.field == field) match = &f;
    if (!match && plan.skipUnknownFields) continue;
    // A condition without its column or its comparison would leave a statement that some engines
    // run with a different meaning instead of refusing it: refuse it here, on every engine.
    if (!match) throw Error(9999, "", "The search field '" + field + "' is unknown");
    const std::string comparison = Comparison(word, key, match->wordSuffix);
    if (comparison.empty()) throw Error(9999, "", "The search condition '" + word + "' is unknown");
    clauses.at(match->clause) += match->fragment + comparison;
  }
  return clauses;
}

}  // namespace kx
