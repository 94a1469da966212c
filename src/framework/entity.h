// The entity protocol: one row held in fields described by a record definition, a status that
// says whether it is new, changed, to be deleted, loaded or saved, and a storage that does the
// database work. Every record kind is an Entity with its own definition.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/record.h"
#include "kx/object.h"
#include "kx/variant.h"

namespace kx {

// Entity status values.
enum EntityStatus : int16_t {
  esLoading = 1,
  esLoaded = 2,
  esNew = 3,
  esModified = 4,
  esDeleted = 5,
  esSaved = 6,
};

class Entity;

// The storage operations an entity needs: filling it from its row, and writing it.
class EntityStorage {
 public:
  virtual ~EntityStorage() = default;
  virtual void LoadByPK(const std::string& PKValue, Entity& entity) = 0;
  virtual void save(Entity& entity) = 0;
};

class Entity : public Object {
 public:
  Entity(const RecordDef& def, std::shared_ptr<EntityStorage> storage);

  std::string_view ClassName() const override { return def_.entityClass; }
  const RecordDef& def() const { return def_; }

  bool isDirty();
  void save();
  void load(const std::string& PKValue);
  void add();
  void remove();
  void modify();
  int16_t status() const;
  void setStatus(int16_t status);

  // The value of field `index`, guarded by its procedure text.
  Variant Get(size_t index) const;
  // Sets field `index` by the setter rule: the value is converted to the field's type; the entity
  // becomes modified when the value differs, it is not loading and not already dirty; the value is
  // stored in any case.
  void Set(size_t index, const Variant& value);
  void Set(size_t index, Variant&& value);
  // The value of field `index` where the entity holds it; `index` must be a field of the record.
  const Variant& Value(size_t index) const { return values_[index]; }
  Variant Get(std::string_view property) const { return Get(IndexOf(property)); }
  void Set(std::string_view property, const Variant& value) { Set(IndexOf(property), value); }

  std::string Text(size_t index) const { return CStr(Get(index)); }
  int32_t Long(size_t index) const { return CLng(Get(index)); }

  const std::shared_ptr<EntityStorage>& storage() const;
  void setStorage(std::shared_ptr<EntityStorage> storage);

 protected:
  // Initial field values of a new entity; none by default.
  virtual void OnAdd() {}
  // Runs inside save, before a dirty entity is handed to its storage (a new record settles its
  // business key here); nothing by default.
  virtual void OnSave() {}

 private:
  size_t IndexOf(std::string_view property) const;
  // Stores `typed` (of the field's type) by the setter rule.
  void Store(size_t index, Variant typed);

  const RecordDef& def_;
  std::shared_ptr<EntityStorage> storage_;
  std::vector<Variant> values_;
  int16_t status_ = 0;
};

// The entity class of a record whose storage class is S (S::Def() is the record definition).
template <class S>
class EntityOf : public Entity {
 public:
  EntityOf() : Entity(S::Def(), std::make_shared<S>()) {}
};

// The ordered, key-less list of a collection's entities, reached by 1-based position; shared
// between the collection and whoever asked for it.
class EntityList : public Object {
 public:
  std::string_view ClassName() const override { return "Collection"; }
  int32_t Count() const { return static_cast<int32_t>(items.size()); }
  // The entity at 1-based `index`; outside 1 to Count fails with Subscript out of range.
  std::shared_ptr<Entity> Item(int32_t index) const;
  void Add(std::shared_ptr<Entity> entity) { items.push_back(std::move(entity)); }

  std::vector<std::shared_ptr<Entity>> items;
};

}  // namespace kx
