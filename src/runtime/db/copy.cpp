#include "runtime/db/copy.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>

#include "runtime/db/statement.h"

namespace kx::db {

const std::vector<ComponentTable>& ComponentTables() {
  static const std::vector<ComponentTable> tables = {
      {"JB_TYPE_PROFILE", {"JB_TYPE_CODE"}, false},
      {"JB_ORDER", {"JB_NO_ID"}, true},
      {"JB_CONTAINER_DETAIL", {"JB_CONTAINER_DETAIL_ID"}, true},
      {"JB_DIARY", {"JB_DIARY_NO_ID"}, true},
      {"JB_DOOR_APPOINTMENT", {"JB_DOOR_APPOINTMENT_ID"}, true},
      {"PARTNER_NOTIFY_SETTING", {"VENDOR_CODE", "NOTIFY_PURPOSE_IND", "NOTIFY_METHOD_IND"}, false},
      {"KX_SERIAL_COUNTER", {"COUNTER_KEY"}, false},
      {"JB_CONTAINER_RETRIEVING_TEMP_FILE", {"JB_IMPORT_CONTAINER_WORK_FILE_ID"}, true},
      {"JB_CONTAINER_RETRIEVING_TEMP_DETAIL", {"JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID"}, true},
  };
  return tables;
}

// Rows in one statement of many: SQL Server takes at most 2,100 values in a statement.
constexpr size_t kValuesPerStatement = 2000;

void Connection::InsertRows(const std::string& table, const std::vector<std::string>& columns,
                            const std::vector<std::vector<Variant>>& rows) {
  if (columns.empty()) return;
  std::string head = "INSERT INTO " + table + " (";
  for (size_t c = 0; c < columns.size(); ++c) head += (c ? ", " : "") + columns[c];
  head += ") VALUES ";
  const size_t perStatement = std::max<size_t>(1, kValuesPerStatement / columns.size());
  for (size_t first = 0; first < rows.size(); first += perStatement) {
    Statement insert(head);
    const size_t last = std::min(rows.size(), first + perStatement);
    for (size_t r = first; r < last; ++r) {
      insert.Append(r == first ? "(" : ", (");
      for (size_t c = 0; c < columns.size(); ++c) {
        if (c) insert.Append(", ");
        insert.Value(rows[r][c]);
      }
      insert.Append(")");
    }
    Run(insert);
  }
}

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::tolower);
  return text;
}

std::string KeyList(const ComponentTable& table) {
  std::string list;
  for (const auto& column : table.key) list += (list.empty() ? "" : ", ") + column;
  return list;
}

// Calls `each` with the rows of `table` in key order, at most `batchRows` at a time: a table with
// one key column is read on from the last key seen, one with several by the rows' position.
void ForEachBatch(Connection& connection, const ComponentTable& table, int64_t batchRows,
                  const std::function<void(const Recordset&)>& each) {
  const bool byKey = table.key.size() == 1;
  Variant lastKey;
  for (int64_t offset = 0;; offset += batchRows) {
    Statement read("SELECT * FROM " + table.name);
    if (byKey && offset > 0) read.Append(" WHERE " + table.key[0] + " > ").Value(lastKey);
    read.Append(" ORDER BY " + KeyList(table)).Page(byKey ? 0 : offset, batchRows);
    const auto rows = connection.Run(read);
    if (rows->Rows().empty()) return;
    each(*rows);
    if (static_cast<int64_t>(rows->Rows().size()) < batchRows) return;
    if (byKey) {
      const int at = rows->ColumnIndex(table.key[0]);
      if (at < 0) throw DatabaseError(table.name + " has no column " + table.key[0]);
      lastKey = rows->Rows().back()[static_cast<size_t>(at)];
    }
  }
}

