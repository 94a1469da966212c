// Container lines of a retrieving work file: one container to retrieve, with its places, booking,
// bill of lading and ER references, cargo indications and whether the line has been handled.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "framework/collection.h"
#include "framework/entity.h"
#include "framework/storage.h"

namespace kx {

inline constexpr FieldSpec kJBContainerRetrievingTempDetailFields[] = {
    Int32Field("Id", "JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID"),
    TextField("FromPlace", "FROM_PLACE"),
    TextField("ToPlace", "TO_PLACE"),
    TextField("MovementMode", "MOVEMENT_MODE"),
    TextField("ContainerPrefix", "CONTAINER_PREFIX"),
    TextField("ContainerNo", "CONTAINER_NO"),
    TextField("ContainerType", "CONTAINER_TYPE"),
    TextField("EmptyFullFlag", "EMPTY_FULL_FLAG"),
    TextField("SOCFlag", "SOC_FLAG"),
    TextField("BKNo", "BK_NO"),
    TextField("BLNo", "BL_NO"),
    TextField("ERNo", "ER_NO"),
    TextField("CargoDescription", "CARGO_DESCRIPTION"),
    TextField("Reefer", "REEFER"),
    TextField("Hazard", "HAZARD"),
    TextField("PlaceAcceptance", "PLACE_ACCEPTANCE"),
    TextField("POL", "POL"),
    TextField("POD", "POD"),
    TextField("PlaceDelivery", "PLACE_DELIVERY"),
    BoolField("HandledFlag", "HANDLED_FLAG"),
    Int32Field("JBImportContainerWorkFileId", "JB_IMPORT_CONTAINER_WORK_FILE_ID"),
};

// Table JB_CONTAINER_RETRIEVING_TEMP_DETAIL, keyed by JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID (an
// identity), child of a work file through JB_IMPORT_CONTAINER_WORK_FILE_ID.
const RecordDef& JBContainerRetrievingTempDetailDef();

class S_JBContainerRetrievingTempDetail : public StorageOf<JBContainerRetrievingTempDetailDef> {
 public:
  // Fills `entity` from the first line of the work file `key` and returns every line of that file,
  // in key order; a file without lines fails with "Can not use code '<key>'".
  std::shared_ptr<db::Recordset> LoadFileLines(const std::string& key, Entity& entity);
};

class E_JBContainerRetrievingTempDetail : public EntityOf<S_JBContainerRetrievingTempDetail> {
 public:
  using F = FieldsOf<kJBContainerRetrievingTempDetailFields>;
  static constexpr size_t kId = F::Index("Id");
  // The line fields a request carries run from FromPlace to PlaceDelivery.
  static constexpr size_t kFromPlace = F::Index("FromPlace");
  static constexpr size_t kPlaceDelivery =
      F::Index("PlaceDelivery");
  static constexpr size_t kCargoDescription =
      F::Index("CargoDescription");
  static constexpr size_t kHandledFlag = F::Index("HandledFlag");
  static constexpr size_t kJBImportContainerWorkFileId =
      F::Index("JBImportContainerWorkFileId");

  int32_t Id() const { return Long(kId); }
  std::string CargoDescription() const { return Text(kCargoDescription); }
  void setCargoDescription(const std::string& v) { Set(kCargoDescription, v); }
  bool HandledFlag() const { return CBool(Get(kHandledFlag)); }
  void setHandledFlag(bool v) { Set(kHandledFlag, v); }
  int32_t JBImportContainerWorkFileId() const { return Long(kJBImportContainerWorkFileId); }
  void setJBImportContainerWorkFileId(int32_t v) { Set(kJBImportContainerWorkFileId, v); }
};

class Col_JBContainerRetrievingTempDetail : public CollectionOf<S_JBContainerRetrievingTempDetail> {
 public:
  // True when every stored line of the work file `MasterKey` is handled; the database decides,
  // not the lines held here. A file without lines fails with the not-found error.
  bool isAllFinished(int32_t MasterKey);
};

}  // namespace kx
