#include "retrieving/jb_container_retrieving_temp_file.h"

#include "framework/registration.h"
#include "kx/error.h"
#include "shared/mod_kx_common.h"
#include "shared/mod_kx_xml.h"
#include "runtime/votes.h"

namespace kx {

namespace {

// The registry names of the record's classes.
constexpr RecordClasses kClasses{.entity = "E_JBContainerRetrievingTempFile",
                                 .storage = "S_JBContainerRetrievingTempFile",
                                 .controller = "C_JBContainerRetrievingTempFile"};

}  // namespace

const RecordDef& JBContainerRetrievingTempFileDef() {
  using E = E_JBContainerRetrievingTempFile;
  static const std::vector<FieldRead> headerReads = [] {
    std::vector<FieldRead> r;
    for (size_t i = E::kSourceCategory; i <= E::kERNo; ++i) r.push_back({i});
    return r;
  }();
  static const RecordDef def = Complete({
      .entityClass = kClasses.entity,
      .storageClass = kClasses.storage,
      .table = "JB_CONTAINER_RETRIEVING_TEMP_FILE",
      .fields = kJBContainerRetrievingTempFileFields,
      .key = E::kId,
      .identity = true,
      .insertProcedure = "JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc",
      .controllerClass = kClasses.controller,
      .list = "JBContainerRetrievingTempFiles",
      .item = "JBContainerRetrievingTempFile",
      .addReads = headerReads,
      .getElementProc = "getelementbyxml Function",
      .getElementVotes = false,
  });
  return def;
}

std::shared_ptr<Col_JBContainerRetrievingTempDetail>
E_JBContainerRetrievingTempFile::ColJBContainerRetrievingTempDetail() {
  return Guard("ColJBContainerRetrievingTempDetail Property", [&] { return lines_.Get(*this, kId); });
}

namespace {

// Stamps the file as changed now by the request's LastUpdateUser.
void Stamp(E_JBContainerRetrievingTempFile& file, const xml::Element& element) {
  const ClockStamp now = ReadClock();
  file.Set(E_JBContainerRetrievingTempFile::kLastUpdateDate, now.day);
  file.Set(E_JBContainerRetrievingTempFile::kLastUpdateTime, now.time);
  ReadAttributes(element, file, {{E_JBContainerRetrievingTempFile::kLastUpdateUser}});
}

}  // namespace

std::shared_ptr<E_JBContainerRetrievingTempFile> C_JBContainerRetrievingTempFile::File() {
  auto file = std::dynamic_pointer_cast<E_JBContainerRetrievingTempFile>(heldEntity());
  if (!file) ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
  return file;
}

std::vector<std::shared_ptr<Collection>> C_JBContainerRetrievingTempFile::NestedInAnswer() {
  return {File()->ColJBContainerRetrievingTempDetail()};
}

bool C_JBContainerRetrievingTempFile::add(const std::string& ElementXml) {
  return ControllerGuard("add Function", [&] {
    const auto doc = LoadValidated(ElementXml, Sch_JBContainerRetrievingTempFileAdd());
    const xml::Element element = FirstRequired(*doc, def().item);
    auto file = File();
    file->add();
    ReadAttributes(element, *file, def().addReads);
    file->setProcessState(0);
    Stamp(*file, element);
    file->save();
    file->ColJBContainerRetrievingTempDetail()->UpdateElements(doc->Root(), std::to_string(file->Id()));
    return true;
  });
}

void C_JBContainerRetrievingTempFile::modify(const std::string& ElementXml) {
  ControllerGuard("modify Sub", [&] {
    const auto doc = LoadValidated(ElementXml, Sch_JBContainerRetrievingTempFileModify());
    const xml::Element element = FirstRequired(*doc, def().item);
    auto file = File();
    file->load(RequiredAttribute(element, "Id"));
    Stamp(*file, element);
    file->save();
    file->ColJBContainerRetrievingTempDetail()->UpdateElements(doc->Root(), std::to_string(file->Id()));
    const bool finished = file->ColJBContainerRetrievingTempDetail()->isAllFinished(file->Id());
    file->setProcessState(finished ? 2 : 1);
    // The state the lines give is stored, not only held.
    file->save();
  });
}

void C_JBContainerRetrievingTempFile::remove(const std::string& ElementId) {
  ControllerGuard("remove Sub", [&] {
    auto file = File();
    file->load(ElementId);
    file->ColJBContainerRetrievingTempDetail()->removeColElements();
    file->remove();
    file->save();
  });
}

void C_JBContainerRetrievingTempFile::Finish(const std::string& ElementId) {
  ControllerGuard("Finish Sub", [&] {
    auto file = File();
    auto lines = file->ColJBContainerRetrievingTempDetail();
    const int32_t id = CLng(Variant(ElementId));
    if (!lines->isAllFinished(id)) Fail("Some Containers Detail have not been handled.");
    // The finished state is stored on the file, not only held.
    file->load(std::to_string(id));
    file->setProcessState(2);
    file->save();
  });
}

namespace {

void EntityMembers(Expose<E_JBContainerRetrievingTempFile>& x) {
  x.Get("ColJBContainerRetrievingTempDetail", &E_JBContainerRetrievingTempFile::ColJBContainerRetrievingTempDetail);
}

ClassInfo ControllerClass() {
  using C = C_JBContainerRetrievingTempFile;
  return ExposeController<C>(JBContainerRetrievingTempFileDef())
      .Method("add", &C::add, {"ElementXml"})
      .Method("modify", &C::modify, {"ElementXml"})
      .Method("remove", &C::remove, {"ElementId"})
      .Method("Finish", &C::Finish, {"ElementId"})
      .Build();
}

void Register() {
  DeclareRecord<JBContainerRetrievingTempFileDef, E_JBContainerRetrievingTempFile, S_JBContainerRetrievingTempFile,
                EntityMembers>(kClasses, ControllerClass);
}

const AtLoad registered(Register);

}  // namespace
}  // namespace kx
