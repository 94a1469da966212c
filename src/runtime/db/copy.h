// Moving an installation's data from one database to another, of any engines: every table of the
// component copied in key order and in batches, each in one transaction on the target, and both
// sides compared table by table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/db/connection.h"

namespace kx::db {

// A table of the component, as a copy reads and writes it.
struct ComponentTable {
  std::string name;
  std::vector<std::string> key;  // the key's columns, in the order rows are read
  bool identity = false;         // the database assigns the key on insert
};
// Every table the component keeps, parents before their children.
const std::vector<ComponentTable>& ComponentTables();

// The number of rows of `table`.
int64_t CountRows(Connection& connection, const ComponentTable& table);

// What a copy tells as it goes.
class CopyListener {
 public:
  virtual ~CopyListener() = default;
  // `done` of `total` rows of `table` are written on the target, not yet committed.
  virtual void Progress(const ComponentTable& /*table*/, int64_t /*done*/, int64_t /*total*/) {}
  // `table` is committed on the target, holding `rows` rows.
  virtual void Copied(const ComponentTable& /*table*/, int64_t /*rows*/) {}
};

// Copies every table from `from` to `to`, `batchRows` rows at a time, keeping every key and value;
// the target's key counters are set past the keys copied. Each table is copied in one transaction
// on the target: with `replace`, its rows are deleted first in the same transaction. A failure
// rolls back the table it met and stops the copy with a DatabaseError that names the table; the
// tables before it (told to the listener) stay copied.
void CopyTables(Connection& from, Connection& to, bool replace, int64_t batchRows, CopyListener& listener);

// The tables of the component that hold rows on `connection`.
std::vector<std::string> TablesWithRows(Connection& connection);

// How one table compares on both sides.
struct TableComparison {
  std::string table;
  int64_t sourceRows = 0, targetRows = 0;
  uint64_t sourceSum = 0, targetSum = 0;  // the checksums of the rows, whatever their order
  bool same = false;
  // Where they differ: columns, and the first keys found only on one side or with other values.
  std::vector<std::string> differences;
};

// Compares every table of the component on both sides: the number of rows and a checksum of every
// row's values (read as each engine gives them, numbers and dates compared by value); where the
// checksums differ, the rows are matched by key to say which differ.
std::vector<TableComparison> CompareTables(Connection& source, Connection& target, int64_t batchRows);

}  // namespace kx::db
