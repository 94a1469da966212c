// Where the schema files lie, and the validated loading of request documents.
#pragma once

#include <memory>
#include <string>

#include "runtime/xml.h"

namespace kx {

// Each returns the schema folder (QLP_Sch_FilePath) followed by the file's path in it.
std::string Sch_AccessKey();
std::string Sch_JBTypeProfileAddModify();
std::string Sch_JBOrderAdd();
std::string Sch_JBOrderModify();
std::string Sch_JBDoorAppointmentAddModify();
std::string Sch_JBContainerRetrievingTempFileAdd();
std::string Sch_JBContainerRetrievingTempFileModify();

// Loads `text` validated against the schema file `schemaPath`: the schema comes first (compiled
// once per state of its file and shared by all threads; its loader's error, which names the file,
// is raised as is), then the text is parsed and validated; a failure raises error kProcedureError with
// `reasonPrefix` followed by the parser's reason. Nothing of a refused text is returned.
std::unique_ptr<xml::Document> LoadValidated(const std::string& text, const std::string& schemaPath,
                                             const std::string& reasonPrefix = "");

// Parses a document the component writes itself (answer templates); a failure raises error kProcedureError.
std::unique_ptr<xml::Document> LoadTemplate(const std::string& text);

}  // namespace kx