// The statements around the rows written into a table whose keys the database assigns: SQL
// Server takes a key only while IDENTITY_INSERT is on, and PostgreSQL's counter is set past the
// greatest key (SQLite's follows the keys written).
void BeforeKeys(Connection& to, const ComponentTable& table) {
  if (table.identity && to.engine() == Engine::SqlServer)
    to.Run(Statement("SET IDENTITY_INSERT " + table.name + " ON"));
}
void AfterKeys(Connection& to, const ComponentTable& table) {
  if (!table.identity) return;
  if (to.engine() == Engine::SqlServer) {
    to.Run(Statement("SET IDENTITY_INSERT " + table.name + " OFF"));
  } else if (to.engine() == Engine::PostgreSQL) {
    to.Run(Statement("SELECT setval(pg_get_serial_sequence('" + Lower(table.name) + "', '" + Lower(table.key[0]) +
                     "'), COALESCE(MAX(" +
                     table.key[0] + "), 0) + 1, false) FROM " + table.name));
  }
}

void CopyTable(Connection& from, Connection& to, const ComponentTable& table, bool replace, int64_t batchRows,
               CopyListener& listener) {
  const int64_t total = CountRows(from, table);
  int64_t done = 0;
  to.Begin();
  try {
    if (replace) to.Run(Statement("DELETE FROM " + table.name));
    BeforeKeys(to, table);
    ForEachBatch(from, table, batchRows, [&](const Recordset& rows) {
      to.InsertRows(table.name, rows.Columns(), rows.Rows());
      done += static_cast<int64_t>(rows.Rows().size());
      listener.Progress(table, done, std::max(total, done));
    });
    AfterKeys(to, table);
    to.Commit();
  } catch (const std::exception& e) {
    try {
      to.Rollback();
    } catch (const std::exception&) {  // the failure met first is the one told
    }
    const auto* database = dynamic_cast<const DatabaseError*>(&e);
    throw DatabaseError(table.name + ": " + e.what(), database ? database->category() : ErrorCategory::Other,
                        database ? database->nativeCode() : std::string());
  }
  listener.Copied(table, done);
}

// A value as the comparison reads it: numbers by value whatever their type, dates by their text.
void AppendComparable(std::string& out, const Variant& value) {
  switch (value.type()) {
    case Variant::Type::Empty:
    case Variant::Type::Null: out += '\x01'; return;
    case Variant::Type::Date: out += 'd' + value.get<Date>().Text(); return;
    case Variant::Type::String: out += 's' + value.get<std::string>(); return;
    case Variant::Type::Int16:
    case Variant::Type::Int32:
    case Variant::Type::Double:
    case Variant::Type::Bool: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "n%.17g", CDbl(value));
      out += buf;
      return;
    }
    default: out += 'o' + CStr(value);
  }
}

// One side of a table as the comparison sees it.
struct Side {
  std::vector<std::string> columns;  // lower-case, sorted
  int64_t rows = 0;
  uint64_t sum = 0;
};

// Reads `table` on `connection`, calling `each` with every row's key and comparable text.
Side ReadSide(Connection& connection, const ComponentTable& table, int64_t batchRows,
              const std::function<void(std::string key, const std::string& row)>& each) {
  Side side;
  std::vector<size_t> order, keyAt;
  ForEachBatch(connection, table, batchRows, [&](const Recordset& rows) {
    if (order.empty()) {
      std::vector<std::pair<std::string, size_t>> named;
      for (size_t c = 0; c < rows.Columns().size(); ++c) named.emplace_back(Lower(rows.Columns()[c]), c);
      std::sort(named.begin(), named.end());
      for (const auto& [name, at] : named) {
        side.columns.push_back(name);
        order.push_back(at);
      }
      for (const auto& column : table.key) keyAt.push_back(static_cast<size_t>(rows.ColumnIndex(column)));
    }
    std::string text, key;
    for (const auto& row : rows.Rows()) {
      text.clear();
      for (const size_t at : order) {
        AppendComparable(text, row[at]);
        text += '\x1f';
      }
      side.sum += std::hash<std::string>{}(text);
      ++side.rows;
      if (each) {
        key.clear();
        for (const size_t at : keyAt) {
          AppendComparable(key, row[at]);
          key += '\x1f';
        }
        each(key, text);
      }
    }
  });
  return side;
}

