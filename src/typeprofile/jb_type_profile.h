// Job order type profiles: the catalogue of job types (code, name, category).
#pragma once

#include <memory>
#include <string>

#include "framework/controller.h"
#include "framework/entity.h"
#include "framework/storage.h"

namespace kx {

inline constexpr FieldSpec kJBTypeProfileFields[] = {
    TextField("Code", "JB_TYPE_CODE"),
    TextField("JBTypeName", "JB_TYPE_NAME"),
    TextField("JBTypeCategory", "JB_TYPE_CATEGORY"),
};

// Table JB_TYPE_PROFILE, keyed by JB_TYPE_CODE.
const RecordDef& JBTypeProfileDef();

class S_JBTypeProfile : public StorageOf<JBTypeProfileDef> {};

class E_JBTypeProfile : public EntityOf<S_JBTypeProfile> {
 public:
  using F = FieldsOf<kJBTypeProfileFields>;
  static constexpr size_t kCode = F::Index("Code");
  static constexpr size_t kJBTypeName = F::Index("JBTypeName");
  static constexpr size_t kJBTypeCategory = F::Index("JBTypeCategory");

  std::string Code() const { return Text(kCode); }
  void setCode(const std::string& v) { Set(kCode, v); }
  std::string JBTypeName() const { return Text(kJBTypeName); }
  void setJBTypeName(const std::string& v) { Set(kJBTypeName, v); }
  std::string JBTypeCategory() const { return Text(kJBTypeCategory); }
  void setJBTypeCategory(const std::string& v) { Set(kJBTypeCategory, v); }
};

class C_JBTypeProfile : public ControllerOf<E_JBTypeProfile, S_JBTypeProfile> {
 public:
  std::shared_ptr<E_JBTypeProfile> JBTypeProfile() {
    return std::static_pointer_cast<E_JBTypeProfile>(entity());
  }
  void setJBTypeProfile(std::shared_ptr<E_JBTypeProfile> e) { setEntity(std::move(e)); }
};

}  // namespace kx
