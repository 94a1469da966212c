// One late-bound call as a host runs it: the class created by name, the member invoked with its
// arguments inside a transaction scope, and the outcome in the JSON shape every host answers with.
#pragma once

#include <optional>
#include <string>

#include "kx/error.h"
#include "kx/registry.h"

namespace kx::service {

// What kind of failure a call met, for hosts that answer with a status (the HTTP service).
enum class Failure {
  None,
  UnknownClass,   // no class of that name is registered
  UnknownMember,  // the class has no member of that name
  BadArguments,   // the arguments do not fit the member (count, names, types)
  Component,      // the component raised its error
  Unavailable,    // the database could not be reached or the connection was lost
  Internal,       // anything else: should never happen
};

struct CallOutcome {
  Failure failure = Failure::None;
  std::optional<Error> error;  // set when the call failed
  std::string json;            // {"result": R, "out": {...}} or {"error": {...}}
  std::string text;            // the result as plain text (empty result: empty text)
};

// Whether an error of this number means that the arguments do not fit the member (their count,
// a missing one, a type or a value out of range).
bool IsArgumentError(int32_t number);

// The outcome of a call that failed with `e`.
CallOutcome Failed(Failure failure, Error e);

// The member called `member` (case-insensitive) of the class, for arguments given by name: the
// method or property read of that name, else nullptr.
const MemberInfo* MemberByName(const ClassInfo& info, const std::string& member);

// Runs CLASS.MEMBER with `args` (positional, by-reference values come back in `out`), inside a
// transaction scope when `transaction` is set: a failure or an abort vote writes nothing.
CallOutcome RunCall(const std::string& className, const std::string& member, Args args, bool transaction);

// The JSON object of a failure: {"error": {"number": N, "source": S, "description": D}}.
std::string ErrorJson(const Error& e);

}  // namespace kx::service
