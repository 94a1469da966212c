#include "joborderdetail/jb_diary.h"

#include "framework/registration.h"
#include "shared/mod_kx_common.h"
#include "runtime/votes.h"

namespace kx {

namespace {

using F = E_JBDiary::F;

// The registry names of the record's classes.
constexpr RecordClasses kClasses{.entity = "E_JBDiary", .storage = "S_JBDiary", .collection = "Col_JBDiary"};

}  // namespace

const RecordDef& JBDiaryDef() {
  static const RecordDef def = [] {
    const std::vector<FieldRead> reads = {F::Read("LastUpdateUser"), F::Read("LastUpdateDate"), F::Read("LastUpdateTime"),
                                          F::Read("JBDiaryText"),    F::Read("JBDiaryTypeInd"), F::Read("JBDiaryDate"),
                                          F::Read("JBDiaryTime")};
    return Complete({
        .entityClass = kClasses.entity,
        .storageClass = kClasses.storage,
        .table = "JB_DIARY",
        .fields = kJBDiaryFields,
        .key = F::Index("Id"),
        .identity = true,
        .collection = {.className = kClasses.collection,
                       .root = "JBDiarys",
                       .item = "JBDiary",
                       .parentKey = F::Index("JBNoId"),
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
    entry->Set(F::Index("JBNoId"), ParentKey(MasterKey));
    const ClockStamp updated = ReadClock();
    entry->Set(F::Index("LastUpdateDate"), Variant(updated.day));
    entry->Set(F::Index("LastUpdateTime"), Variant(updated.time));
    entry->Set(F::Index("LastUpdateUser"), Variant(strUserCode));
    entry->Set(F::Index("JBDiaryText"), Variant(strDiaryText));
    entry->Set(F::Index("JBDiaryTypeInd"), Variant(strDiaryTypeInd));
    const ClockStamp written = ReadClock();
    entry->Set(F::Index("JBDiaryDate"), Variant(written.day));
    entry->Set(F::Index("JBDiaryTime"), Variant(written.time));
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
