// The storage protocol: a storage knows its table, key and statements from its record definition,
// keeps the statement it is about to run in strSQL, runs it through its database helper and copies
// rows into entities.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/entity.h"
#include "framework/search.h"
#include "runtime/db/recordset.h"
#include "runtime/db/statement.h"
#include "kx/object.h"
#include "shared/s_db_help_for_kx.h"

namespace kx {

class Storage : public Object, public EntityStorage {
 public:
  explicit Storage(const RecordDef& def);

  std::string_view ClassName() const override { return def_.storageClass; }
  const RecordDef& def() const { return def_; }

  std::string strSQL() const;
  void setStrSQL(const std::string& sql);
  std::shared_ptr<S_DBHelpForKX> DB() const;
  void setDB(std::shared_ptr<S_DBHelpForKX> db);

  // True when a row with this key exists.
  virtual bool containsPK(const std::string& PKValue);
  // Fills `entity` from the row with this key; no row fails with "Can not use code '<key>'".
  void LoadByPK(const std::string& PKValue, Entity& entity) override;
  // Inserts, updates or deletes the entity's row by its status; any other status runs nothing.
  void save(Entity& entity) override;
  // The rows that the access key document selects (all rows for an empty one).
  virtual std::shared_ptr<db::Recordset> Query(const std::string& AccessKey);

  // One page of what Query selects, in key order, with the number of all selected rows. A page
  // number below 1 or a page size below 1 gives every row; a page beyond the last none.
  struct Page {
    int32_t count = 0;
    std::shared_ptr<db::Recordset> rows;
  };
  virtual Page QueryPage(const std::string& AccessKey, int32_t CountPerPage, int32_t PageNumber);

  // A new entity of the record's class, made through the class registry.
  std::shared_ptr<Entity> NewEntity() const;

  // Appends one loaded entity per child row of the parent `MasterKeyValue`, in key order: children
  // are paired with request elements by position, so their order must not depend on the plan the
  // engine picks. strSQL holds the statement without its ordering.
  void LoadElementsIntoCol(const std::string& MasterKeyValue, EntityList& colItems);

 protected:
  // Keeps `statement` as strSQL, then runs it: a read, or a write.
  std::shared_ptr<db::Recordset> Read(db::Statement statement);
  void Write(db::Statement statement);
  // The same, with the rows ordered by the key column.
  std::shared_ptr<db::Recordset> ReadInKeyOrder(db::Statement statement);
  // Sets every stored field of `entity` from the current row of `rs` while it is loading.
  void Fill(Entity& entity, const db::Recordset& rs) const;
  // The value of a field as a statement binds it (StatementText).
  static std::string Value(const Entity& entity, size_t field);

  // The generated statements, shown as "Insert Into T (C1, C2)Values ('v1','v2')", "Update T Set
  // C1 = 'v1', C2 = 'v2' Where K= 'k'", "Delete T Where K= 'k'".
  virtual db::Statement InsertStatement(const Entity& entity) const;
  virtual db::Statement UpdateStatement(const Entity& entity) const;
  virtual db::Statement DeleteStatement(const Entity& entity) const;
  // Runs the insert procedure with one bound parameter per field that names one; the returned
  // integer becomes the key.
  void InsertByProcedure(Entity& entity);

  // The search of this storage (field table and clause shape).
  virtual SearchPlan Search() const;
  // The statement of a search: `clauses` built from a non-empty access key, or none.
  virtual db::Statement QueryStatement(const std::string& AccessKey, const SearchClauses& clauses) const;
  // The statement whose rows QueryPage counts and pages: the search statement unless a record has
  // an equivalent form that the database answers faster.
  virtual db::Statement PageSource(const std::string& AccessKey, const SearchClauses& clauses) const;

 private:
  // Sets strSQL to `statement` as shown. Its text is written when strSQL is read: most calls
  // never read it, and a failure shows its statement itself.
  const db::Statement& Show(db::Statement statement);
  // The same for a copy of `shape` (a record's fixed statement), written over the statement shown
  // before so that its room is used again; the caller puts its values.
  db::Statement& ShowCopyOf(const db::Statement& shape);

  const RecordDef& def_;
  mutable std::string strSQL_;
  // The statement strSQL shows while `shownPending_`: its text is not yet in strSQL_.
  mutable db::Statement shown_;
  mutable bool shownPending_ = false;
  // The column of each field in the result sets Fill met last (-1: none), and their columns.
  mutable std::shared_ptr<const std::vector<std::string>> fillColumns_;
  mutable std::vector<int> fillIndex_;
  std::shared_ptr<S_DBHelpForKX> db_;
};

// The storage class of a record: Def is the function returning its definition.
template <const RecordDef& (*Def_)()>
class StorageOf : public Storage {
 public:
  StorageOf() : Storage(Def_()) {}
  static const RecordDef& Def() { return Def_(); }
};

}  // namespace kx
