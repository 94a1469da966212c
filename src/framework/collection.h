// Child collections: the ordered, key-less list of the detail entities of one parent, written once
// for every record that has one. Children are paired with request elements by position.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "framework/entity.h"
#include "framework/storage.h"
#include "runtime/xml.h"

namespace kx {

class Collection : public Object {
 public:
  // `def` is the child record's definition; its `collection` names the class and its elements.
  Collection(const RecordDef& def, std::shared_ptr<Storage> storage);

  std::string_view ClassName() const override { return def_.collection.className; }
  const RecordDef& def() const { return def_; }

  // The XML of the children whose parent key is `key`, or of every child when `key` is empty.
  std::string getColElementsByXML(const std::string& key = "");
  // Pairs the item elements of `ElementXml` with the children by position: paired children are
  // updated, elements beyond the children create new ones, children beyond the elements are
  // deleted; each is saved under the parent `MasterKey` at once. Text that does not parse fails
  // and changes nothing.
  void updateColElements(const std::string& ElementXml, const std::string& MasterKey);
  // The same for a request its caller has parsed already: the item elements are those of `scope`
  // (itself included).
  void UpdateElements(const xml::Element& scope, const std::string& MasterKey);
  // Appends the stored children of the parent `MasterKey`.
  void loadElements(const std::string& MasterKey);
  int16_t Count();
  // The child at 1-based `Index`; outside 1 to Count fails with Subscript out of range.
  std::shared_ptr<Entity> Item(int16_t Index);
  // Deletes every child's row; the entries stay in the list.
  void removeColElements();
  std::shared_ptr<EntityList> colItems();
  void setColItems(std::shared_ptr<EntityList> items);

  // Appends one item element per child whose parent key is `key` (every child for an empty key)
  // to `list`: the body of getColElementsByXML.
  void WriteItems(xml::Element list, const std::string& key = "");
  // Appends the list of every child to `parent` ("<JBDiarys><JBDiary .../></JBDiarys>"), as a
  // parent's answer nests its children.
  void NestIn(xml::Element parent);

 protected:
  std::shared_ptr<Storage> storage();
  // The parent key of `MasterKey` as children hold it (Type mismatch for a key that is no number).
  static Variant ParentKey(const std::string& MasterKey);

 private:
  // The body of updateColElements: pairs `nodes` with the children by position.
  void Pair(const std::vector<xml::Element>& nodes, const std::string& MasterKey);

  const RecordDef& def_;
  std::shared_ptr<Storage> storage_;
  std::shared_ptr<EntityList> items_;
};

// The collection class of a child record whose storage class is S.
template <class S>
class CollectionOf : public Collection {
 public:
  CollectionOf() : Collection(S::Def(), std::make_shared<S>()) {}
};

// A parent's hold on one of its child collections, of class C. The first read of a new parent
// gives an empty collection without reading the database; every other read drops the held
// collection and gives a newly loaded one, so that it reflects the database.
template <class C>
class ChildSlot {
 public:
  // `parentKey` is the parent's key field.
  std::shared_ptr<C> Get(Entity& parent, size_t parentKey) {
    const bool first = held_ == nullptr;
    auto collection = std::make_shared<C>();
    if (!first || parent.status() != esNew) collection->loadElements(XmlText(parent.Get(parentKey)));
    held_ = collection;
    return collection;
  }

 private:
  std::shared_ptr<C> held_;
};

}  // namespace kx
