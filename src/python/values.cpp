#include "python/values.h"

#include <datetime.h>

#include <climits>
#include <cmath>

#include "python/objects.h"
#include "python/text.h"
#include "runtime/db/recordset.h"

namespace kx::python {

namespace {

// The datetime C API, imported once (under the GIL).
void NeedDateTime() {
  if (!PyDateTimeAPI) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();
  }
}

std::string TypeName(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

py::object DateValue(const Date& date) {
  NeedDateTime();
  int year, month, day, hour, minute, second;
  date.Parts(year, month, day, hour, minute, second);
  PyObject* made = hour == 0 && minute == 0 && second == 0
                       ? PyDate_FromDate(year, month, day)
                       : PyDateTime_FromDateAndTime(year, month, day, hour, minute, second, 0);
  if (!made) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(made);
}

py::object Rows(const db::Recordset& rs) {
  // A copy walks the rows, so the result set itself keeps its position.
  db::Recordset rows = rs;
  rows.MoveFirst();
  py::list out;
  std::vector<py::object> names;
  for (const auto& column : rows.Columns()) names.push_back(Text(column));
  for (; !rows.EOF_(); rows.MoveNext()) {
    py::dict row;
    for (size_t i = 0; i < names.size(); ++i) row[names[i]] = FromVariant(rows.Field(rows.Columns()[i]));
    out.append(std::move(row));
  }
  return out;
}

}  // namespace

Variant ToVariant(py::handle value, ValueRefused& refused) {
  PyObject* p = value.ptr();
  if (p == Py_None) return Variant::Null();
  if (PyBool_Check(p)) return Variant(p == Py_True);
  if (PyLong_Check(p)) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(p, &overflow);
    if (overflow == 0 && n >= INT32_MIN && n <= INT32_MAX) return Variant(static_cast<int32_t>(n));
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    // Whole numbers beyond 32 bits travel as their digits, so that the member's conversion decides.
    return Variant(std::string(py::str(value)));
  }
  if (PyFloat_Check(p)) {
    const double d = PyFloat_AsDouble(p);
    if (!std::isfinite(d)) {
      refused = {false, "is a number out of range (" + std::string(py::str(value)) + ")"};
      return Variant();
    }
    return Variant(d);
  }
  if (PyUnicode_Check(p)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(p, &size);
    if (!utf8) {
      PyErr_Clear();
      refused = {false, "is a text that cannot be written as UTF-8"};
      return Variant();
    }
    return Variant(std::string(utf8, static_cast<size_t>(size)));
  }
  NeedDateTime();
  if (PyDateTime_Check(p))
    return Variant(Date::FromParts(PyDateTime_GET_YEAR(p), PyDateTime_GET_MONTH(p), PyDateTime_GET_DAY(p),
                                   PyDateTime_DATE_GET_HOUR(p), PyDateTime_DATE_GET_MINUTE(p),
                                   PyDateTime_DATE_GET_SECOND(p)));
  if (PyDate_Check(p))
    return Variant(Date::FromParts(PyDateTime_GET_YEAR(p), PyDateTime_GET_MONTH(p), PyDateTime_GET_DAY(p)));
  if (const ObjectPtr object = ObjectOf(value)) return Variant(object);
  if (PyList_Check(p) || PyTuple_Check(p)) {
    Array items;
    for (auto item : value) {
      items.push_back(ToVariant(item, refused));
      if (!refused.message.empty()) return Variant();
    }
    return Variant::MakeArray(std::move(items));
  }
  refused = {true, "must be str, int, float, bool, None, a date, a kx object or a list of those, not " +
                       TypeName(value)};
  return Variant();
}

py::object FromVariant(const Variant& value) {
  switch (value.type()) {
    case Variant::Type::Empty:
    case Variant::Type::Null:
      return py::none();
    case Variant::Type::Int16:
      return py::int_(value.get<int16_t>());
    case Variant::Type::Int32:
      return py::int_(value.get<int32_t>());
    case Variant::Type::Double:
      return py::float_(value.get<double>());
    case Variant::Type::Date:
      return DateValue(value.get<Date>());
    case Variant::Type::String:
      return Text(value.get<std::string>());
    case Variant::Type::Bool:
      return py::bool_(value.get<bool>());
    case Variant::Type::Array: {
      py::list out;
      for (const auto& item : CArray(value)) out.append(FromVariant(item));
      return out;
    }
    case Variant::Type::Object: {
      const ObjectPtr& object = value.get<ObjectPtr>();
      if (!object) return py::none();
      if (const auto* rs = dynamic_cast<const db::Recordset*>(object.get())) return Rows(*rs);
      return WrapObject(object);
    }
  }
  return py::none();
}

}  // namespace kx::python
