#include "service/call.h"

#include <strings.h>

#include "runtime/context.h"
#include "runtime/db/connection.h"
#include "service/json.h"

namespace kx::service {

namespace {

Failure Classify(const Error& e) {
  if (e.number() == static_cast<int32_t>(RuntimeErrorCode::CantCreateObject)) return Failure::UnknownClass;
  if (e.number() == static_cast<int32_t>(RuntimeErrorCode::MemberNotSupported)) return Failure::UnknownMember;
  // A database that cannot be reached, or a connection lost, whatever the guards made of the text.
  if (e.cause() && e.cause()->category == ErrorCategory::Connection) return Failure::Unavailable;
  if (e.number() == kComponentError) return Failure::Component;
  // Run-time errors that leave no member's guard come from fitting the arguments to the member.
  if (IsArgumentError(e.number())) return Failure::BadArguments;
  return Failure::Component;
}

}  // namespace

bool IsArgumentError(int32_t number) {
  switch (static_cast<RuntimeErrorCode>(number)) {
    case RuntimeErrorCode::WrongNumberOfArguments:
    case RuntimeErrorCode::ArgumentNotOptional:
    case RuntimeErrorCode::TypeMismatch:
    case RuntimeErrorCode::Overflow:
    case RuntimeErrorCode::InvalidArgument:
    case RuntimeErrorCode::InvalidUseOfNull:
      return true;
    default:
      return false;
  }
}

std::string ErrorJson(const Error& e) {
  return "{\"error\": {\"number\": " + std::to_string(e.number()) +
         ", \"source\": " + JsonString(e.source()) + ", \"description\": " + JsonString(e.description()) +
         "}}";
}

CallOutcome Failed(Failure failure, Error e) {
  CallOutcome outcome;
  outcome.failure = failure;
  outcome.json = ErrorJson(e);
  outcome.error = std::move(e);
  return outcome;
}

const MemberInfo* MemberByName(const ClassInfo& info, const std::string& member) {
  for (const auto& m : info.members)
    if (m.kind != MemberKind::PropertyLet && strcasecmp(m.name.c_str(), member.c_str()) == 0) return &m;
  return nullptr;
}

CallOutcome RunCall(const std::string& className, const std::string& member, Args args, bool transaction) {
  CallOutcome outcome;
  try {
    const auto& registry = Registry::Instance();
    const ClassInfo& info = registry.Class(className);
    const MemberInfo* declared = info.Find(member, args.size());
    std::optional<TransactionScope> scope;
    if (transaction) scope.emplace();
    auto object = registry.Create(className);
    const Variant result = registry.Invoke(*object, member, args);
    if (scope) scope->Complete();
    std::string json = "{\"result\": " + JsonValue(result) + ", \"out\": {";
    bool first = true;
    if (declared) {
      for (size_t i = 0; i < declared->params.size() && i < args.size(); ++i) {
        if (!declared->params[i].byRef) continue;
        json += (first ? "" : ", ") + JsonString(declared->params[i].name) + ": " + JsonValue(args[i]);
        first = false;
      }
    }
    outcome.json = json + "}}";
    if (!result.IsEmpty()) outcome.text = DisplayText(result);
    return outcome;
  } catch (const Error& e) {
    return Failed(Classify(e), e);
  } catch (const db::DatabaseError& e) {
    return Failed(e.category() == ErrorCategory::Connection ? Failure::Unavailable : Failure::Component,
                  Error(kComponentError, "KX", e.what(), e.Cause()));
  } catch (const std::exception& e) {
    return Failed(Failure::Internal, Error(kComponentError, "kx", e.what()));
  }
}

}  // namespace kx::service
