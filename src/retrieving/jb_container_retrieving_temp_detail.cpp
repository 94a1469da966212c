#include "retrieving/jb_container_retrieving_temp_detail.h"

#include "framework/registration.h"
#include "kx/error.h"
#include "shared/mod_kx_common.h"

namespace kx {

namespace {

// The registry names of the record's classes.
constexpr RecordClasses kClasses{.entity = "E_JBContainerRetrievingTempDetail",
                                 .storage = "S_JBContainerRetrievingTempDetail",
                                 .collection = "Col_JBContainerRetrievingTempDetail"};

}  // namespace

const RecordDef& JBContainerRetrievingTempDetailDef() {
  using E = E_JBContainerRetrievingTempDetail;
  // Lines are answered with their key and parent key first, then the line fields, then the flag.
  static const std::vector<size_t> order = [] {
    std::vector<size_t> o = {E::kId, E::kJBImportContainerWorkFileId};
    for (size_t i = E::kFromPlace; i <= E::kPlaceDelivery; ++i) o.push_back(i);
    o.push_back(E::kHandledFlag);
    return o;
  }();
  // A new line takes every line field as sent, and its flag by the plain Boolean conversion.
  static const std::vector<FieldRead> createReads = [] {
    std::vector<FieldRead> r;
    for (size_t i = E::kFromPlace; i <= E::kPlaceDelivery; ++i) r.push_back({i});
    r.push_back({E::kHandledFlag, Conversion::Plain});
    return r;
  }();
  static const RecordDef def = Complete({
      .entityClass = kClasses.entity,
      .storageClass = kClasses.storage,
      .table = "JB_CONTAINER_RETRIEVING_TEMP_DETAIL",
      .fields = kJBContainerRetrievingTempDetailFields,
      .key = E::kId,
      .identity = true,
      .attributeOrder = order,
      .collection =
          {
              .className = kClasses.collection,
              .root = "JBContainerRetrievingTempDetails",
              .item = "JBContainerRetrievingTempDetail",
              .parentKey = E::kJBImportContainerWorkFileId,
              // A stored line takes only its handled flag from a request ("Y" and "N" allowed).
              .updateReads = {{E::kHandledFlag, Conversion::Null2Bln}},
              .createReads = createReads,
          },
  });
  return def;
}

std::shared_ptr<db::Recordset> S_JBContainerRetrievingTempDetail::LoadFileLines(const std::string& key,
                                                                                Entity& entity) {
  return Guard("LoadByPK Function", [&] {
    auto rs = ReadInKeyOrder(
        db::Statement("select * from JB_CONTAINER_RETRIEVING_TEMP_DETAIL where JB_IMPORT_CONTAINER_WORK_FILE_ID = ")
            .Value(key));
    if (rs->RecordCount() == 0) Fail("Can not use code '" + key + "'");
    entity.setStatus(esLoading);
    Fill(entity, *rs);
    entity.setStatus(esLoaded);
    return rs;
  });
}

bool Col_JBContainerRetrievingTempDetail::isAllFinished(int32_t MasterKey) {
  return Guard("isAllFinished Function", [&] {
    auto s = std::static_pointer_cast<S_JBContainerRetrievingTempDetail>(storage());
    auto first = s->NewEntity();
    auto rs = s->LoadFileLines(std::to_string(MasterKey), *first);
    for (; !rs->EOF_(); rs->MoveNext())
      if (!Null2Bln(rs->Field("HANDLED_FLAG"))) return false;
    return true;
  });
}

namespace {

ClassInfo CollectionClass() {
  return ExposeCollection<Col_JBContainerRetrievingTempDetail>(JBContainerRetrievingTempDetailDef())
      .Method("getColElementsByXML", &Collection::getColElementsByXML, {OptionalByRef("key")})
      .Method("updateColElements", &Collection::updateColElements,
              {"ElementXml", Optional("MasterKey", std::string())})
      .Method("isAllFinished", &Col_JBContainerRetrievingTempDetail::isAllFinished, {"MasterKey"})
      .Build();
}

void Register() {
  DeclareRecord<JBContainerRetrievingTempDetailDef, E_JBContainerRetrievingTempDetail,
                S_JBContainerRetrievingTempDetail>(kClasses, nullptr, CollectionClass);
}

const AtLoad registered(Register);

}  // namespace
}  // namespace kx
