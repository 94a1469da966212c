#include "kx/variant.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "kx/error.h"
#include "kx/object.h"

namespace kx {
namespace {

// Days from 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

const int64_t kZeroDate = DaysFromCivil(1899, 12, 30);

bool ParseNumber(const std::string& text, double& out) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  for (char c : t) {
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' ||
          c == 'e' || c == 'E'))
      return false;
  }
  char* end = nullptr;
  out = std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size();
}

double ToNumber(const Variant& v) {
  switch (v.type()) {
    case Variant::Type::Empty: return 0;
    case Variant::Type::Null: ThrowRuntimeError(RuntimeErrorCode::InvalidUseOfNull);
    case Variant::Type::Int16: return v.get<int16_t>();
    case Variant::Type::Int32: return v.get<int32_t>();
    case Variant::Type::Double: return v.get<double>();
    case Variant::Type::Date: return v.get<Date>().serial;
    case Variant::Type::Bool: return v.get<bool>() ? -1 : 0;
    case Variant::Type::String: {
      double d = 0;
      if (ParseNumber(v.get<std::string>(), d)) return d;
      break;
    }
    default: break;
  }
  ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
}

template <class T>
T ToInteger(const Variant& v) {
  const double d = std::nearbyint(ToNumber(v));  // rounds half to even
  if (!(d >= std::numeric_limits<T>::min() && d <= std::numeric_limits<T>::max()))
    ThrowRuntimeError(RuntimeErrorCode::Overflow);
  return static_cast<T>(d);
}

std::string FormatDouble(double d) {
  // As printf's "%.15g" writes it, which std::to_chars with the general format and precision 15 is
  // defined to match; a whole number within 15 digits is written as its digits.
  char buf[40];
  if (std::isfinite(d)) {
    if (d == std::trunc(d) && std::fabs(d) < 1e15 && !(d == 0 && std::signbit(d))) {
      const auto end = std::to_chars(buf, buf + sizeof buf, static_cast<int64_t>(d)).ptr;
      return std::string(buf, end);
    }
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 15);
    if (ec == std::errc()) return std::string(buf, end);
  }
  std::snprintf(buf, sizeof buf, "%.15g", d);
  return buf;
}

// Appends `value` to `out` with at least `width` digits, zero padded, as printf's "%0<width>d"
// writes it.
void AppendPadded(std::string& out, int value, int width) {
  char buf[16];
  if (value < 0) {
    std::snprintf(buf, sizeof buf, "%0*d", width, value);
    out += buf;
    return;
  }
  const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  for (auto digits = end - buf; digits < width; ++digits) out.push_back('0');
  out.append(buf, end);
}

bool ReadInt(const char*& p, int maxDigits, int& out) {
  int n = 0, digits = 0;
  while (digits < maxDigits && std::isdigit(static_cast<unsigned char>(*p))) {
    n = n * 10 + (*p - '0');
    ++p;
    ++digits;
  }
  out = n;
  return digits > 0;
}

bool ValidDate(int y, int m, int d) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= days[m - 1] + (m == 2 && leap ? 1 : 0);
}

}  // namespace

Date Date::FromParts(int year, int month, int day, int hour, int minute, int second) {
  const int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  const double time = (hour * 3600 + minute * 60 + second) / 86400.0;
  const double whole = static_cast<double>(days - kZeroDate);
  // Before the zero date the fraction still counts forward within the day.
  return Date{whole < 0 ? whole - time : whole + time};
}

void Date::Parts(int& year, int& month, int& day, int& hour, int& minute, int& second) const {
  const double whole = std::trunc(serial);
  double fraction = std::fabs(serial - whole);
  int64_t secs = std::llround(fraction * 86400.0);
  int64_t days = static_cast<int64_t>(whole);
  if (secs >= 86400) {
    secs -= 86400;
    days += serial < 0 ? -1 : 1;
  }
  CivilFromDays(days + kZeroDate, year, month, day);
  hour = static_cast<int>(secs / 3600);
  minute = static_cast<int>(secs / 60 % 60);
  second = static_cast<int>(secs % 60);
}

namespace {

// "yyyy-mm-dd", and " hh:mm:ss" when `withTime`, as printf's "%04d-%02d-%02d %02d:%02d:%02d" writes it.
std::string DateParts(int y, int m, int d, int hh, int mm, int ss, bool withTime) {
  std::string out;  // a date alone fits the string's own room
  if (withTime) out.reserve(19);
  AppendPadded(out, y, 4);
  out.push_back('-');
  AppendPadded(out, m, 2);
  out.push_back('-');
  AppendPadded(out, d, 2);
  if (withTime) {
    out.push_back(' ');
    AppendPadded(out, hh, 2);
    out.push_back(':');
    AppendPadded(out, mm, 2);
    out.push_back(':');
    AppendPadded(out, ss, 2);
  }
  return out;
}

}  // namespace

