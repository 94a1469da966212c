#include "framework/collection.h"

#include "framework/xml_mapping.h"
#include "kx/error.h"
#include "shared/mod_kx_xml.h"

namespace kx {

Collection::Collection(const RecordDef& def, std::shared_ptr<Storage> storage)
    : def_(def), storage_(std::move(storage)), items_(std::make_shared<EntityList>()) {}

std::shared_ptr<Storage> Collection::storage() {
  return Guard("storage Property", [&] {
    if (!storage_) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
    return storage_;
  });
}

std::shared_ptr<EntityList> Collection::colItems() {
  return Guard(def_.collection.colItemsProc, [&] {
    if (!items_) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
    return items_;
  });
}

void Collection::setColItems(std::shared_ptr<EntityList> items) {
  Guard(def_.collection.colItemsProc, [&] { items_ = std::move(items); });
}

Variant Collection::ParentKey(const std::string& MasterKey) { return Variant(CLng(Variant(MasterKey))); }

int16_t Collection::Count() {
  return Guard("Count Function", [&] {
    const int32_t n = colItems()->Count();
    if (n > INT16_MAX) ThrowRuntimeError(RuntimeErrorCode::Overflow);
    return static_cast<int16_t>(n);
  });
}

std::shared_ptr<Entity> Collection::Item(int16_t Index) {
  return Guard("Item Function", [&] { return colItems()->Item(Index); });
}

void Collection::loadElements(const std::string& MasterKey) {
  Guard("loadElements Sub", [&] { storage()->LoadElementsIntoCol(MasterKey, *colItems()); });
}

std::string Collection::getColElementsByXML(const std::string& key) {
  return Guard("getColElementsByXML Function", [&] {
    const CollectionDef& c = def_.collection;
    const auto doc = xml::Document::Create(c.root);
    WriteItems(doc->Root(), key);
    return doc->Serialize();
  });
}

void Collection::WriteItems(xml::Element list, const std::string& key) {
  const CollectionDef& c = def_.collection;
  const int16_t n = Count();
  for (int16_t i = 1; i <= n; ++i) {
    auto child = Item(i);
    if (!key.empty() && XmlText(child->Get(c.parentKey)) != key) continue;
    WriteAttributes(list.AppendElement(c.item), *child);
  }
}

void Collection::NestIn(xml::Element parent) {
  Guard("getColElementsByXML Function", [&] { WriteItems(parent.AppendElement(def_.collection.root)); });
}

void Collection::updateColElements(const std::string& ElementXml, const std::string& MasterKey) {
  Guard("updateColElements Sub", [&] {
    std::string reason;
    const auto doc = xml::Document::Parse(ElementXml, reason);
    // Text that does not parse is no empty list: taking it for one would delete every child.
    if (!doc) Fail(reason);
    Pair(doc->ElementsByTagName(def_.collection.item), MasterKey);
  });
}

void Collection::UpdateElements(const xml::Element& scope, const std::string& MasterKey) {
  Guard("updateColElements Sub", [&] { Pair(scope.ElementsByTagName(def_.collection.item), MasterKey); });
}

void Collection::Pair(const std::vector<xml::Element>& nodes, const std::string& MasterKey) {
  const CollectionDef& c = def_.collection;
  const int32_t n = static_cast<int32_t>(nodes.size());
  const int32_t count = Count();
  for (int32_t i = 1; i <= std::min(count, n); ++i) {
    auto child = Item(static_cast<int16_t>(i));
    child->Set(c.parentKey, ParentKey(MasterKey));
    ReadAttributes(nodes[static_cast<size_t>(i - 1)], *child, c.updateReads);
    child->save();
  }
  for (int32_t i = count + 1; i <= n; ++i) {
    auto child = storage()->NewEntity();
    colItems()->Add(child);
    child->add();
    child->Set(c.parentKey, ParentKey(MasterKey));
    ReadAttributes(nodes[static_cast<size_t>(i - 1)], *child, c.createReads);
    child->save();
  }
  for (int32_t i = n + 1; i <= count; ++i) {
    auto child = Item(static_cast<int16_t>(i));
    child->remove();
    child->save();
  }
}

void Collection::removeColElements() {
  Guard("removeColElements Sub", [&] {
    const int16_t n = Count();
    for (int16_t i = 1; i <= n; ++i) {
      auto child = Item(i);
      child->remove();
      child->save();
    }
  });
}

}  // namespace kx
