#include "framework/storage.h"

#include <cstdint>

#include "runtime/db/paging.h"
#include "kx/error.h"
#include "kx/registry.h"
#include "shared/mod_kx_common.h"

namespace kx {

namespace {

std::string KeyColumn(const RecordDef& def) { return std::string(def.fields[def.key].column); }

}  // namespace

Storage::Storage(const RecordDef& def) : def_(def), db_(std::make_shared<S_DBHelpForKX>()) {}

std::string Storage::strSQL() const {
  return Guard("strSQL Property", [&] {
    if (shownPending_) {
      shown_.Show(strSQL_);
      shownPending_ = false;
    }
    return strSQL_;
  });
}

void Storage::setStrSQL(const std::string& sql) {
  Guard("strSQL Property", [&] {
    strSQL_ = sql;
    shownPending_ = false;
  });
}

const db::Statement& Storage::Show(db::Statement statement) {
  shown_ = std::move(statement);
  shownPending_ = true;
  return shown_;
}

db::Statement& Storage::ShowCopyOf(const db::Statement& shape) {
  shown_ = shape;
  shownPending_ = true;
  return shown_;
}

std::shared_ptr<S_DBHelpForKX> Storage::DB() const {
  return Guard("DB Property", [&] {
    if (!db_) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
    return db_;
  });
}

void Storage::setDB(std::shared_ptr<S_DBHelpForKX> db) {
  Guard("DB Property", [&] { db_ = std::move(db); });
}

std::shared_ptr<db::Recordset> Storage::Read(db::Statement statement) {
  return DB()->RunStatementReturnRS(Show(std::move(statement)));
}

std::shared_ptr<db::Recordset> Storage::ReadInKeyOrder(db::Statement statement) {
  db::Statement ordered = statement;
  ordered.Append(" order by ").Append(KeyColumn(def_));
  Show(std::move(statement));
  return DB()->RunStatementReturnRS(ordered);
}

void Storage::Write(db::Statement statement) { DB()->RunStatement(Show(std::move(statement))); }

std::string Storage::Value(const Entity& entity, size_t field) { return StatementText(entity.Value(field)); }

void Storage::Fill(Entity& entity, const db::Recordset& rs) const {
  // The fields' columns are looked up once per shape of result set.
  if (rs.SharedColumns() != fillColumns_) {
    fillIndex_.assign(def_.fields.size(), -1);
    for (size_t i = 0; i < def_.fields.size(); ++i)
      if (!def_.fields[i].column.empty()) fillIndex_[i] = rs.ColumnIndex(def_.fields[i].column);
    fillColumns_ = rs.SharedColumns();
  }
  for (size_t i = 0; i < def_.fields.size(); ++i) {
    const FieldSpec& f = def_.fields[i];
    if (f.column.empty()) continue;
    const int column = fillIndex_[i];
    // A field without its column fails as the lookup by name does.
    entity.Set(i, Convert(f, f.load, column >= 0 ? rs.FieldAt(static_cast<size_t>(column)) : rs.Field(f.column)));
  }
}

// A look-up by key that no value of the key column can equal runs nothing: strSQL still shows it.
bool Storage::containsPK(const std::string& PKValue) {
  return Guard("containsPK Function", [&] {
    const std::string format =
        def_.containsFormat.empty()
            ? "select Count(*) as RecCount from " + def_.table + " where " + KeyColumn(def_) + " = '{}'"
            : def_.containsFormat;
    db::Statement statement = db::Statement::Format(format, {PKValue});
    if (!CanMatch(def_.fields[def_.key].type, PKValue)) {
      Show(std::move(statement));
      return false;
    }
    return CLng(Read(std::move(statement))->Field("RecCount")) > 0;
  });
}

void Storage::LoadByPK(const std::string& PKValue, Entity& entity) {
  Guard("LoadByPK Sub", [&] {
    db::Statement& statement = ShowCopyOf(def_.loadShape);
    statement.Put(0, PKValue);
    std::shared_ptr<db::Recordset> rs;
    if (CanMatch(def_.fields[def_.key].type, PKValue)) rs = DB()->RunStatementReturnRS(statement);
    if (!rs || rs->RecordCount() == 0) Fail("Can not use code '" + PKValue + "'");
    entity.setStatus(esLoading);
    Fill(entity, *rs);
    entity.setStatus(esLoaded);
  });
}

db::Statement Storage::InsertStatement(const Entity& entity) const {
  db::Statement statement = def_.insertShape;
  for (size_t n = 0; n < def_.insertFields.size(); ++n) statement.Put(n, Value(entity, def_.insertFields[n]));
  return statement;
}

db::Statement Storage::UpdateStatement(const Entity& entity) const {
  db::Statement statement = def_.updateShape;
  for (size_t n = 0; n < def_.updateFields.size(); ++n) statement.Put(n, Value(entity, def_.updateFields[n]));
  return statement;
}

db::Statement Storage::DeleteStatement(const Entity& entity) const {
  // SQL Server's "Delete T" is "DELETE FROM T" to the other engines (and to SQL Server too).
  return db::Statement()
      .Append("Delete " + def_.table, "DELETE FROM " + def_.table)
      .Append(" Where " + KeyColumn(def_) + "= ")
      .Value(Value(entity, def_.key));
}

void Storage::InsertByProcedure(Entity& entity) {
  std::vector<db::ProcedureArgument> args;
  args.reserve(def_.fields.size());
  for (size_t i = 0; i < def_.fields.size(); ++i) {
    const FieldSpec& f = def_.fields[i];
    if (!f.param.empty()) args.push_back({f.param, f.paramType, f.paramSize, entity.Get(i)});
  }
  setStrSQL(def_.insertProcedure);
  const int32_t key = DB()->RunProcedureReturnInteger(strSQL(), std::move(args));
  entity.Set(def_.key, Variant(key));
}

void Storage::save(Entity& entity) {
  Guard("save Sub", [&] {
    switch (entity.status()) {
      case esNew:
        if (def_.insertProcedure.empty())
          Write(InsertStatement(entity));
        else
          InsertByProcedure(entity);
        break;
      case esModified:
        Write(UpdateStatement(entity));
        break;
      case esDeleted:
        Write(DeleteStatement(entity));
        break;
      default:
        break;
    }
  });
}

SearchPlan Storage::Search() const { return SearchPlan::FromRecord(def_); }

db::Statement Storage::QueryStatement(const std::string& AccessKey, const SearchClauses& clauses) const {
  if (AccessKey.empty()) return db::Statement("select * from  " + def_.table);
  return clauses.front().text.Around("select * from " + def_.table + " ", "");
}

db::Statement Storage::PageSource(const std::string& AccessKey, const SearchClauses& clauses) const {
  return QueryStatement(AccessKey, clauses);
}

std::shared_ptr<db::Recordset> Storage::Query(const std::string& AccessKey) {
  return Guard("Query Function",
               [&] { return Read(QueryStatement(AccessKey, BuildSearchClauses(AccessKey, Search()))); });
}

Storage::Page Storage::QueryPage(const std::string& AccessKey, int32_t CountPerPage, int32_t PageNumber) {
  return Guard("Query Function", [&] {
    const auto clauses = BuildSearchClauses(AccessKey, Search());
    Show(QueryStatement(AccessKey, clauses));
    const db::Statement source = PageSource(AccessKey, clauses);
    Page page;
    page.count = CLng(DB()->RunStatementReturnRS(db::CountStatement(source))->Field("RecCount"));
    const bool all = PageNumber < 1 || CountPerPage < 1;
    const int64_t offset = all ? 0 : static_cast<int64_t>(PageNumber - 1) * CountPerPage;
    if (!all && offset >= page.count) {
      page.rows =
          std::make_shared<db::Recordset>(std::vector<std::string>{}, std::vector<std::vector<Variant>>{});
      return page;
    }
    page.rows = DB()->RunStatementReturnRS(db::PageStatement(source, KeyColumn(def_), offset, all ? -1 : CountPerPage));
    return page;
  });
}

std::shared_ptr<Entity> Storage::NewEntity() const {
  auto entity = std::dynamic_pointer_cast<Entity>(Registry::Instance().Create(def_.entityClass));
  if (!entity) ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
  return entity;
}

void Storage::LoadElementsIntoCol(const std::string& MasterKeyValue, EntityList& colItems) {
  Guard("LoadElementsIntoCol Sub: ", [&] {
    db::Statement statement =
        db::Statement("select * from " + def_.table + " where " + def_.collection.parentColumn + " = ")
            .Value(MasterKeyValue);
    if (!CanMatch(def_.fields[def_.collection.parentKey].type, MasterKeyValue)) {
      Show(std::move(statement));
      return;
    }
    auto rs = ReadInKeyOrder(std::move(statement));
    for (; !rs->EOF_(); rs->MoveNext()) {
      auto entity = NewEntity();
      entity->setStatus(esLoading);
      Fill(*entity, *rs);
      entity->setStatus(esLoaded);
      colItems.Add(std::move(entity));
    }
  });
}

}  // namespace kx