std::string Date::DateText() const {
  int y, m, d, hh, mm, ss;
  Parts(y, m, d, hh, mm, ss);
  return DateParts(y, m, d, hh, mm, ss, false);
}

std::string Date::Text() const {
  int y, m, d, hh, mm, ss;
  Parts(y, m, d, hh, mm, ss);
  return DateParts(y, m, d, hh, mm, ss, hh != 0 || mm != 0 || ss != 0);
}

bool ParseDate(const std::string& text, Date& out) {
  const std::string t = Trim(text);
  const char* p = t.c_str();
  int a = 0, b = 0, c = 0;
  if (!ReadInt(p, 4, a)) return false;
  const char sep = *p;
  if (sep != '-' && sep != '/') return false;
  ++p;
  if (!ReadInt(p, 2, b) || *p != sep) return false;
  ++p;
  if (!ReadInt(p, 4, c)) return false;
  int y, m, d;
  if (a >= 100 || sep == '-') {
    y = a, m = b, d = c;  // year first
  } else {
    m = a, d = b, y = c;  // month/day/year
  }
  if (!ValidDate(y, m, d)) return false;
  int hh = 0, mi = 0, ss = 0;
  if (*p == ' ' || *p == 'T') {
    ++p;
    if (!ReadInt(p, 2, hh) || *p != ':') return false;
    ++p;
    if (!ReadInt(p, 2, mi)) return false;
    if (*p == ':') {
      ++p;
      if (!ReadInt(p, 2, ss)) return false;
      if (*p == '.') {  // fractions of a second are dropped
        ++p;
        while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
      }
    }
    if (hh > 23 || mi > 59 || ss > 59) return false;
    // A zone suffix of the engine ("+00", "-05:30", "Z") is ignored.
    if (*p == '+' || *p == '-' || *p == 'Z') p += std::char_traits<char>::length(p);
  }
  if (*p != '\0') return false;
  out = Date::FromParts(y, m, d, hh, mi, ss);
  return true;
}

std::string Trim(const std::string& s) {
  const auto begin = s.find_first_not_of(' ');
  if (begin == std::string::npos) return {};
  const auto end = s.find_last_not_of(' ');
  return s.substr(begin, end - begin + 1);
}

bool Variant::IsNumeric() const {
  switch (type()) {
    case Type::Int16:
    case Type::Int32:
    case Type::Double:
    case Type::Bool:
    case Type::Empty: return true;
    case Type::String: {
      double d;
      return ParseNumber(get<std::string>(), d);
    }
    default: return false;
  }
}

int16_t CInt(const Variant& v) { return ToInteger<int16_t>(v); }
int32_t CLng(const Variant& v) { return ToInteger<int32_t>(v); }
uint8_t CByte(const Variant& v) { return ToInteger<uint8_t>(v); }
double CDbl(const Variant& v) { return ToNumber(v); }

bool CBool(const Variant& v) {
  if (v.IsString()) {
    std::string t = Trim(v.get<std::string>());
    for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (t == "true") return true;
    if (t == "false") return false;
    double d = 0;
    if (ParseNumber(t, d)) return d != 0;
    ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
  }
  return ToNumber(v) != 0;
}

Date CDate(const Variant& v) {
  switch (v.type()) {
    case Variant::Type::Date: return v.get<Date>();
    case Variant::Type::String: {
      Date d;
      if (ParseDate(v.get<std::string>(), d)) return d;
      double n = 0;
      if (ParseNumber(v.get<std::string>(), n)) return Date{n};
      ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
    }
    default: return Date{ToNumber(v)};
  }
}

std::string CStr(const Variant& v) {
  switch (v.type()) {
    case Variant::Type::Empty: return {};
    case Variant::Type::Null: ThrowRuntimeError(RuntimeErrorCode::InvalidUseOfNull);
    case Variant::Type::Int16: return std::to_string(v.get<int16_t>());
    case Variant::Type::Int32: return std::to_string(v.get<int32_t>());
    case Variant::Type::Double: return FormatDouble(v.get<double>());
    case Variant::Type::Date: return v.get<Date>().Text();
    case Variant::Type::String: return v.get<std::string>();
    case Variant::Type::Bool: return v.get<bool>() ? "True" : "False";
    default: break;
  }
  ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
}

ObjectPtr CObj(const Variant& v) {
  if (const auto* o = v.get_if<ObjectPtr>(); o && *o) return *o;
  if (v.type() == Variant::Type::Object || v.IsEmpty() || v.IsNull())
    ThrowRuntimeError(RuntimeErrorCode::ObjectNotSet);
  ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
}

const Array& CArray(const Variant& v) {
  if (const auto* a = v.get_if<ArrayPtr>(); a && *a) return **a;
  ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
}

}  // namespace kx
