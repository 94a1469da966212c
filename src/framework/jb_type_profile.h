// Job order type profiles: the entity, its storage and its controller.
#pragma once

#include <memory>
#include <string>

#include "framework/entity.h"
#include "framework/storage.h"
#include "runtime/object.h"

namespace kx {

// The field table of a type profile (table JB_TYPE_PROFILE).
const EntityDef& JBTypeProfileDef();

class E_JBTypeProfile : public Entity {
 public:
  E_JBTypeProfile();
  enum FieldIndex : size_t { kCode, kJBTypeName, kJBTypeCategory };

  std::string Code() const { return Text(kCode); }
  void setCode(const std::string& v) { Set(kCode, v); }
  std::string JBTypeName() const { return Text(kJBTypeName); }
  void setJBTypeName(const std::string& v) { Set(kJBTypeName, v); }
  std::string JBTypeCategory() const { return Text(kJBTypeCategory); }
  void setJBTypeCategory(const std::string& v) { Set(kJBTypeCategory, v); }
};

class S_JBTypeProfile : public Storage {
 public:
  S_JBTypeProfile();
  std::string_view ClassName() const override { return "S_JBTypeProfile"; }
  // Inserts, updates or deletes the entity's row by its status; any other status runs nothing.
  void save(Entity& entity) override;
};

class C_JBTypeProfile : public Object {
 public:
  C_JBTypeProfile();
  std::string_view ClassName() const override { return "C_JBTypeProfile"; }

  // The answer document with the one type profile `key`.
  std::string getElementByXML(const std::string& key);
  bool containsKey(const std::string& key);
  // One page of the type profiles the access key selects.
  std::string queryOwnedElementsByXML(Variant& ResultCount, Variant& ResultPages, int16_t CountPerPage = 0,
                                      int16_t PageNumber = 0, const std::string& AccessKey = "");
  void add(const std::string& ElementXml);
  void modify(const std::string& ElementXml);
  void remove(const std::string& ElementId);

  std::shared_ptr<E_JBTypeProfile> JBTypeProfile();
  void setJBTypeProfile(std::shared_ptr<E_JBTypeProfile> entity);

 private:
  std::shared_ptr<S_JBTypeProfile> storage();
  std::shared_ptr<E_JBTypeProfile> entity_;
  std::shared_ptr<S_JBTypeProfile> storage_;
};

}  // namespace kx
