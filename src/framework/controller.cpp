#include "framework/controller.h"

#include "kx/error.h"
#include "shared/mod_kx_xml.h"
#include "runtime/votes.h"

namespace kx {

int32_t PageCount(int32_t count, int32_t CountPerPage) {
  return CountPerPage > 0 ? count / CountPerPage + (count % CountPerPage ? 1 : 0) : 1;
}

Controller::Controller(const RecordDef& def, std::shared_ptr<Entity> entity, std::shared_ptr<Storage> storage)
    : def_(def), entity_(std::move(entity)), storage_(std::move(storage)) {}

std::shared_ptr<Entity> Controller::entity() {
  return ControllerGuard(def_.entityProcText, [&] {
    if (!entity_) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
    return entity_;
  });
}

void Controller::setEntity(std::shared_ptr<Entity> entity) {
  ControllerGuard(def_.entityProcText, [&] { entity_ = std::move(entity); });
}

std::shared_ptr<Storage> Controller::storage() {
  return ControllerGuard("storage Property", [&] {
    if (!storage_) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
    return storage_;
  });
}

std::unique_ptr<xml::Document> Controller::LoadRequest(const std::string& ElementXml) const {
  return LoadValidated(ElementXml, def_.schema());
}

void Controller::WriteEntity(Answer& answer) {
  const auto nested = NestedInAnswer();
  if (nested.empty()) {
    Answer::Row row = answer.AppendRow(def_.item);
    WriteAttributes(row, *entity_);
    return;
  }
  xml::Element element = answer.Append(def_.item);
  WriteAttributes(element, *entity_);
  for (const auto& collection : nested) collection->NestIn(element);
}

std::shared_ptr<Entity> Controller::heldEntity() const {
  if (!entity_) ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
  return entity_;
}

std::string Controller::getElementByXML(const std::string& key) {
  const auto body = [&] {
    Answer answer(def_.list);
    (def_.getElementVotes ? entity() : heldEntity())->load(key);
    WriteEntity(answer);
    return std::move(answer).Text();
  };
  return def_.getElementVotes ? ControllerGuard(def_.getElementProc, body) : Guard(def_.getElementProc, body);
}

bool Controller::containsKey(const std::string& key) {
  return ControllerGuard("containsKey Function", [&] { return storage()->containsPK(key); });
}

std::string Controller::WritePage(Variant& ResultCount, Variant& ResultPages, int32_t CountPerPage,
                                  int32_t PageNumber, const std::string& AccessKey) {
  const Storage::Page page = storage()->QueryPage(AccessKey, CountPerPage, PageNumber);
  ResultCount = Variant(page.count);
  ResultPages = Variant(PageCount(page.count, CountPerPage));
  Answer answer(def_.list);
  const auto& attributes = def_.searchAttributes.empty() ? def_.attributes : def_.searchAttributes;
  for (auto& rs = *page.rows; !rs.EOF_(); rs.MoveNext()) {
    Answer::Row row = answer.AppendRow(def_.item);
    WriteAttributes(row, rs, def_, attributes);
  }
  return std::move(answer).Text();
}

std::string Controller::queryOwnedElementsByXML(Variant& ResultCount, Variant& ResultPages,
                                                int32_t CountPerPage, int32_t PageNumber,
                                                const std::string& AccessKey) {
  return ControllerGuard("queryOwnedElementsByXML Function", [&] {
    return WritePage(ResultCount, ResultPages, CountPerPage, PageNumber, AccessKey);
  });
}

void Controller::add(const std::string& ElementXml) {
  ControllerGuard("add Sub", [&] {
    const auto doc = LoadRequest(ElementXml);
    auto e = entity();
    e->add();
    ReadAttributes(FirstRequired(*doc, def_.item), *e, def_.addReads);
    e->save();
  });
}

void Controller::modify(const std::string& ElementXml) {
  ControllerGuard("modify Sub", [&] {
    const auto doc = LoadRequest(ElementXml);
    const xml::Element element = FirstRequired(*doc, def_.item);
    auto e = entity();
    e->load(RequiredAttribute(element, def_.AttributeName(def_.key)));
    ReadAttributes(element, *e, def_.modifyReads);
    e->save();
  });
}

void Controller::remove(const std::string& ElementId) {
  ControllerGuard("remove Sub", [&] {
    auto e = entity();
    e->load(ElementId);
    e->remove();
    e->save();
  });
}

}  // namespace kx
