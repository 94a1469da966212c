// Base of every class that can be created by name and called late-bound.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "kx/error.h"
#include "kx/variant.h"

namespace kx {

class Object : public std::enable_shared_from_this<Object> {
 public:
  virtual ~Object() = default;
  // The registered class name ("S_DBHelpForKX", ...).
  virtual std::string_view ClassName() const = 0;
  // A readable form of the object for the command line.
  virtual std::string ToText() const { return "[" + std::string(ClassName()) + "]"; }
};

// The object `v` holds as class T; another class fails with Type mismatch, Nothing with
// Object variable not set.
template <class T>
std::shared_ptr<T> ObjectAs(const Variant& v) {
  auto p = std::dynamic_pointer_cast<T>(CObj(v));
  if (!p) ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
  return p;
}

// Names of the object model (classes, members, parameters, result columns) are ASCII and are
// matched without regard to the case of their letters, not through the locale.
inline char LowerLetter(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }
inline bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && LowerLetter(a[i]) != LowerLetter(b[i])) return false;
  return true;
}

}  // namespace kx
