// Work file and line rows written and read with plain statements, and the requests of the work file
// classes, beside the classes under test.
#pragma once

#include <strings.h>

#include <algorithm>
#include <string>
#include <vector>

#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"

namespace kx::test {

// Inserts a work file row and returns its key.
inline int32_t InsertFileRow(const std::string& bkNo = "BK1", int16_t state = 0) {
  S_DBHelpForKX db;
  db.RunSQL(
      "Insert Into JB_CONTAINER_RETRIEVING_TEMP_FILE (SOURCE_CATEGORY, OFFICE, VESSEL_CODE, VOYAGE_NO, "
      "VOYAGE_LEG, "
      "BK_NO, BL_NO, ER_NO, PROCESS_STATE, LAST_UPDATE_DATE, LAST_UPDATE_TIME, LAST_UPDATE_USER)Values "
      "('BK','HKG',"
      "'VSL','001','E','" +
      Str2SQL(bkNo) + "','BL1','ER1','" + std::to_string(state) + "','2020-01-02','930','old')");
  return CLng(db.RunSQLReturnRS("select max(JB_IMPORT_CONTAINER_WORK_FILE_ID) as K from "
                                "JB_CONTAINER_RETRIEVING_TEMP_FILE")
                  ->Field("K"));
}

// Inserts a line of work file `fileId` whose HANDLED_FLAG is `flag` (SQL text, NULL allowed).
inline void InsertLineRow(int32_t fileId, const std::string& containerNo, const std::string& flag = "'0'") {
  S_DBHelpForKX().RunSQL(
      "Insert Into JB_CONTAINER_RETRIEVING_TEMP_DETAIL (FROM_PLACE, TO_PLACE, MOVEMENT_MODE, "
      "CONTAINER_PREFIX, "
      "CONTAINER_NO, CONTAINER_TYPE, EMPTY_FULL_FLAG, SOC_FLAG, BK_NO, BL_NO, ER_NO, CARGO_DESCRIPTION, "
      "REEFER, HAZARD, "
      "PLACE_ACCEPTANCE, POL, POD, PLACE_DELIVERY, HANDLED_FLAG, JB_IMPORT_CONTAINER_WORK_FILE_ID)Values "
      "('HKG','YTN',"
      "'CY','ABCU','" +
      Str2SQL(containerNo) + "','20GP','F','N','BK1','BL1','ER1','toys','N','N','HKG','HKG','LAX','LAX'," +
      flag + ",'" + std::to_string(fileId) + "')");
}

// The stored lines of `fileId` in key order, each as "CONTAINER_NO:HANDLED_FLAG".
inline std::vector<std::string> StoredLines(int32_t fileId) {
  auto rs = S_DBHelpForKX().RunSQLReturnRS(
      "select * from JB_CONTAINER_RETRIEVING_TEMP_DETAIL where JB_IMPORT_CONTAINER_WORK_FILE_ID = '" +
      std::to_string(fileId) + "' order by JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID");
  std::vector<std::string> lines;
  for (; !rs->EOF_(); rs->MoveNext())
    lines.push_back(CStr(Null2Str(rs->Field("CONTAINER_NO"))) + ":" +
                    CStr(Null2Str(rs->Field("HANDLED_FLAG"))));
  return lines;
}

// The stored PROCESS_STATE of `fileId`, or -1 when the file is missing.
inline int32_t StoredState(int32_t fileId) {
  auto rs = S_DBHelpForKX().RunSQLReturnRS(
      "select PROCESS_STATE from JB_CONTAINER_RETRIEVING_TEMP_FILE where JB_IMPORT_CONTAINER_WORK_FILE_ID = "
      "'" +
      std::to_string(fileId) + "'");
  return rs->RecordCount() == 0 ? -1 : CLng(rs->Field("PROCESS_STATE"));
}

// Every row of both work file tables in key order, one text per row, for before-and-after checks;
// the columns named in `skip` are left out.
inline std::vector<std::string> DumpWorkFileTables(const std::vector<std::string>& skip = {}) {
  std::vector<std::string> rows;
  for (const auto& [table, key] :
       {std::pair<std::string, std::string>{"JB_CONTAINER_RETRIEVING_TEMP_FILE",
                                            "JB_IMPORT_CONTAINER_WORK_FILE_ID"},
        {"JB_CONTAINER_RETRIEVING_TEMP_DETAIL", "JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID"}}) {
    auto rs = S_DBHelpForKX().RunSQLReturnRS("select * from " + table + " order by " + key);
    for (; !rs->EOF_(); rs->MoveNext()) {
      std::string row = table;
      for (const auto& column : rs->Columns())
        if (std::find_if(skip.begin(), skip.end(), [&](const std::string& s) {
              return strcasecmp(s.c_str(), column.c_str()) == 0;
            }) == skip.end())
          row += "|" + CStr(Null2Str(rs->Field(column)));
      rows.push_back(row);
    }
  }
  return rows;
}

// The attributes of a line as a request carries them and an answer writes them, keys left out.
inline std::string LineAttributes(const std::string& containerNo, const std::string& handled,
                                  const std::string& cargo = "toys") {
  return "FromPlace=\"HKG\" ToPlace=\"YTN\" MovementMode=\"CY\" ContainerPrefix=\"ABCU\" ContainerNo=\"" +
         containerNo +
         "\" ContainerType=\"20GP\" EmptyFullFlag=\"F\" SOCFlag=\"N\" BKNo=\"BK1\" BLNo=\"BL1\" ERNo=\"ER1\" "
         "CargoDescription=\"" +
         cargo +
         "\" Reefer=\"N\" Hazard=\"N\" PlaceAcceptance=\"HKG\" POL=\"HKG\" POD=\"LAX\" PlaceDelivery=\"LAX\" "
         "HandledFlag=\"" +
         handled + "\"";
}

// A line element carrying every line attribute.
inline std::string LineXml(const std::string& containerNo, const std::string& handled,
                           const std::string& cargo = "toys") {
  return "<JBContainerRetrievingTempDetail " + LineAttributes(containerNo, handled, cargo) + "/>";
}

// A line element carrying only its handled flag, as a modify of a stored line needs.
inline std::string FlagXml(const std::string& handled) {
  return "<JBContainerRetrievingTempDetail HandledFlag=\"" + handled + "\"/>";
}

// An add request of a file with `lines` (line elements) in its list element.
inline std::string AddXml(const std::string& lines, const std::string& bkNo = "BK1") {
  return "<JBContainerRetrievingTempFile SourceCategory=\"BK\" Office=\"HKG\" VesselCode=\"VSL\" "
         "VoyageNo=\"001\" "
         "VoyageLeg=\"E\" BKNo=\"" +
         bkNo + "\" BLNo=\"BL1\" ERNo=\"ER1\" LastUpdateUser=\"ann\"><JBContainerRetrievingTempDetails>" +
         lines + "</JBContainerRetrievingTempDetails></JBContainerRetrievingTempFile>";
}

// A modify request of file `id` with `lines`.
inline std::string ModifyXml(int32_t id, const std::string& lines, const std::string& user = "bob") {
  return "<JBContainerRetrievingTempFile Id=\"" + std::to_string(id) + "\" LastUpdateUser=\"" + user +
         "\"><JBContainerRetrievingTempDetails>" + lines +
         "</JBContainerRetrievingTempDetails></JBContainerRetrievingTempFile>";
}

}  // namespace kx::test
