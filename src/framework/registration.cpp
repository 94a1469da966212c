// Late-bound access to the framework classes and the type profiles.
#include "framework/jb_type_profile.h"
#include "framework/registration.h"
#include "runtime/registry.h"

namespace kx {

namespace {

Variant AsObject(std::shared_ptr<Object> o) { return Variant(std::move(o)); }

}  // namespace

void RegisterStorage(const std::string& name, std::function<ObjectPtr()> create) {
  ClassBuilder<Storage>(name, std::move(create))
      .Property("strSQL", [](Storage& s) { return Variant(s.strSQL()); },
                [](Storage& s, const Variant& v) { s.setStrSQL(CStr(v)); })
      .Method("containsPK", {Param("PKValue")}, [](Storage& s, Args& a) { return Variant(s.containsPK(CStr(a[0]))); })
      .Property("DB", [](Storage& s) { return AsObject(s.DB()); },
                [](Storage& s, const Variant& v) { s.setDB(ObjectAs<S_DBHelpForKX>(v)); });
}

void RegisterFrameworkClasses() {
  RegisterEntity(JBTypeProfileDef(), [] { return std::make_shared<E_JBTypeProfile>(); });
  RegisterStorage("S_JBTypeProfile", [] { return std::make_shared<S_JBTypeProfile>(); });

  using C = C_JBTypeProfile;
  ClassBuilder<C>("C_JBTypeProfile")
      .Method("getElementByXML", {Param("key")}, [](C& c, Args& a) { return Variant(c.getElementByXML(CStr(a[0]))); })
      .Method("containsKey", {Param("key")}, [](C& c, Args& a) { return Variant(c.containsKey(CStr(a[0]))); })
      .Method("queryOwnedElementsByXML",
              {RefParam("ResultCount"), RefParam("ResultPages"), OptionalParam("CountPerPage", int16_t{0}),
               OptionalParam("PageNumber", int16_t{0}), OptionalParam("AccessKey", std::string())},
              [](C& c, Args& a) {
                return Variant(c.queryOwnedElementsByXML(a[0], a[1], CInt(a[2]), CInt(a[3]), CStr(a[4])));
              })
      .Method("add", {Param("ElementXml")}, [](C& c, Args& a) { c.add(CStr(a[0])); return Variant(); })
      .Method("modify", {Param("ElementXml")}, [](C& c, Args& a) { c.modify(CStr(a[0])); return Variant(); })
      .Method("remove", {Param("ElementId")}, [](C& c, Args& a) { c.remove(CStr(a[0])); return Variant(); })
      .Property("JBTypeProfile", [](C& c) { return AsObject(c.JBTypeProfile()); },
                [](C& c, const Variant& v) { c.setJBTypeProfile(ObjectAs<E_JBTypeProfile>(v)); });
}

}  // namespace kx
