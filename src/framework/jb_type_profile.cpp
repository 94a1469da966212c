#include "framework/jb_type_profile.h"

#include "framework/controller.h"
#include "runtime/error.h"
#include "shared/mod_kx_xml.h"

namespace kx {

const EntityDef& JBTypeProfileDef() {
  static const EntityDef def{"E_JBTypeProfile",
                             {Field("Code", "JB_TYPE_CODE"), Field("JBTypeName", "JB_TYPE_NAME"),
                              Field("JBTypeCategory", "JB_TYPE_CATEGORY")}};
  return def;
}

E_JBTypeProfile::E_JBTypeProfile() : Entity(JBTypeProfileDef(), std::make_shared<S_JBTypeProfile>()) {}

S_JBTypeProfile::S_JBTypeProfile() : Storage(JBTypeProfileDef(), {"JB_TYPE_PROFILE", "JB_TYPE_CODE"}) {}

void S_JBTypeProfile::save(Entity& e) {
  using E = E_JBTypeProfile;
  Guard("save Sub", [&] {
    switch (e.status()) {
      case esNew:
        Write("Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('" +
              Value(e, E::kCode) + "','" + Value(e, E::kJBTypeName) + "','" + Value(e, E::kJBTypeCategory) + "')");
        break;
      case esModified:
        Write("Update JB_TYPE_PROFILE Set JB_TYPE_NAME = '" + Value(e, E::kJBTypeName) + "', JB_TYPE_CATEGORY = '" +
              Value(e, E::kJBTypeCategory) + "' Where JB_TYPE_CODE= '" + Value(e, E::kCode) + "'");
        break;
      case esDeleted:
        Write("Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= '" + Value(e, E::kCode) + "'");
        break;
      default:
        break;
    }
  });
}

C_JBTypeProfile::C_JBTypeProfile()
    : entity_(std::make_shared<E_JBTypeProfile>()), storage_(std::make_shared<S_JBTypeProfile>()) {}

std::string C_JBTypeProfile::getElementByXML(const std::string& key) {
  return ControllerGuard("getElementByXML Function", [&] {
    Answer answer("JBTypeProfiles");
    xml::Element element = answer.Append("JBTypeProfile");
    JBTypeProfile()->load(key);
    WriteAttributes(element, *entity_);
    return answer.Text();
  });
}

bool C_JBTypeProfile::containsKey(const std::string& key) {
  return ControllerGuard("containsKey Function", [&] { return storage()->containsPK(key); });
}

std::string C_JBTypeProfile::queryOwnedElementsByXML(Variant& ResultCount, Variant& ResultPages,
                                                     int16_t CountPerPage, int16_t PageNumber,
                                                     const std::string& AccessKey) {
  return ControllerGuard("queryOwnedElementsByXML Function", [&] {
    auto rs = storage()->Query(AccessKey);
    Answer answer("JBTypeProfiles");
    WritePage(*rs, ResultCount, ResultPages, CountPerPage, PageNumber, [&](const db::Recordset& row) {
      WriteAttributes(answer.Append("JBTypeProfile"), row, JBTypeProfileDef());
    });
    return answer.Text();
  });
}

void C_JBTypeProfile::add(const std::string& ElementXml) {
  ControllerGuard("add Sub", [&] {
    const auto doc = LoadValidated(ElementXml, Sch_JBTypeProfileAddModify());
    auto entity = JBTypeProfile();
    entity->add();
    ReadAttributes(FirstRequired(*doc, "JBTypeProfile"), *entity, {"Code", "JBTypeName", "JBTypeCategory"});
    entity->save();
  });
}

void C_JBTypeProfile::modify(const std::string& ElementXml) {
  ControllerGuard("modify Sub", [&] {
    const auto doc = LoadValidated(ElementXml, Sch_JBTypeProfileAddModify());
    const xml::Element element = FirstRequired(*doc, "JBTypeProfile");
    auto entity = JBTypeProfile();
    entity->load(CStr(AttributeValue(element, "Code")));
    ReadAttributes(element, *entity, {"JBTypeName", "JBTypeCategory"});
    entity->save();
  });
}

void C_JBTypeProfile::remove(const std::string& ElementId) {
  ControllerGuard("remove Sub", [&] {
    auto entity = JBTypeProfile();
    entity->load(ElementId);
    entity->remove();
    entity->save();
  });
}

std::shared_ptr<E_JBTypeProfile> C_JBTypeProfile::JBTypeProfile() {
  return ControllerGuard("JBTypeProfile Property", [&] {
    if (!entity_) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
    return entity_;
  });
}

void C_JBTypeProfile::setJBTypeProfile(std::shared_ptr<E_JBTypeProfile> entity) {
  ControllerGuard("JBTypeProfile Property", [&] { entity_ = std::move(entity); });
}

std::shared_ptr<S_JBTypeProfile> C_JBTypeProfile::storage() {
  return ControllerGuard("storage Property", [&] {
    if (!storage_) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
    return storage_;
  });
}

}  // namespace kx
