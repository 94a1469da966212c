#include "shared/mod_kx_xml.h"

#include "kx/error.h"
#include "shared/mod_kx_common.h"

namespace kx {

std::string Sch_AccessKey() { return QLP_Sch_FilePath() + "AccessKey_xmlschema/AccessKey.xsd"; }
std::string Sch_JBTypeProfileAddModify() {
  return QLP_Sch_FilePath() + "KX_XMLSCHEMA/JBTypeProfile_Add&Modify.xsd";
}
std::string Sch_JBOrderAdd() { return QLP_Sch_FilePath() + "KX_XMLSCHEMA/JBOrder_Add.xsd"; }
std::string Sch_JBOrderModify() { return QLP_Sch_FilePath() + "KX_XMLSCHEMA/JBOrder_Modify.xsd"; }
std::string Sch_JBDoorAppointmentAddModify() {
  return QLP_Sch_FilePath() + "KX_XMLSCHEMA/JBDoorAppointMent_Add&Modify.xsd";
}
std::string Sch_JBContainerRetrievingTempFileAdd() {
  return QLP_Sch_FilePath() + "KX_XMLSCHEMA/JBContainerRetrievingTempFile_Add.xsd";
}
std::string Sch_JBContainerRetrievingTempFileModify() {
  return QLP_Sch_FilePath() + "KX_XMLSCHEMA/JBContainerRetrievingTempFile_Modify.xsd";
}

std::unique_ptr<xml::Document> LoadValidated(const std::string& text, const std::string& schemaPath,
                                             const std::string& reasonPrefix) {
  std::string reason;
  const auto schema = xml::Schema::Cached(schemaPath, reason);
  if (!schema) RaiseError(kProcedureError, reason);
  auto doc = xml::Document::Parse(text, reason);
  if (!doc || !schema->Validate(*doc, reason)) RaiseError(kProcedureError, reasonPrefix + reason);
  return doc;
}

std::unique_ptr<xml::Document> LoadTemplate(const std::string& text) {
  std::string reason;
  auto doc = xml::Document::Parse(text, reason);
  if (!doc) RaiseError(kProcedureError, reason);
  return doc;
}

}  // namespace kx
