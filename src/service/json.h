// JSON and display forms of values for the hosts (the `kx` command and the HTTP service).
#pragma once

#include <string>

#include "kx/variant.h"

namespace kx {

std::string JsonString(const std::string& s);
namespace db {
class Recordset;
}

// A string, number, Boolean, null or array; a result set as an array of row objects keyed by
// column name; another object as its text.
std::string JsonValue(const Variant& v);
// The rows of a result set as an array of objects keyed by column name (NULL as null).
std::string JsonRows(const db::Recordset& rs);
// The value as plain text (objects as their readable form).
std::string DisplayText(const Variant& v);

}  // namespace kx
