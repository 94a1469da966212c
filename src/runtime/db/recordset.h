// A disconnected result set: every row is held in memory and no connection is referred to.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kx/object.h"
#include "kx/variant.h"

namespace kx::db {

class Recordset : public Object {
 public:
  Recordset(std::vector<std::string> columns, std::vector<std::vector<Variant>> rows);
  // The same with column names shared with other result sets of the same statement.
  Recordset(std::shared_ptr<const std::vector<std::string>> columns, std::vector<std::vector<Variant>> rows);

  std::string_view ClassName() const override { return "Recordset"; }
  std::string ToText() const override;

  int32_t RecordCount() const { return static_cast<int32_t>(rows_.size()); }
  bool EOF_() const { return position_ >= rows_.size(); }
  void MoveNext();
  void MoveFirst() { position_ = 0; }

  // The value of column `name` (case-insensitive) in the current row.
  const Variant& Field(std::string_view name) const;
  bool HasField(std::string_view name) const { return ColumnIndex(name) >= 0; }
  const std::vector<std::string>& Columns() const { return *columns_; }
  // The column names as result sets of one statement share them: a caller may remember what it
  // worked out from them while the pointer stays the same.
  const std::shared_ptr<const std::vector<std::string>>& SharedColumns() const { return columns_; }
  // The value of column `index` (see ColumnIndex) in the current row.
  const Variant& FieldAt(size_t index) const;
  // Every row, whatever the position; and the position of column `name` (case-insensitive), or -1.
  const std::vector<std::vector<Variant>>& Rows() const { return rows_; }
  int ColumnIndex(std::string_view name) const;

  // Makes this set a new result of `columns`, at its first row and with the first page size, and
  // gives its rows to be written over: a driver fills the set it made before, when nobody holds it
  // any more, in the room its rows had.
  std::vector<std::vector<Variant>>& Refill(std::shared_ptr<const std::vector<std::string>> columns) {
    columns_ = std::move(columns);
    position_ = 0;
    pageSize_ = kFirstPageSize;
    return rows_;
  }

  int32_t PageSize() const { return pageSize_; }
  // Rows per page; less than 1 fails with Invalid procedure call or argument.
  void SetPageSize(int32_t size);
  int32_t PageCount() const;
  // The page (from 1) of the current row; -3 (adPosEOF) past the last row, -1 (adPosUnknown) when
  // the set holds no row.
  int32_t AbsolutePage() const;
  // Moves to the first row of page `page` (from 1); a page beyond the last leaves the set at its end.
  void SetAbsolutePage(int32_t page);

 private:

  std::shared_ptr<const std::vector<std::string>> columns_;
  std::vector<std::vector<Variant>> rows_;
  static constexpr int32_t kFirstPageSize = 10;
  size_t position_ = 0;
  int32_t pageSize_ = kFirstPageSize;
};

}  // namespace kx::db
