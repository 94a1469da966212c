#include "framework/storage.h"

#include <cstdint>

#include "runtime/db/paging.h"
#include "runtime/error.h"
#include "runtime/registry.h"
#include "shared/mod_kx_common.h"

namespace kx {

namespace {

std::string KeyColumn(const RecordDef& def) { return std::string(def.fields[def.key].column); }

}  // namespace

Storage::Storage(const RecordDef& def) : def_(def), db_(std::make_shared<S_DBHelpForKX>()) {}

std::string Storage::strSQL() const {
  return Guard("strSQL Property", [&] { return strSQL_; });
}

void Storage::setStrSQL(const std::string& sql) {
  Guard("strSQL Property", [&] { strSQL_ = sql; });
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

std::shared_ptr<db::Recordset> Storage::Read(const std::string& sql) {
  setStrSQL(sql);
  return DB()->RunSQLReturnRS(strSQL());
}

std::shared_ptr<db::Recordset> Storage::ReadInKeyOrder(const std::string& sql) {
  setStrSQL(sql);
  return DB()->RunSQLReturnRS(strSQL() + " order by " + KeyColumn(def_));
}

void Storage::Write(const std::string& sql) {
  setStrSQL(sql);
  DB()->RunSQL(strSQL());
}

std::string Storage::Value(const Entity& entity, size_t field) { return SqlValue(entity.Get(field)); }

void Storage::Fill(Entity& entity, const db::Recordset& rs) const {
  for (size_t i = 0; i < def_.fields.size(); ++i) {
    const FieldSpec& f = def_.fields[i];
    if (!f.column.empty()) entity.Set(i, Convert(f, f.load, rs.Field(std::string(f.column))));
  }
}

bool Storage::containsPK(const std::string& PKValue) {
  return Guard("containsPK Function", [&] {
    const std::string format =
        def_.containsFormat.empty()
            ? "select Count(*) as RecCount from " + def_.table + " where " + KeyColumn(def_) + " = '{}'"
            : def_.containsFormat;
    const std::string sql = FormatStatement(format, {Str2SQL(PKValue)});
    if (!CanMatch(def_.fields[def_.key].type, PKValue)) {
      setStrSQL(sql);
      return false;
    }
    return CLng(Read(sql)->Field("RecCount")) > 0;
  });
}

void Storage::LoadByPK(const std::string& PKValue, Entity& entity) {
  Guard("LoadByPK Sub", [&] {
    const std::string format = def_.loadFormat.empty()
                                   ? "select * from " + def_.table + " where " + KeyColumn(def_) + " = '{}'"
                                   : def_.loadFormat;
    const std::string sql = FormatStatement(format, {Str2SQL(PKValue)});
    std::shared_ptr<db::Recordset> rs;
    if (CanMatch(def_.fields[def_.key].type, PKValue))
      rs = Read(sql);
    else
      setStrSQL(sql);
    if (!rs || rs->RecordCount() == 0) Fail("Can not use code '" + PKValue + "'");
    entity.setStatus(esLoading);
    Fill(entity, *rs);
    entity.setStatus(esLoaded);
  });
}

std::string Storage::InsertStatement(const Entity& entity) const {
  std::string columns, values;
  for (size_t i = 0; i < def_.fields.size(); ++i) {
    const FieldSpec& f = def_.fields[i];
    if (f.column.empty() || !f.inStatements || (i == def_.key && def_.identity)) continue;
    columns += (columns.empty() ? "" : ", ") + std::string(f.column);
    values += (values.empty() ? "'" : "','") + Value(entity, i);
  }
  if (!def_.insertColumns.empty()) columns = def_.insertColumns;
  return "Insert Into " + def_.table + " (" + columns + ")Values (" + values + "')";
}

std::string Storage::UpdateStatement(const Entity& entity) const {
  std::string set;
  for (size_t i = 0; i < def_.fields.size(); ++i) {
    const FieldSpec& f = def_.fields[i];
    if (f.column.empty() || !f.inStatements || i == def_.key) continue;
    set += (set.empty() ? "" : ", ") + std::string(f.column) + " = '" + Value(entity, i) + "'";
  }
  return "Update " + def_.table + " Set " + set + " Where " + KeyColumn(def_) + "= '" +
         Value(entity, def_.key) + "'";
}

std::string Storage::DeleteStatement(const Entity& entity) const {
  return "Delete " + def_.table + " Where " + KeyColumn(def_) + "= '" + Value(entity, def_.key) + "'";
}

void Storage::InsertByProcedure(Entity& entity) {
  Array params;
  for (size_t i = 0; i < def_.fields.size(); ++i) {
    const FieldSpec& f = def_.fields[i];
    if (f.param.empty()) continue;
    params.push_back(
        mp(std::string(f.param), f.paramType, f.paramSize, entity.Get(i), f.paramPrecision, f.paramScale));
  }
  setStrSQL(def_.insertProcedure);
  const int32_t key = DB()->RunSPReturnInteger(strSQL(), Variant::MakeArray(std::move(params)));
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

std::string Storage::QueryStatement(const std::string& AccessKey,
                                    const std::vector<std::string>& clauses) const {
  if (AccessKey.empty()) return "select * from  " + def_.table;
  return "select * from " + def_.table + " " + clauses.front();
}

std::string Storage::PageSource(const std::string& AccessKey, const std::vector<std::string>& clauses) const {
  return QueryStatement(AccessKey, clauses);
}

std::string Storage::BuildQuery(const std::string& AccessKey) {
  const auto clauses = BuildSearchClauses(AccessKey, Search());
  setStrSQL(QueryStatement(AccessKey, clauses));
  return strSQL();
}

std::shared_ptr<db::Recordset> Storage::Query(const std::string& AccessKey) {
  return Guard("Query Function", [&] { return Read(BuildQuery(AccessKey)); });
}

Storage::Page Storage::QueryPage(const std::string& AccessKey, int32_t CountPerPage, int32_t PageNumber) {
  return Guard("Query Function", [&] {
    const auto clauses = BuildSearchClauses(AccessKey, Search());
    setStrSQL(QueryStatement(AccessKey, clauses));
    const std::string sql = PageSource(AccessKey, clauses);
    const db::Engine engine = db::ConnectionInfo::Parse(DB()->GetConnectionString()).engine;
    Page page;
    page.count = CLng(DB()->RunSQLReturnRS(db::CountStatement(engine, sql))->Field("RecCount"));
    const bool all = PageNumber < 1 || CountPerPage < 1;
    const int64_t offset = all ? 0 : static_cast<int64_t>(PageNumber - 1) * CountPerPage;
    if (!all && offset >= page.count) {
      page.rows =
          std::make_shared<db::Recordset>(std::vector<std::string>{}, std::vector<std::vector<Variant>>{});
      return page;
    }
    page.rows = DB()->RunSQLReturnRS(
        db::PageStatement(engine, sql, KeyColumn(def_), offset, all ? -1 : CountPerPage));
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
    const std::string sql = "select * from " + def_.table + " where " + def_.collection.parentColumn +
                            " = '" + Str2SQL(MasterKeyValue) + "'";
    if (!CanMatch(def_.fields[def_.collection.parentKey].type, MasterKeyValue)) {
      setStrSQL(sql);
      return;
    }
    auto rs = ReadInKeyOrder(sql);
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
