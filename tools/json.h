// JSON and display forms of values for the `kx` command.
#pragma once

#include <string>

#include "runtime/variant.h"

namespace kx {

std::string JsonString(const std::string& s);
// A string, number, Boolean, null or array; an object as its text.
std::string JsonValue(const Variant& v);
// The value as plain text (objects as their readable form).
std::string DisplayText(const Variant& v);

}  // namespace kx
