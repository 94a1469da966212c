// Container retrieving work files: the containers to retrieve for one source, office, vessel and
// voyage, with their lines, and the controller that adds, changes, removes and finishes them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "framework/collection.h"
#include "framework/controller.h"
#include "framework/entity.h"
#include "framework/storage.h"
#include "retrieving/jb_container_retrieving_temp_detail.h"
#include "shared/s_db_help_for_kx.h"

namespace kx {

inline constexpr FieldSpec kJBContainerRetrievingTempFileFields[] = {
    Int32Field("Id", "JB_IMPORT_CONTAINER_WORK_FILE_ID").NoSearch(),
    TextField("SourceCategory", "SOURCE_CATEGORY").Param("@SOURCE_CATEGORY", adVarChar, 10),
    TextField("Office", "OFFICE").Param("@OFFICE", adVarChar, 10),
    TextField("VesselCode", "VESSEL_CODE").Param("@VESSEL_CODE", adVarChar, 6),
    TextField("VoyageNo", "VOYAGE_NO").Param("@VOYAGE_NO", adVarChar, 6),
    TextField("VoyageLeg", "VOYAGE_LEG").Param("@VOYAGE_LEG", adVarChar, 1),
    TextField("BKNo", "BK_NO").Param("@BK_NO", adVarChar, 17),
    TextField("BLNo", "BL_NO").Param("@BL_NO", adVarChar, 17),
    TextField("ERNo", "ER_NO").Param("@ER_NO", adVarChar, 20),
    Int16Field("ProcessState", "PROCESS_STATE").Param("@PROCESS_STATE", adSmallInt),
    DateField("LastUpdateDate", "LAST_UPDATE_DATE").NoSearch().Param("@LAST_UPDATE_DATE", adDBTimeStamp),
    DoubleField("LastUpdateTime", "LAST_UPDATE_TIME")
        .Load(Conversion::Null2Int)
        .NoXml()
        .NoSearch()
        .Param("@LAST_UPDATE_TIME", adNumeric, 0, 4, 0),
    TextField("LastUpdateUser", "LAST_UPDATE_USER").NoSearch().Param("@LAST_UPDATE_USER", adVarChar, 16),
};

// Table JB_CONTAINER_RETRIEVING_TEMP_FILE, keyed by JB_IMPORT_CONTAINER_WORK_FILE_ID, which the
// insert procedure JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc assigns and returns.
const RecordDef& JBContainerRetrievingTempFileDef();

class S_JBContainerRetrievingTempFile : public StorageOf<JBContainerRetrievingTempFileDef> {};

class E_JBContainerRetrievingTempFile : public EntityOf<S_JBContainerRetrievingTempFile> {
 public:
  using F = FieldsOf<kJBContainerRetrievingTempFileFields>;
  static constexpr size_t kId = F::Index("Id");
  // The header fields an added file takes from its request run from SourceCategory to ERNo.
  static constexpr size_t kSourceCategory =
      F::Index("SourceCategory");
  static constexpr size_t kERNo = F::Index("ERNo");
  static constexpr size_t kProcessState = F::Index("ProcessState");
  static constexpr size_t kLastUpdateDate =
      F::Index("LastUpdateDate");
  static constexpr size_t kLastUpdateTime =
      F::Index("LastUpdateTime");
  static constexpr size_t kLastUpdateUser =
      F::Index("LastUpdateUser");

  int32_t Id() const { return Long(kId); }
  int16_t ProcessState() const { return CInt(Get(kProcessState)); }
  void setProcessState(int16_t v) { Set(kProcessState, v); }

  // The file's lines: the first read of a new file gives an empty collection without reading the
  // database; every other read gives a newly loaded one.
  std::shared_ptr<Col_JBContainerRetrievingTempDetail> ColJBContainerRetrievingTempDetail();

 private:
  ChildSlot<Col_JBContainerRetrievingTempDetail> lines_;
};

class C_JBContainerRetrievingTempFile
    : public ControllerOf<E_JBContainerRetrievingTempFile, S_JBContainerRetrievingTempFile> {
 public:
  // Adds the file of the first work file element with every line element below it, state 0;
  // true when they were saved.
  bool add(const std::string& ElementXml);
  // Stamps the file `Id` of the request, applies its lines by position (stored lines take only
  // their handled flag) and stores the state the lines give: 2 when all are handled, else 1.
  void modify(const std::string& ElementXml);
  // Deletes the lines of the file, then the file.
  void remove(const std::string& ElementId);
  // Stores state 2 on the file when every line is handled; otherwise refuses with "Some
  // Containers Detail have not been handled.".
  void Finish(const std::string& ElementId);

  std::shared_ptr<E_JBContainerRetrievingTempFile> JBContainerRetrievingTempFile() {
    return std::static_pointer_cast<E_JBContainerRetrievingTempFile>(entity());
  }
  void setJBContainerRetrievingTempFile(std::shared_ptr<E_JBContainerRetrievingTempFile> e) {
    setEntity(std::move(e));
  }

 protected:
  // The file element with its lines nested in a list element.
  std::vector<std::shared_ptr<Collection>> NestedInAnswer() override;

 private:
  // The working entity as a work file.
  std::shared_ptr<E_JBContainerRetrievingTempFile> File();
};

}  // namespace kx
