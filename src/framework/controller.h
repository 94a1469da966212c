// The controller XML interface: answer documents, paging of search results and validated
// requests, written once for every record; a record's controller adds only what is irregular.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/collection.h"
#include "framework/entity.h"
#include "framework/storage.h"
#include "framework/xml_mapping.h"

namespace kx {

// The paging figures of a search: ResultPages is count / CountPerPage plus one for a remainder,
// or 1 when CountPerPage is 0 or less.
int32_t PageCount(int32_t count, int32_t CountPerPage);

// The controller of a record: one working entity and one storage, created with it and reused by
// every call. Every member votes complete on success and abort on failure.
class Controller : public Object {
 public:
  Controller(const RecordDef& def, std::shared_ptr<Entity> entity, std::shared_ptr<Storage> storage);

  std::string_view ClassName() const override { return def_.controllerClass; }
  const RecordDef& def() const { return def_; }

  // The answer document with the one record `key`.
  std::string getElementByXML(const std::string& key);
  bool containsKey(const std::string& key);
  // One page of the records the access key selects, in key order.
  std::string queryOwnedElementsByXML(Variant& ResultCount, Variant& ResultPages, int32_t CountPerPage = 0,
                                      int32_t PageNumber = 0, const std::string& AccessKey = "");
  void add(const std::string& ElementXml);
  void modify(const std::string& ElementXml);
  void remove(const std::string& ElementId);

  // The working entity (the property named after the record).
  std::shared_ptr<Entity> entity();
  void setEntity(std::shared_ptr<Entity> entity);

 protected:
  std::shared_ptr<Storage> storage();
  // The working entity, read without a transaction vote (Object variable not set when there is none).
  std::shared_ptr<Entity> heldEntity() const;
  // Loads `ElementXml` validated against the record's schema; the first item element.
  std::unique_ptr<xml::Document> LoadRequest(const std::string& ElementXml) const;
  // Appends the item element of the working entity to `answer`, with the collections the record
  // nests in it.
  void WriteEntity(Answer& answer);
  // The collections nested, in order, in the item element of the record's answer; none by default.
  virtual std::vector<std::shared_ptr<Collection>> NestedInAnswer() { return {}; }
  // Writes one page of `AccessKey`'s rows, setting the paging figures.
  std::string WritePage(Variant& ResultCount, Variant& ResultPages, int32_t CountPerPage, int32_t PageNumber,
                        const std::string& AccessKey);

 private:
  const RecordDef& def_;
  std::shared_ptr<Entity> entity_;
  std::shared_ptr<Storage> storage_;
};

// The controller class of a record whose entity class is E and storage class S.
template <class E, class S>
class ControllerOf : public Controller {
 public:
  ControllerOf() : Controller(S::Def(), std::make_shared<E>(), std::make_shared<S>()) {}
};

}  // namespace kx
