// Late-bound access to the pattern members of entities, storages, controllers and collections:
// each returns the registration of a record's class with the members of its pattern, to which a
// record adds its own before it registers the class.
#pragma once

#include <cstddef>
#include <type_traits>

#include "framework/collection.h"
#include "framework/controller.h"
#include "framework/entity.h"
#include "framework/storage.h"
#include "runtime/expose.h"

namespace kx {

// Declares every class of the record that `Def` describes, in one call, under their names in
// `names`: the entity class E and the storage class S with the members of their patterns and what
// `EntityMembers` and `StorageMembers` add to them, and the record's controller or collection as
// `controller` and `collection` build them. Each registration (and the record's definition) is
// made when its class is first used.
template <const RecordDef& (*Def)(), class E, class S, auto EntityMembers = nullptr, auto StorageMembers = nullptr>
void DeclareRecord(const RecordClasses& names, ClassBuilder controller = nullptr, ClassBuilder collection = nullptr);

template <class E>
Expose<E> ExposeEntity(const RecordDef& def) {
  Expose<E> x(def.entityClass);
  x.Method("isDirty", &Entity::isDirty)
      .Method("save", &Entity::save)
      .Method("load", &Entity::load, {"PKValue"})
      .Method("add", &Entity::add)
      .Method("remove", &Entity::remove)
      .Property("status", &Entity::status, &Entity::setStatus)
      .Method("modify", &Entity::modify);
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const std::string name(def.fields[i].property);
    x.Raw(name, MemberKind::PropertyGet, {}, [i](E& e, Args&) { return e.Get(i); });
    x.Raw(name, MemberKind::PropertyLet, {}, [i](E& e, Args& a) {
      e.Set(i, a.back());
      return Variant();
    });
  }
  return x;
}

template <class S>
Expose<S> ExposeStorage(const RecordDef& def) {
  Expose<S> x(def.storageClass);
  x.Property("strSQL", &Storage::strSQL, &Storage::setStrSQL)
      .Method("containsPK", &Storage::containsPK, {"PKValue"})
      .Property("DB", &Storage::DB, &Storage::setDB);
  if (!def.collection.className.empty())
    x.Raw("LoadElementsIntoCol", MemberKind::Method, {"MasterKeyValue", "colItems"}, [](S& s, Args& a) {
      s.LoadElementsIntoCol(CStr(a[0]), *ObjectAs<EntityList>(a[1]));
      return Variant();
    });
  return x;
}

template <class C>
Expose<C> ExposeController(const RecordDef& def) {
  Expose<C> x(def.controllerClass);
  x.Method("getElementByXML", &Controller::getElementByXML, {"key"})
      .Method("containsKey", &Controller::containsKey, {"key"})
      .Method("queryOwnedElementsByXML", &Controller::queryOwnedElementsByXML,
              {"ResultCount", "ResultPages", Optional("CountPerPage", int32_t{0}),
               Optional("PageNumber", int32_t{0}), Optional("AccessKey", std::string())})
      .Method("add", &Controller::add, {"ElementXml"})
      .Method("modify", &Controller::modify, {"ElementXml"})
      .Method("remove", &Controller::remove, {"ElementId"})
      .Property(def.entityProperty, &Controller::entity, &Controller::setEntity);
  return x;
}

template <const RecordDef& (*Def)(), class E, class S, auto EntityMembers, auto StorageMembers>
void DeclareRecord(const RecordClasses& names, ClassBuilder controller, ClassBuilder collection) {
  auto& registry = Registry::Instance();
  registry.Declare(names.entity, [] {
    Expose<E> x = ExposeEntity<E>(Def());
    if constexpr (!std::is_same_v<decltype(EntityMembers), std::nullptr_t>) EntityMembers(x);
    return x.Build();
  });
  registry.Declare(names.storage, [] {
    Expose<S> x = ExposeStorage<S>(Def());
    if constexpr (!std::is_same_v<decltype(StorageMembers), std::nullptr_t>) StorageMembers(x);
    return x.Build();
  });
  if (controller) registry.Declare(names.controller, controller);
  if (collection) registry.Declare(names.collection, collection);
}

template <class Col>
Expose<Col> ExposeCollection(const RecordDef& def) {
  Expose<Col> x(def.collection.className);
  x.Method("getColElementsByXML", &Collection::getColElementsByXML, {Optional("key", std::string())})
      .Method("updateColElements", &Collection::updateColElements, {"ElementXml", "MasterKey"})
      .Method("loadElements", &Collection::loadElements, {"MasterKey"})
      .Method("Count", &Collection::Count)
      .Method("Item", &Collection::Item, {"Index"})
      .Method("removeColElements", &Collection::removeColElements)
      .Property("colItems", &Collection::colItems, &Collection::setColItems);
  return x;
}

}  // namespace kx
