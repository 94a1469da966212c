// The votes of a call on its transaction (when a host runs it in a transaction scope), and the
// guard of the controllers' members, which votes complete after a successful body and abort
// before raising.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include "kx/error.h"

namespace kx {

void CtxSetComplete();
void CtxSetAbort();

// The controller form of Guard: votes complete after a successful body, abort before raising.
template <class Body>
auto ControllerGuard(std::string_view proc, Body&& body) -> decltype(body()) {
  try {
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      CtxSetComplete();
    } else {
      auto result = body();
      CtxSetComplete();
      return result;
    }
  } catch (...) {
    CtxSetAbort();
    RaiseError(kProcedureError, std::string(proc) + TrappedDescription(), TrappedCause());
  }
}

}  // namespace kx
