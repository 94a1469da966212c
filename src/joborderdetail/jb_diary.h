// The diary of a job order: one entry per event or note, with its type, its text, when it was
// written and by whom.
#pragma once

#include <string>

#include "framework/collection.h"
#include "framework/entity.h"
#include "framework/storage.h"

namespace kx {

inline constexpr FieldSpec kJBDiaryFields[] = {
    Int32Field("Id", "JB_DIARY_NO_ID"),
    Int32Field("JBNoId", "JB_NO_ID"),
    TextField("LastUpdateUser", "LAST_UPDATE_USER"),
    DateField("LastUpdateDate", "LAST_UPDATE_DATE"),
    DoubleField("LastUpdateTime", "LAST_UPDATE_TIME"),
    TextField("JBDiaryText", "JB_DIARY_TEXT"),
    TextField("JBDiaryTypeInd", "JB_DIARY_TYPE_IND"),
    DateField("JBDiaryDate", "JB_DIARY_DATE"),
    DoubleField("JBDiaryTime", "JB_DIARY_TIME"),
};

// Table JB_DIARY, keyed by JB_DIARY_NO_ID (assigned by the database), children of a job order by
// JB_NO_ID.
const RecordDef& JBDiaryDef();

class S_JBDiary : public StorageOf<JBDiaryDef> {};

// One diary entry; its fields are reached by index (F) or by name.
class E_JBDiary : public EntityOf<S_JBDiary> {
 public:
  using F = FieldsOf<kJBDiaryFields>;
};

// The diary entries of one job order.
class Col_JBDiary : public CollectionOf<S_JBDiary> {
 public:
  // Writes one entry for the order `MasterKey` straight to the database, stamped with today's date
  // and the time of day, and votes complete; the list is not touched. Fails with "Add Sub :".
  void add(const std::string& MasterKey, const std::string& strUserCode, const std::string& strDiaryTypeInd,
           const std::string& strDiaryText);
};

}  // namespace kx
