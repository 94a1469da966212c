#include "framework/entity.h"

#include "kx/error.h"
#include "shared/mod_kx_common.h"

namespace kx {

Entity::Entity(const RecordDef& def, std::shared_ptr<EntityStorage> storage)
    : def_(def), storage_(std::move(storage)), values_(def.initialValues) {}

bool Entity::isDirty() {
  return Guard("isDirty Function",
               [&] { return status() == esNew || status() == esModified || status() == esDeleted; });
}

void Entity::save() {
  Guard("save Sub", [&] {
    if (!isDirty()) return;
    OnSave();
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
  return Guard(def_.procTexts.at(index), [&] { return values_.at(index); });
}

void Entity::Set(size_t index, const Variant& value) {
  Guard(def_.procTexts.at(index), [&] { Store(index, ToFieldType(def_.fields[index].type, value)); });
}

void Entity::Set(size_t index, Variant&& value) {
  Guard(def_.procTexts.at(index), [&] { Store(index, ToFieldType(def_.fields[index].type, std::move(value))); });
}

void Entity::Store(size_t index, Variant typed) {
  const bool dirty = isDirty();
  const int16_t current = status();
  if (current != esLoading && !dirty && !(typed == values_[index])) modify();
  values_[index] = std::move(typed);
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

std::shared_ptr<Entity> EntityList::Item(int32_t index) const {
  if (index < 1 || index > Count()) ThrowRuntimeError(RuntimeErrorCode::SubscriptOutOfRange);
  return items[static_cast<size_t>(index - 1)];
}

}  // namespace kx
