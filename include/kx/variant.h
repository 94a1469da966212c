// The dynamically typed value that crosses the late-bound interface, with its conversions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace kx {

class Object;
class Variant;
using ObjectPtr = std::shared_ptr<Object>;
using Array = std::vector<Variant>;
using ArrayPtr = std::shared_ptr<Array>;

struct EmptyValue {
  bool operator==(const EmptyValue&) const = default;
};
struct NullValue {
  bool operator==(const NullValue&) const = default;
};

// A date as a day count from 30 December 1899 (the zero date); the fraction is the time of day.
struct Date {
  double serial = 0;
  bool operator==(const Date&) const = default;

  static Date FromParts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
  // Year, month, day, hour, minute, second of this date.
  void Parts(int& year, int& month, int& day, int& hour, int& minute, int& second) const;
  // "YYYY-MM-DD".
  std::string DateText() const;
  // "YYYY-MM-DD", followed by " HH:MM:SS" when the time of day is not midnight.
  std::string Text() const;
};

class Variant {
 public:
  enum class Type { Empty, Null, Int16, Int32, Double, Date, String, Bool, Object, Array };

  Variant() = default;
  Variant(NullValue) : v_(NullValue{}) {}
  Variant(int16_t v) : v_(v) {}
  Variant(int32_t v) : v_(v) {}
  Variant(double v) : v_(v) {}
  Variant(Date v) : v_(v) {}
  Variant(std::string v) : v_(std::move(v)) {}
  Variant(const char* v) : v_(std::string(v)) {}
  Variant(bool v) : v_(v) {}
  Variant(ObjectPtr v) : v_(std::move(v)) {}
  Variant(ArrayPtr v) : v_(std::move(v)) {}

  static Variant Null() { return Variant(NullValue{}); }
  static Variant MakeArray(Array items) { return Variant(std::make_shared<Array>(std::move(items))); }

  Type type() const { return static_cast<Type>(v_.index()); }
  bool IsEmpty() const { return type() == Type::Empty; }
  bool IsNull() const { return type() == Type::Null; }
  bool IsNumeric() const;
  bool IsString() const { return type() == Type::String; }

  template <class T>
  const T& get() const { return std::get<T>(v_); }
  template <class T>
  const T* get_if() const { return std::get_if<T>(&v_); }
  template <class T>
  T* get_if() { return std::get_if<T>(&v_); }

  // Exact equality of type and value.
  bool operator==(const Variant& other) const { return v_ == other.v_; }

 private:
  std::variant<EmptyValue, NullValue, int16_t, int32_t, double, Date, std::string, bool, ObjectPtr,
               ArrayPtr>
      v_;
};

// Conversions with the language's rules: a value that cannot be converted fails with Type mismatch,
// one out of range with Overflow, a Null with Invalid use of Null.
int16_t CInt(const Variant& v);
int32_t CLng(const Variant& v);
double CDbl(const Variant& v);
bool CBool(const Variant& v);
Date CDate(const Variant& v);
std::string CStr(const Variant& v);
uint8_t CByte(const Variant& v);
// The object a value holds; Empty, Null and Nothing fail with Object variable not set.
ObjectPtr CObj(const Variant& v);
// The array a value holds; anything else fails with Type mismatch.
const Array& CArray(const Variant& v);

// Parses a date text ("YYYY-MM-DD", "YYYY/MM/DD", "M/D/YYYY", each with an optional time).
bool ParseDate(const std::string& text, Date& out);

// Strips blanks on both sides.
std::string Trim(const std::string& s);

}  // namespace kx
