// The job order entity: its child collections, and the number of a new or changed order (a given
// number must be free, a blank one comes from the serial number generator).
#include "joborder/jb_order.h"

#include "partners/partners.h"
#include "kx/error.h"
#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/mod_kx_xml.h"

namespace kx {

namespace {

// The request the serial number generator receives; JOBORDER requests fill five attributes.
constexpr const char* kSerialNoRequest =
    "<?xml version='1.0'?><Root><CDSerialNos><CDSerialNo USAGEIND='' COMPANYCODE='' OFFICECODE='' POL='' "
    "POD='' "
    "DEL='' POR='' DEST='' IGNO='' BKNO='' BKTERMI='' BLNO='' INVNO='' RENNO='' VOUCHERNO='' GLSEQ='' "
    "ITNO='' "
    "TARIFFNO='' QUOTATIONNO='' JOBORDERNO='' CNNO='' SEQNO='' SERIALNO=''/></CDSerialNos></Root>";

// The refusal of a job order number that another order holds, followed by the number.
const std::string kNumberTaken = "The job order no has existing: ";

// How many candidates GenerateJBNo tests at most.
constexpr int kMaxNumberTests = 101;

}  // namespace

std::shared_ptr<S_JBOrder> E_JBOrder::OrderStorage() const {
  auto s = std::dynamic_pointer_cast<S_JBOrder>(storage());
  if (!s) ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
  return s;
}

std::shared_ptr<Col_JBDoorAppointment> E_JBOrder::ColJBDoorAppointment() {
  return Guard("ColJBDoorAppointment Property", [&] { return doorAppointments_.Get(*this, kId); });
}

std::shared_ptr<Col_JBDiary> E_JBOrder::ColJBDiary() {
  return Guard("ColJBDiary Property", [&] { return diary_.Get(*this, kId); });
}

std::shared_ptr<Col_JBContainerDetail> E_JBOrder::ColJBContainerDetail() {
  return Guard("ColJBContainerDetail Property", [&] { return containerDetails_.Get(*this, kId); });
}

void E_JBOrder::OnSave() {
  const std::string number = JBNo();
  std::string holder;
  if (status() == esModified) {
    // A changed number that another order holds is refused as a new order's is, before the update
    // meets the unique index with the engine's own text.
    if (OrderStorage()->containsJBNo(number, holder) && holder != std::to_string(Id()))
      Fail(kNumberTaken + number);
    return;
  }
  if (status() != esNew) return;
  if (Trim(number).empty()) {
    setJBNo(GenerateJBNo());
    return;
  }
  if (OrderStorage()->containsJBNo(number, holder)) Fail(kNumberTaken + number);
}

std::string E_JBOrder::GenerateJBNo() {
  // A failure keeps its own number, put on the object error base: a number that already holds
  // the base overflows, and the caller sees the overflow.
  try {
    std::string sequence = LPZero("1", 2);
    const auto request = LoadTemplate(kSerialNoRequest);
    xml::Element serial = FirstRequired(*request, "CDSerialNo");
    serial.SetAttribute("USAGEIND", "JOBORDER");
    serial.SetAttribute("COMPANYCODE", CompanyCode());
    serial.SetAttribute("OFFICECODE", OfficeCodeOfUser());
    serial.SetAttribute("ITNO", ITNumber());
    serial.SetAttribute("SEQNO", sequence);
    const ObjectPtr generator = Registry::Instance().Create(partners::kSerialNoGenerator);
    auto ask = [&] {
      Args args = {Variant(request->Serialize())};
      return CStr(Registry::Instance().Invoke(*generator, partners::kGenerateSerialNo, args));
    };
    std::string candidate = ask();
    std::string result;
    bool found = false;
    const auto storage = OrderStorage();
    for (int test = 0; test < kMaxNumberTests; ++test) {
      std::string holder;
      if (!storage->containsJBNo(candidate, holder)) {
        result = candidate;
        found = true;
        break;
      }
      sequence = LPZero(std::to_string(CInt(Variant(sequence)) + 1), 2);
      serial.SetAttribute("SEQNO", sequence);
      candidate = ask();
    }
    if (!found || result.empty()) Fail(22060, "GenerateJBNo error.");
    return result;
  } catch (const Error& e) {
    RaiseError(e.number(), "GenerateJBNo Function" + e.description(), e.cause());
  } catch (...) {
    RaiseError(kProcedureError, "GenerateJBNo Function" + TrappedDescription(), TrappedCause());
  }
}

}  // namespace kx
