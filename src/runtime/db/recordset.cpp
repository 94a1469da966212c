#include "runtime/db/recordset.h"

#include "kx/error.h"

namespace kx::db {

namespace {

// The columns of every set without any, shared.
const std::shared_ptr<const std::vector<std::string>>& NoColumns() {
  static const auto* none = new std::shared_ptr<const std::vector<std::string>>(
      std::make_shared<const std::vector<std::string>>());
  return *none;
}

}  // namespace

Recordset::Recordset(std::vector<std::string> columns, std::vector<std::vector<Variant>> rows)
    : columns_(columns.empty() ? NoColumns()
                               : std::make_shared<const std::vector<std::string>>(std::move(columns))),
      rows_(std::move(rows)) {}

Recordset::Recordset(std::shared_ptr<const std::vector<std::string>> columns, std::vector<std::vector<Variant>> rows)
    : columns_(std::move(columns)), rows_(std::move(rows)) {}

void Recordset::MoveNext() {
  // Moving past the end is an error, as with any forward cursor.
  if (EOF_()) throw Error(3021, "KX", "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a current record.");
  ++position_;
}

int Recordset::ColumnIndex(std::string_view name) const {
  const std::vector<std::string>& columns = *columns_;
  for (size_t i = 0; i < columns.size(); ++i)
    if (SameName(columns[i], name)) return static_cast<int>(i);
  return -1;
}

const Variant& Recordset::Field(std::string_view name) const {
  const int index = ColumnIndex(name);
  if (index < 0)
    throw Error(3265, "KX", "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  return FieldAt(static_cast<size_t>(index));
}

const Variant& Recordset::FieldAt(size_t index) const {
  if (index >= columns_->size())
    throw Error(3265, "KX", "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  if (EOF_())
    throw Error(3021, "KX", "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a current record.");
  return rows_[position_][index];
}

void Recordset::SetPageSize(int32_t size) {
  if (size < 1) ThrowRuntimeError(RuntimeErrorCode::InvalidArgument);
  pageSize_ = size;
}

int32_t Recordset::PageCount() const {
  const int32_t n = RecordCount();
  return n / pageSize_ + (n % pageSize_ ? 1 : 0);
}

int32_t Recordset::AbsolutePage() const {
  if (rows_.empty()) return -1;
  if (EOF_()) return -3;
  return static_cast<int32_t>(position_ / static_cast<size_t>(pageSize_)) + 1;
}

void Recordset::SetAbsolutePage(int32_t page) {
  if (page < 1) ThrowRuntimeError(RuntimeErrorCode::InvalidArgument);
  const size_t start = static_cast<size_t>(page - 1) * static_cast<size_t>(pageSize_);
  position_ = start < rows_.size() ? start : rows_.size();
}

std::string Recordset::ToText() const {
  std::string out;
  for (size_t i = 0; i < columns_->size(); ++i) out += (i ? "\t" : "") + (*columns_)[i];
  out += "\n";
  for (const auto& row : rows_) {
    for (size_t i = 0; i < row.size(); ++i) {
      out += i ? "\t" : "";
      out += row[i].IsNull() ? "NULL" : CStr(row[i]);
    }
    out += "\n";
  }
  return out;
}

}  // namespace kx::db
