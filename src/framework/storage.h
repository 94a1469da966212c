// The storage protocol: a storage knows its table, key and statements, keeps the statement it is
// about to run in strSQL, runs it through its database helper and copies rows into entities.
#pragma once

#include <memory>
#include <string>

#include "framework/entity.h"
#include "framework/search.h"
#include "runtime/db/recordset.h"
#include "runtime/object.h"
#include "shared/s_db_help_for_kx.h"

namespace kx {

struct TableDef {
  std::string table;      // "JB_TYPE_PROFILE"
  std::string keyColumn;  // "JB_TYPE_CODE"
};

class Storage : public Object, public EntityStorage {
 public:
  Storage(const EntityDef& entity, TableDef table);

  std::string strSQL() const;
  void setStrSQL(const std::string& sql);
  std::shared_ptr<S_DBHelpForKX> DB() const;
  void setDB(std::shared_ptr<S_DBHelpForKX> db);

  // True when a row with this key exists.
  virtual bool containsPK(const std::string& PKValue);
  // Fills `entity` from the row with this key; no row fails with "Can not use code '<key>'".
  void LoadByPK(const std::string& PKValue, Entity& entity) override;
  // The rows that the access key document selects (all rows for an empty one).
  virtual std::shared_ptr<db::Recordset> Query(const std::string& AccessKey);

  const EntityDef& entityDef() const { return entity_; }
  const TableDef& tableDef() const { return table_; }

 protected:
  // Stores `sql` in strSQL, then runs what strSQL holds: a read, or a write.
  std::shared_ptr<db::Recordset> Read(const std::string& sql);
  void Write(const std::string& sql);
  // Sets every stored field of `entity` from the current row of `rs` while it is loading.
  void Fill(Entity& entity, const db::Recordset& rs) const;
  // The value of a field as it is placed between quotes in a statement (quotes doubled).
  static std::string Value(const Entity& entity, size_t field);

  // The search of this storage (field table and clause shape).
  virtual SearchPlan Search() const;
  // The statement of a search: `clauses` built from a non-empty access key, or none.
  virtual std::string QueryStatement(const std::string& AccessKey, const std::vector<std::string>& clauses) const;

 private:
  const EntityDef& entity_;
  TableDef table_;
  std::string strSQL_;
  std::shared_ptr<S_DBHelpForKX> db_;
};

}  // namespace kx
