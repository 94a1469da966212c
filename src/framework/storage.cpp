#include "framework/storage.h"

#include "runtime/error.h"
#include "shared/mod_kx_common.h"

namespace kx {

Storage::Storage(const EntityDef& entity, TableDef table)
    : entity_(entity), table_(std::move(table)), db_(std::make_shared<S_DBHelpForKX>()) {}

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

void Storage::Write(const std::string& sql) {
  setStrSQL(sql);
  DB()->RunSQL(strSQL());
}

std::string Storage::Value(const Entity& entity, size_t field) {
  return Str2SQL(FieldText(entity.Get(field)));
}

void Storage::Fill(Entity& entity, const db::Recordset& rs) const {
  for (size_t i = 0; i < entity_.fields.size(); ++i) {
    const FieldDef& f = entity_.fields[i];
    if (!f.column.empty()) entity.Set(i, LoadValue(f, rs.Field(f.column)));
  }
}

bool Storage::containsPK(const std::string& PKValue) {
  return Guard("containsPK Function", [&] {
    auto rs = Read("select Count(*) as RecCount from " + table_.table + " where  " + table_.keyColumn +
                   "= '" + Str2SQL(PKValue) + "'");
    return CLng(rs->Field("RecCount")) > 0;
  });
}

void Storage::LoadByPK(const std::string& PKValue, Entity& entity) {
  Guard("LoadByPK Sub", [&] {
    auto rs = Read("select * from " + table_.table + " where " + table_.keyColumn + " = '" +
                   Str2SQL(PKValue) + "'");
    if (rs->RecordCount() == 0) throw Error(9999, "", "Can not use code '" + PKValue + "'");
    entity.setStatus(esLoading);
    Fill(entity, *rs);
    entity.setStatus(esLoaded);
  });
}

SearchPlan Storage::Search() const { return SearchPlan::FromFields(entity_); }

std::string Storage::QueryStatement(const std::string& AccessKey, const std::vector<std::string>& clauses) const {
  if (AccessKey.empty()) return "select * from  " + table_.table;
  return "select * from " + table_.table + " " + clauses.front();
}

std::shared_ptr<db::Recordset> Storage::Query(const std::string& AccessKey) {
  return Guard("Query Function", [&] {
    const auto clauses = BuildSearchClauses(AccessKey, Search());
    return Read(QueryStatement(AccessKey, clauses));
  });
}

}  // namespace kx
