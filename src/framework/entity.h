// The entity protocol: one row held in fields described by a field table, a status that says
// whether it is new, changed, to be deleted, loaded or saved, and a storage that does the database
// work. Every record kind is an Entity with its own field table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/object.h"
#include "runtime/variant.h"

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

// The type a field holds.
enum class FieldType { Text, Int16, Int32, Double, Date };
// The conversion applied to a column value when a row is loaded.
enum class LoadConversion { Null2Str, Null2Int, Null2Date, Null2Bln };

// One persisted (or held) value of an entity.
struct FieldDef {
  std::string property;      // property name, e.g. "Code"
  std::string column;        // column, e.g. "JB_TYPE_CODE"; empty for values not stored
  FieldType type = FieldType::Text;
  LoadConversion load = LoadConversion::Null2Str;
  std::string xmlAttribute;  // attribute written in answers; empty for none
  std::string procText;      // procedure text of the accessors, e.g. "Code Property"
};

// A field table row: property, column, type, load conversion and XML attribute named alike; the
// procedure text is the property followed by " Property".
FieldDef Field(std::string property, std::string column, FieldType type = FieldType::Text,
               LoadConversion load = LoadConversion::Null2Str);

// The description of one record kind.
struct EntityDef {
  std::string className;       // "E_JBTypeProfile"
  std::vector<FieldDef> fields;

  // The index of `property` (exact name); -1 when there is none.
  int Index(std::string_view property) const;
};

// The value `raw` of a column after the field's load conversion, in the field's type.
Variant LoadValue(const FieldDef& field, const Variant& raw);
// The value converted to the field's type (Type mismatch, Overflow as the language fails).
Variant ToFieldType(FieldType type, const Variant& value);
// The text of a field value in answers and statements: dates as "YYYY-MM-DD", numbers in decimals.
std::string FieldText(const Variant& value);

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
  Entity(const EntityDef& def, std::shared_ptr<EntityStorage> storage);

  std::string_view ClassName() const override { return def_.className; }
  const EntityDef& def() const { return def_; }

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
  // Sets field `index` by the setter rule: the entity becomes modified when the value differs, it
  // is not loading and not already dirty; the value is stored in any case.
  void Set(size_t index, const Variant& value);
  Variant Get(std::string_view property) const { return Get(IndexOf(property)); }
  void Set(std::string_view property, const Variant& value) { Set(IndexOf(property), value); }

  std::string Text(size_t index) const { return CStr(Get(index)); }

  const std::shared_ptr<EntityStorage>& storage() const;
  void setStorage(std::shared_ptr<EntityStorage> storage);

 protected:
  // Initial field values of a new entity; none by default.
  virtual void OnAdd() {}

 private:
  size_t IndexOf(std::string_view property) const;

  const EntityDef& def_;
  std::shared_ptr<EntityStorage> storage_;
  std::vector<Variant> values_;
  int16_t status_ = 0;
};

// Registers the entity protocol and every field property under def.className; `create` makes
// the entity class.
void RegisterEntity(const EntityDef& def, std::function<ObjectPtr()> create);

}  // namespace kx
