// Search conditions: the access key document turned into WHERE clauses by a field table.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "framework/record.h"
#include "runtime/db/statement.h"

namespace kx {

// The most AccessKey elements one access key may hold, and the longest key of one condition, in
// characters (Unicode code points, not bytes).
inline constexpr size_t kMaxSearchConditions = 64;
inline constexpr size_t kMaxSearchKeyLength = 1000;

// One searchable field: the `Field` value, the fragment appended for it, the clause it goes to,
// a suffix appended to the comparison word, and the type its column holds.
struct SearchField {
  std::string field;
  std::string fragment;
  size_t clause = 0;
  std::string wordSuffix;
  FieldType type = FieldType::Text;
};

struct SearchPlan {
  // The start of each clause.
  std::vector<std::string> clauseStarts = {"  where 1=1  "};
  std::vector<SearchField> fields;
  // Whether a condition on a field not in the table is skipped whole (else it is refused).
  bool skipUnknownFields = false;

  // The field table " And <COLUMN>" of every searchable stored field of a record, by its search name.
  static SearchPlan FromRecord(const RecordDef& record);
  // The same with the column under a table alias: " And <alias>.<COLUMN>".
  static SearchPlan FromRecord(const RecordDef& record, const std::string& alias);
};

// The comparison for a condition word with `suffix` appended and its key, shown as " like '%key%'"
// for "Include", " like 'key%'" for "BeginWith", " <word> 'key'" for >, >=, <, <=, =, with the key
// a bound value; nothing for other words (with suffix "=", only ">" and "<" remain words).
std::optional<db::Statement> Comparison(const std::string& word, const std::string& key,
                                        const std::string& suffix = "");

// One clause of a search: its statement text, and how many conditions were added to its start.
struct SearchClause {
  db::Statement text;
  size_t conditions = 0;
};
using SearchClauses = std::vector<SearchClause>;

// Reads the access key document (validated against the access key schema; an empty text reads
// nothing) and returns one clause per clause start with every condition appended, joined by AND.
// A refused document raises error kProcedureError " The AccessKey is wrong " followed by the reason; a
// condition with an unknown field (unless the plan skips those) or an unknown comparison word
// raises error kProcedureError naming it; so does an access key with more than kMaxSearchConditions
// conditions or a key longer than kMaxSearchKeyLength, before anything runs. A key that no value
// of a numeric field can equal (see CanMatch) gives a condition that is false on every engine in
// place of the comparison.
SearchClauses BuildSearchClauses(const std::string& accessKey, const SearchPlan& plan);

}  // namespace kx
