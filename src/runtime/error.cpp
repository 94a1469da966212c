#include "kx/error.h"

#include <limits>
#include <new>

namespace kx {

std::string Abbreviate(std::string_view text, size_t limit) {
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // Count the first byte of every UTF-8 sequence; cut before the first one past the limit.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (++characters > limit) return std::string(text.substr(0, i)) + "\u2026";
  }
  return std::string(text);
}

namespace {

// `text` within kErrorTextLimit characters; a text of no more bytes than that is left as it is.
std::string Bounded(std::string&& text) {
  return text.size() <= kErrorTextLimit ? std::move(text) : Abbreviate(text, kErrorTextLimit);
}

}  // namespace

Error::Error(int32_t number, std::string source, std::string description, std::optional<ErrorCause> cause)
    : number_(number),
      source_(Bounded(std::move(source))),
      description_(Bounded(std::move(description))),
      cause_(std::move(cause)) {}

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

void RaiseError(int32_t number, const std::string& text, std::optional<ErrorCause> cause) {
  const int64_t sum = static_cast<int64_t>(kObjectErrorBase) + number;
  if (sum < std::numeric_limits<int32_t>::min() || sum > std::numeric_limits<int32_t>::max())
    ThrowRuntimeError(RuntimeErrorCode::Overflow);
  throw Error(static_cast<int32_t>(sum), text, text, std::move(cause));
}

void Fail(int32_t number, const std::string& description) { throw Error(number, "KX", description); }

std::optional<ErrorCause> TrappedCause() {
  try {
    throw;
  } catch (const Error& e) {
    return e.cause();
  } catch (const CausedFailure& e) {
    return e.Cause();
  } catch (...) {
    return std::nullopt;
  }
}

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
