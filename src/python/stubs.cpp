#include "python/stubs.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <string_view>
#include <vector>

#include "kx/registry.h"

namespace kx::python {

namespace {

// What the module itself defines, before the classes of the registry.
constexpr std::string_view kHead = R"(# The types of the kx module, written from its class registry when the module was built.
import datetime
import os
from types import TracebackType
from typing import Any, Literal, Sequence, TypeAlias, overload

# What a parameter takes; None passes Null, a list or tuple an array.
Value: TypeAlias = str | int | float | bool | datetime.date | None | Object | Sequence[Any]

class Error(Exception):
    number: int
    source: str
    description: str
    def __init__(self, number: int, source: str, description: str) -> None: ...

class ArgumentError(Error, TypeError):
    message: str
    def __init__(self, number: int, source: str, description: str, message: str) -> None: ...

class Object:
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class Member:
    @property
    def name(self) -> str: ...
    def __call__(self, *args: Value, **kwargs: Value) -> Any: ...

class Transaction:
    def __enter__(self) -> Transaction: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> bool: ...
    def abort(self) -> None: ...

def home(path: str | os.PathLike[str] | None = None) -> str: ...
def init() -> None: ...
def classes() -> list[str]: ...
def transaction() -> Transaction: ...
)";

// Whether `name` can be written as a Python name (not a keyword, not a name the stubs use).
bool Writable(const std::string& name) {
  static const std::set<std::string> reserved = {
      "False", "None",     "True",  "and",   "as",     "assert", "async",  "await",   "break",
      "class", "continue", "def",   "del",   "elif",   "else",   "except", "finally", "for",
      "from",  "global",   "if",    "import", "in",    "is",     "lambda", "nonlocal", "not",
      "or",    "pass",     "raise", "return", "try",   "while",  "with",   "yield",   "self"};
  if (name.empty() || reserved.count(name) || name.starts_with("__")) return false;
  if (!(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

// The stub class name of a registered class (a name of the stubs only, for the type checker).
std::string StubClass(const std::string& name) { return "_" + name; }

// The `def` line of a method: the parameters that follow the last required one may be omitted; a
// parameter whose name Python cannot write is positional only.
std::string Method(const MemberInfo& m) {
  size_t required = 0;
  for (size_t i = 0; i < m.params.size(); ++i)
    if (!m.params[i].optional && !m.params[i].byRef) required = i + 1;
  bool positionalOnly = false;
  for (const auto& p : m.params) positionalOnly = positionalOnly || !Writable(p.name);
  std::string line = "    def " + m.name + "(self";
  bool byRef = false;
  for (size_t i = 0; i < m.params.size(); ++i) {
    const std::string name = positionalOnly ? "__" + std::to_string(i + 1) : m.params[i].name;
    line += ", " + name + ": Value" + (i >= required ? " = ..." : "");
    byRef = byRef || m.params[i].byRef;
  }
  return line + ") -> " + (byRef ? "tuple[Any, dict[str, Any]]" : "Any") + ": ...\n";
}

std::string Class(const ClassInfo& info) {
  std::string out = "class " + StubClass(info.name) + "(Object):\n";
  std::vector<std::string> written;
  const auto seen = [&](const std::string& name) {
    return std::any_of(written.begin(), written.end(), [&](const auto& w) { return SameName(w, name); });
  };
  for (const auto& m : info.members) {
    if (m.kind == MemberKind::PropertyLet || seen(m.name) || !Writable(m.name)) continue;
    written.push_back(m.name);
    if (m.kind == MemberKind::Method || !m.params.empty()) {
      out += Method(m);
      continue;
    }
    const bool assignable = std::any_of(info.members.begin(), info.members.end(), [&](const MemberInfo& o) {
      return o.kind == MemberKind::PropertyLet && SameName(o.name, m.name);
    });
    out += assignable ? "    " + m.name + ": Any\n"
                      : "    @property\n    def " + m.name + "(self) -> Any: ...\n";
  }
  // A class that only assigns a property still names it.
  for (const auto& m : info.members) {
    if (m.kind != MemberKind::PropertyLet || seen(m.name) || !Writable(m.name)) continue;
    written.push_back(m.name);
    out += "    " + m.name + ": Any\n";
  }
  if (written.empty()) out += "    pass\n";
  return out;
}

}  // namespace

std::string Stubs() {
  std::string out(kHead);
  const auto& registry = Registry::Instance();
  std::vector<std::string> names;
  for (const auto& name : registry.ClassNames()) {
    if (!Writable(name)) continue;
    out += "\n" + Class(registry.Class(name));
    names.push_back(name);
  }
  out += "\n";
  for (const auto& name : names)
    out += "@overload\ndef create(name: Literal[\"" + name + "\"]) -> " + StubClass(name) + ": ...\n";
  out += "@overload\ndef create(name: str) -> Any: ...\n";
  return out;
}

}  // namespace kx::python