// The key as an operator reads it: its values, each without the mark of its kind.
std::string ShownKey(const std::string& key) {
  std::string out;
  for (size_t at = 0; at < key.size();) {
    const size_t end = key.find('\x1f', at);
    if (!out.empty()) out += ", ";
    out += key[at] == '\x01' ? std::string("NULL") : key.substr(at + 1, end - at - 1);
    at = end + 1;
  }
  return out;
}

// Which rows differ: matched by key, the first few of each kind.
void FindDifferences(Connection& source, Connection& target, const ComponentTable& table, int64_t batchRows,
                     TableComparison& out) {
  constexpr size_t kShown = 5;
  std::map<std::string, size_t> sourceRows;  // key: the hash of the row
  ReadSide(source, table, batchRows,
           [&](std::string key, const std::string& row) { sourceRows.emplace(std::move(key), std::hash<std::string>{}(row)); });
  std::vector<std::string> onlyTarget, changed;
  int64_t onlyTargetCount = 0, changedCount = 0;
  ReadSide(target, table, batchRows, [&](std::string key, const std::string& row) {
    const auto it = sourceRows.find(key);
    if (it == sourceRows.end()) {
      if (onlyTarget.size() < kShown) onlyTarget.push_back(ShownKey(key));
      ++onlyTargetCount;
      return;
    }
    if (it->second != std::hash<std::string>{}(row)) {
      if (changed.size() < kShown) changed.push_back(ShownKey(key));
      ++changedCount;
    }
    sourceRows.erase(it);
  });
  const auto tell = [&](const char* what, int64_t count, const std::vector<std::string>& keys) {
    if (count == 0) return;
    std::string line = std::to_string(count) + " rows " + what + " (key";
    for (size_t i = 0; i < keys.size(); ++i) line += (i ? "; " : " ") + keys[i];
    out.differences.push_back(line + (static_cast<size_t>(count) > keys.size() ? "; ...)" : ")"));
  };
  std::vector<std::string> onlySource;
  for (const auto& [key, hash] : sourceRows) {
    if (onlySource.size() == kShown) break;
    onlySource.push_back(ShownKey(key));
  }
  tell("only on the source", static_cast<int64_t>(sourceRows.size()), onlySource);
  tell("only on the target", onlyTargetCount, onlyTarget);
  tell("with other values", changedCount, changed);
}

}  // namespace

int64_t CountRows(Connection& connection, const ComponentTable& table) {
  const auto rows = connection.Run(Statement("SELECT COUNT(*) FROM " + table.name));
  return rows->Rows().empty() ? 0 : static_cast<int64_t>(CDbl(rows->Rows()[0][0]));
}

std::vector<std::string> TablesWithRows(Connection& connection) {
  std::vector<std::string> held;
  for (const auto& table : ComponentTables())
    if (CountRows(connection, table) > 0) held.push_back(table.name);
  return held;
}

void CopyTables(Connection& from, Connection& to, bool replace, int64_t batchRows, CopyListener& listener) {
  for (const auto& table : ComponentTables()) CopyTable(from, to, table, replace, batchRows, listener);
}

std::vector<TableComparison> CompareTables(Connection& source, Connection& target, int64_t batchRows) {
  std::vector<TableComparison> result;
  for (const auto& table : ComponentTables()) {
    TableComparison c;
    c.table = table.name;
    const Side a = ReadSide(source, table, batchRows, nullptr);
    const Side b = ReadSide(target, table, batchRows, nullptr);
    c.sourceRows = a.rows;
    c.targetRows = b.rows;
    c.sourceSum = a.sum;
    c.targetSum = b.sum;
    if (a.rows > 0 && b.rows > 0 && a.columns != b.columns) {
      std::string line = "the columns differ: source";
      for (const auto& name : a.columns) line += " " + name;
      line += "; target";
      for (const auto& name : b.columns) line += " " + name;
      c.differences.push_back(line);
    } else if (a.rows != b.rows || a.sum != b.sum) {
      FindDifferences(source, target, table, batchRows, c);
    }
    c.same = a.rows == b.rows && a.sum == b.sum && c.differences.empty();
    result.push_back(std::move(c));
  }
  return result;
}

}  // namespace kx::db
