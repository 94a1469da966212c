#include "runtime/error.h"

#include <limits>
#include <new>

namespace kx {

std::string_view RuntimeErrorText(RuntimeErrorCode code) {
  switch (code) {
    case RuntimeErrorCode::InvalidArgument: return "Invalid procedure call or argument";
    case RuntimeErrorCode::Overflow: return "Overflow";
    case RuntimeErrorCode::SubscriptOutOfRange: return "Subscript out of range";
    case RuntimeErrorCode::TypeMismatch: return "Type mismatch";
    case RuntimeErrorCode::CantCreateObject: return "ActiveX component can't create object";
    case RuntimeErrorCode::ObjectNotSet: return "Object variable or With block variable not set";
    case RuntimeErrorCode::InvalidUseOfNull: return "Invalid use of Null";
    case RuntimeErrorCode::MemberNotSupported: return "Object doesn't support this property or method";
    case RuntimeErrorCode::ArgumentNotOptional: return "Argument not optional";
    case RuntimeErrorCode::WrongNumberOfArguments:
      return "Wrong number of arguments or invalid property assignment";
  }
  return "Application-defined or object-defined error";
}

void ThrowRuntimeError(RuntimeErrorCode code) {
  std::string text(RuntimeErrorText(code));
  throw Error(static_cast<int32_t>(code), "KX", text);
}

void RaiseError(int32_t number, const std::string& text) {
  const int64_t sum = static_cast<int64_t>(kObjectErrorBase) + number;
  if (sum < std::numeric_limits<int32_t>::min() || sum > std::numeric_limits<int32_t>::max())
    ThrowRuntimeError(RuntimeErrorCode::Overflow);
  throw Error(static_cast<int32_t>(sum), text, text);
}

void Raise(int32_t number, const std::string& description) { throw Error(number, "KX", description); }

std::string TrappedDescription() {
  try {
    throw;
  } catch (const Error& e) {
    return e.description();
  } catch (const std::bad_alloc&) {
    return "Out of memory";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

}  // namespace kx
