#include "framework/entity.h"

#include "runtime/error.h"
#include "runtime/registry.h"
#include "shared/mod_kx_common.h"

namespace kx {

FieldDef Field(std::string property, std::string column, FieldType type, LoadConversion load) {
  FieldDef f;
  f.procText = property + " Property";
  f.xmlAttribute = property;
  f.property = std::move(property);
  f.column = std::move(column);
  f.type = type;
  f.load = load;
  return f;
}

int EntityDef::Index(std::string_view property) const {
  for (size_t i = 0; i < fields.size(); ++i)
    if (fields[i].property == property) return static_cast<int>(i);
  return -1;
}

Variant ToFieldType(FieldType type, const Variant& value) {
  switch (type) {
    case FieldType::Text: return Variant(CStr(value));
    case FieldType::Int16: return Variant(CInt(value));
    case FieldType::Int32: return Variant(CLng(value));
    case FieldType::Double: return Variant(CDbl(value));
    case FieldType::Date: return Variant(CDate(value));
  }
  return value;
}

Variant LoadValue(const FieldDef& field, const Variant& raw) {
  switch (field.load) {
    case LoadConversion::Null2Str: return ToFieldType(field.type, Null2Str(raw));
    case LoadConversion::Null2Int: return ToFieldType(field.type, Null2Int(raw));
    case LoadConversion::Null2Date: return ToFieldType(field.type, Variant(Null2Date(raw)));
    case LoadConversion::Null2Bln: return ToFieldType(field.type, Variant(Null2Bln(raw)));
  }
  return raw;
}

std::string FieldText(const Variant& value) {
  if (const auto* d = value.get_if<Date>()) return d->DateText();
  if (value.IsNull()) return {};
  return CStr(value);
}

namespace {

Variant InitialValue(FieldType type) {
  switch (type) {
    case FieldType::Text: return Variant(std::string());
    case FieldType::Int16: return Variant(int16_t{0});
    case FieldType::Int32: return Variant(int32_t{0});
    case FieldType::Double: return Variant(0.0);
    case FieldType::Date: return Variant(Date{});
  }
  return {};
}

}  // namespace

Entity::Entity(const EntityDef& def, std::shared_ptr<EntityStorage> storage)
    : def_(def), storage_(std::move(storage)) {
  values_.reserve(def_.fields.size());
  for (const auto& f : def_.fields) values_.push_back(InitialValue(f.type));
}

bool Entity::isDirty() {
  return Guard("isDirty Function", [&] {
    return status() == esNew || status() == esModified || status() == esDeleted;
  });
}

void Entity::save() {
  Guard("save Sub", [&] {
    if (!isDirty()) return;
    storage()->save(*this);
    setStatus(esSaved);
  });
}

void Entity::load(const std::string& PKValue) {
  Guard("load Sub", [&] {
    setStatus(esLoading);
    storage()->LoadByPK(PKValue, *this);
    setStatus(esLoaded);
  });
}

void Entity::add() {
  Guard("add Sub", [&] {
    setStatus(esNew);
    OnAdd();
  });
}

void Entity::remove() {
  Guard("remove Sub", [&] { setStatus(esDeleted); });
}

void Entity::modify() {
  Guard("modify Sub", [&] { setStatus(esModified); });
}

int16_t Entity::status() const {
  return Guard("status Property", [&] { return status_; });
}

void Entity::setStatus(int16_t status) {
  Guard("status Property", [&] { status_ = status; });
}

size_t Entity::IndexOf(std::string_view property) const {
  const int index = def_.Index(property);
  if (index < 0) ThrowRuntimeError(RuntimeErrorCode::MemberNotSupported);
  return static_cast<size_t>(index);
}

Variant Entity::Get(size_t index) const {
  return Guard(def_.fields.at(index).procText, [&] { return values_[index]; });
}

void Entity::Set(size_t index, const Variant& value) {
  const FieldDef& field = def_.fields.at(index);
  Guard(field.procText, [&] {
    Variant typed = ToFieldType(field.type, value);
    const bool dirty = isDirty();
    const int16_t current = status();
    if (!(typed == values_[index]) && current != esLoading && !dirty) modify();
    values_[index] = std::move(typed);
  });
}

const std::shared_ptr<EntityStorage>& Entity::storage() const {
  return Guard("storage Property", [&]() -> const std::shared_ptr<EntityStorage>& {
    if (!storage_) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
    return storage_;
  });
}

void Entity::setStorage(std::shared_ptr<EntityStorage> storage) {
  Guard("storage Property", [&] { storage_ = std::move(storage); });
}

void RegisterEntity(const EntityDef& def, std::function<ObjectPtr()> create) {
  ClassBuilder<Entity> entity(def.className, std::move(create));
  entity.Method("isDirty", {}, [](Entity& e, Args&) { return Variant(e.isDirty()); })
      .Method("save", {}, [](Entity& e, Args&) { e.save(); return Variant(); })
      .Method("load", {Param("PKValue")}, [](Entity& e, Args& a) { e.load(CStr(a[0])); return Variant(); })
      .Method("add", {}, [](Entity& e, Args&) { e.add(); return Variant(); })
      .Method("remove", {}, [](Entity& e, Args&) { e.remove(); return Variant(); })
      .Property("status", [](Entity& e) { return Variant(e.status()); },
                [](Entity& e, const Variant& v) { e.setStatus(CInt(v)); })
      .Method("modify", {}, [](Entity& e, Args&) { e.modify(); return Variant(); });
  for (size_t i = 0; i < def.fields.size(); ++i)
    entity.Property(def.fields[i].property, [i](Entity& e) { return e.Get(i); },
                    [i](Entity& e, const Variant& v) { e.Set(i, v); });
}

}  // namespace kx
