#include "framework/search.h"

#include "framework/record.h"
#include "kx/error.h"
#include "shared/mod_kx_common.h"
#include "shared/mod_kx_xml.h"

namespace kx {

SearchPlan SearchPlan::FromRecord(const RecordDef& record) { return FromRecord(record, ""); }

SearchPlan SearchPlan::FromRecord(const RecordDef& record, const std::string& alias) {
  SearchPlan plan;
  const std::string prefix = " And " + (alias.empty() ? "" : alias + ".");
  for (const FieldSpec& f : record.fields)
    if (!f.column.empty() && f.searchable)
      plan.fields.push_back({std::string(f.searchName.empty() ? f.property : f.searchName),
                             prefix + std::string(f.column), 0, std::string(f.searchSuffix), f.type});
  return plan;
}

std::optional<db::Statement> Comparison(const std::string& word, const std::string& key,
                                        const std::string& suffix) {
  // The suffix is part of the word: with "=" appended, ">" becomes ">=" and "=" becomes "==",
  // which is no comparison word.
  const std::string w = word + suffix;
  if (w == "Include") return db::Statement(" like ").Value("%" + key + "%");
  if (w == "BeginWith") return db::Statement(" like ").Value(key + "%");
  if (w == ">" || w == ">=" || w == "<" || w == "<=" || w == "=") return db::Statement(" " + w + " ").Value(key);
  return std::nullopt;
}

namespace {

// What follows the column of a condition whose key no value of the column can equal.
constexpr const char* kNoRow = " Is Null And 1=0";

// The value of a condition attribute; a missing one fails as an object that is not set.
std::string Required(const xml::Element& e, const char* name) {
  auto value = e.Attribute(name);
  if (!value) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
  return *value;
}

// How many characters (Unicode code points) the UTF-8 text `s` holds, whatever their length in bytes:
// every byte but a continuation byte (10xxxxxx) starts one.
size_t CharacterCount(const std::string& s) {
  size_t count = 0;
  for (const char c : s) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

}  // namespace

SearchClauses BuildSearchClauses(const std::string& accessKey, const SearchPlan& plan) {
  SearchClauses clauses;
  for (const auto& start : plan.clauseStarts) clauses.push_back({db::Statement(start)});
  if (accessKey.empty()) return clauses;
  const auto doc = LoadValidated(accessKey, Sch_AccessKey(), " The AccessKey is wrong ");
  const auto conditions = doc->ElementsByTagName("AccessKey");
  if (conditions.size() > kMaxSearchConditions)
    Fail("The access key holds " + std::to_string(conditions.size()) + " conditions; at most " +
                    std::to_string(kMaxSearchConditions) + " are allowed");
  for (const auto& condition : conditions) {
    const std::string field = Required(condition, "Field");
    const std::string word = Required(condition, "SearchCondition");
    const std::string key = Trim(Required(condition, "Key"));
    if (key.empty()) continue;
    if (CharacterCount(key) > kMaxSearchKeyLength)
      Fail("The search key of field '" + field.substr(0, 100) + "' is longer than " +
                      std::to_string(kMaxSearchKeyLength) + " characters");
    const SearchField* match = nullptr;
    for (const auto& f : plan.fields)
      if (f.field == field) match = &f;
    if (!match && plan.skipUnknownFields) continue;
    // A condition without its column or its comparison would leave a statement that some engines
    // run with a different meaning instead of refusing it: refuse it here, on every engine.
    if (!match) Fail("The search field '" + field.substr(0, 100) + "' is unknown");
    const auto comparison = Comparison(word, key, match->wordSuffix);
    if (!comparison) Fail("The search condition '" + word.substr(0, 100) + "' is unknown");
    // A key that no value of the column can equal matches no row: the column stays named, so that
    // the condition keeps to its table, and the key is left out of the text, since an engine would
    // refuse it.
    SearchClause& clause = clauses.at(match->clause);
    clause.text.Append(match->fragment);
    if (CanMatch(match->type, key))
      clause.text.Append(*comparison);
    else
      clause.text.Append(kNoRow);
    ++clause.conditions;
  }
  return clauses;
}

}  // namespace kx
