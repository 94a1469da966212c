#include "typeprofile/jb_type_profile.h"

#include "framework/registration.h"
#include "shared/mod_kx_xml.h"

namespace kx {

namespace {

// The registry names of the record's classes.
constexpr RecordClasses kClasses{
    .entity = "E_JBTypeProfile", .storage = "S_JBTypeProfile", .controller = "C_JBTypeProfile"};

}  // namespace

const RecordDef& JBTypeProfileDef() {
  using E = E_JBTypeProfile;
  static const RecordDef def = Complete({
      .entityClass = kClasses.entity,
      .storageClass = kClasses.storage,
      .table = "JB_TYPE_PROFILE",
      .fields = kJBTypeProfileFields,
      .key = E::kCode,
      .containsFormat = "select Count(*) as RecCount from JB_TYPE_PROFILE where  JB_TYPE_CODE= '{}'",
      .insertColumns = "JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY",
      .controllerClass = kClasses.controller,
      .list = "JBTypeProfiles",
      .item = "JBTypeProfile",
      .schema = Sch_JBTypeProfileAddModify,
      .addReads = {{E::kCode}, {E::kJBTypeName}, {E::kJBTypeCategory}},
      .modifyReads = {{E::kJBTypeName}, {E::kJBTypeCategory}},
  });
  return def;
}

namespace {

void Register() {
  DeclareRecord<JBTypeProfileDef, E_JBTypeProfile, S_JBTypeProfile>(
      kClasses, [] { return ExposeController<C_JBTypeProfile>(JBTypeProfileDef()).Build(); });
}

const AtLoad registered(Register);

}  // namespace
}  // namespace kx
