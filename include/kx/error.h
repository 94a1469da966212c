// The component's one error type and the error convention every public member follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kx {

// The object-error base of the component's error numbers (0x80040000).
inline constexpr int32_t kObjectErrorBase = static_cast<int32_t>(0x80040000u);
// The number a procedure raises for any failure it traps or finds itself; the component error a
// caller sees is kObjectErrorBase + kProcedureError (0x8004270F).
inline constexpr int32_t kProcedureError = 9999;
inline constexpr int32_t kComponentError = kObjectErrorBase + kProcedureError;

// How many characters (Unicode code points) a statement text or an engine's reason keeps inside an
// error's description.
inline constexpr size_t kDescriptionLimit = 2000;
// How many characters an error's source and description hold at most as a whole: room for a chain
// of procedure texts around a cut statement and a cut reason.
inline constexpr size_t kErrorTextLimit = 8000;

// `text` cut to `limit` characters (UTF-8 sequences stay whole) and marked with "…" when longer.
std::string Abbreviate(std::string_view text, size_t limit = kDescriptionLimit);

// What kind of failure a database reported (each engine maps its own codes to one of these).
enum class ErrorCategory { Constraint, Busy, Connection, Syntax, Other };

// The database failure under an error: its category and the engine's own code (SQLite's extended
// result code in decimal, PostgreSQL's SQLSTATE; empty for failures of the database layer itself).
// It travels unchanged through every guard, so that a host tells an unavailable database from a
// refusal by what failed, not by its text.
struct ErrorCause {
  ErrorCategory category = ErrorCategory::Other;
  std::string engineCode;
};

// An exception that carries a cause (the database layer's failures); guards read it from there.
class CausedFailure {
 public:
  virtual ~CausedFailure() = default;
  virtual ErrorCause Cause() const = 0;
};

// An error with number, source and description, as a client of the component sees it. Every error
// passes its constructor, which cuts source and description to kErrorTextLimit characters: a
// value of any length quoted in an error (a key, a statement) cannot make its text grow without
// bound, and a chain of procedure texts keeps its outermost part.
class Error : public std::exception {
 public:
  Error(int32_t number, std::string source, std::string description, std::optional<ErrorCause> cause = {});

  int32_t number() const noexcept { return number_; }
  const std::string& source() const noexcept { return source_; }
  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  // The database failure under this error, when one is.
  const std::optional<ErrorCause>& cause() const noexcept { return cause_; }

 private:
  int32_t number_;
  std::string source_;
  std::string description_;
  std::optional<ErrorCause> cause_;
};

// Run-time errors of the language, with their usual numbers.
enum class RuntimeErrorCode : int32_t {
  InvalidArgument = 5,
  Overflow = 6,
  SubscriptOutOfRange = 9,
  TypeMismatch = 13,
  CantCreateObject = 429,
  ObjectNotSet = 91,
  InvalidUseOfNull = 94,
  MemberNotSupported = 438,
  ArgumentNotOptional = 449,
  WrongNumberOfArguments = 450,
};

// The text of a run-time error ("Type mismatch" for 13, ...).
std::string_view RuntimeErrorText(RuntimeErrorCode code);

// Throws the run-time error `code` with its usual text.
[[noreturn]] void ThrowRuntimeError(RuntimeErrorCode code);

// Raises kObjectErrorBase + number (32-bit signed arithmetic; an overflow raises Overflow instead),
// with `text` as both source and description.
[[noreturn]] void RaiseError(int32_t number, const std::string& text, std::optional<ErrorCause> cause = {});

// Fails the running procedure with error `number` as it stands (the language's Err.Raise), or with
// kProcedureError, and `description`; the guard of the member it leaves turns it into the
// component error. (RaiseError above is how a guard leaves; procedure bodies call Fail.)
[[noreturn]] void Fail(int32_t number, const std::string& description);
[[noreturn]] inline void Fail(const std::string& description) { Fail(kProcedureError, description); }

// The description of the exception being handled (call only inside a catch block).
std::string TrappedDescription();
// The database failure under the exception being handled, if any (call only inside a catch block).
std::optional<ErrorCause> TrappedCause();

// Runs `body`; any failure is raised again as the component error whose description is
// text(trapped description). This is the one place where the error chain is built.
template <class TextFn, class Body>
auto GuardWith(TextFn&& text, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    RaiseError(kProcedureError, text(TrappedDescription()), TrappedCause());
  }
}

// Runs `body` under the procedure text `proc`: a failure becomes proc + trapped description.
template <class Body>
auto Guard(std::string_view proc, Body&& body) -> decltype(body()) {
  return GuardWith([proc](const std::string& d) { return std::string(proc) + d; },
                   std::forward<Body>(body));
}

}  // namespace kx
