#include "joborderdetail/jb_diary.h"

#include "framework/registration.h"
#include "shared/mod_kx_common.h"
#include "runtime/votes.h"

namespace kx {

namespace {

consteval FieldRead F(std::string_view property) { return {JBDiaryField(property)}; }

// The registry names of the record's classes.
constexpr RecordClasses kClasses{.entity = "E_JBDiary", .storage = "S_JBDiary", .collection = "Col_JBDiary"};

}  // namespace

const RecordDef& JBDiaryDef() {
  static const RecordDef def = [] {
    const std::vector<FieldRead> reads = {F("LastUpdateUser"), F("LastUpdateDate"), F("LastUpdateTime"),
                                          F("JBDiaryText"),    F("JBDiaryTypeInd"), F("JBDiaryDate"),
                                          F("JBDiaryTime")};
    return Complete({
        .entityClass = kClasses.entity,
        .storageClass = kClasses.storage,
        .table = "JB_DIARY",
        .fields = kJBDiaryFields,
        .key = JBDiaryField("Id"),
        .identity = true,
        .collection = {.className = kClasses.collection,
                       .root = "JBDiarys",
                       .item = "JBDiary",
                       .parentKey = JBDiaryField("JBNoId"),
                       .updateReads = reads,
                       .createReads = reads},
    });
  }();
  return def;
}

void Col_JBDiary::add(const std::string& MasterKey, const std::string& strUserCode,
                      const std::string& strDiaryTypeInd, const std::string& strDiaryText) {
  ControllerGuard("Add Sub :", [&] {
    auto entry = storage()->NewEntity();
    entry->add();
    entry->Set(JBDiaryField("JBNoId"), ParentKey(MasterKey));
    const ClockStamp updated = ReadClock();
    entry->Set(JBDiaryField("LastUpdateDate"), Variant(updated.day));
    entry->Set(JBDiaryField("LastUpdateTime"), Variant(updated.time));
    entry->Set(JBDiaryField("LastUpdateUser"), Variant(strUserCode));
    entry->Set(JBDiaryField("JBDiaryText"), Variant(strDiaryText));
    entry->Set(JBDiaryField("JBDiaryTypeInd"), Variant(strDiaryTypeInd));
    const ClockStamp written = ReadClock();
    entry->Set(JBDiaryField("JBDiaryDate"), Variant(written.day));
    entry->Set(JBDiaryField("JBDiaryTime"), Variant(written.time));
    entry->save();
  });
}

namespace {

ClassInfo CollectionClass() {
  return ExposeCollection<Col_JBDiary>(JBDiaryDef())
      .Method("getColElementsByXML", &Collection::getColElementsByXML, {OptionalByRef("key")})
      .Method("add", &Col_JBDiary::add, {"MasterKey", "strUserCode", "strDiaryTypeInd", "strDiaryText"})
      .Build();
}

void Register() {
  DeclareRecord<JBDiaryDef, E_JBDiary, S_JBDiary>(kClasses, nullptr, CollectionClass);
}

const AtLoad registered(Register);

}  // namespace
}  // namespace kx
