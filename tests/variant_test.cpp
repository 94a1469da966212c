// Conversions of kx::Variant: integer rounding and range, Boolean texts, dates and their texts.
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kx/error.h"
#include "kx/variant.h"
#include "test_support.h"

namespace kx::test {
namespace {

// The run-time error number a conversion raises, or 0 when it succeeds.
int32_t ErrorNumberOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

// A readable form of a test input for failure messages.
std::string Describe(const Variant& v) {
  if (v.IsNull()) return "Null";
  return "type " + std::to_string(static_cast<int>(v.type())) + " '" + CStr(v) + "'";
}

// CLng (else CInt), input, the value, or the run-time error number when it is not 0.
struct IntCase {
  bool toLong;
  Variant input;
  int32_t expected, error;
};

TEST(VariantConversion, IntegersRoundHalfToEvenAndCheckTheirRange) {
  const std::vector<IntCase> cases = {
      {false, Variant(2.5), 2, 0},           {false, Variant(3.5), 4, 0},
      {false, Variant(-2.5), -2, 0},         {false, Variant(0.5), 0, 0},
      {false, Variant(2.6), 3, 0},           {false, Variant(" 7 "), 7, 0},
      {false, Variant("4.5"), 4, 0},         {false, Variant(true), -1, 0},
      {false, Variant(), 0, 0},              {false, Variant(-32768.5), -32768, 0},
      {false, Variant(32767.5), 0, 6},       {false, Variant(int32_t{40000}), 0, 6},
      {false, Variant("-32769"), 0, 6},      {false, Variant("abc"), 0, 13},
      {false, Variant(""), 0, 13},           {false, Variant("1-2"), 0, 13},
      {false, Variant("2026-03-04"), 0, 13},  // a date text is no number
      {false, Variant::Null(), 0, 94},       {true, Variant(2147483646.5), 2147483646, 0},
      {true, Variant("2147483647"), INT32_MAX, 0}, {true, Variant(-2147483648.0), INT32_MIN, 0},
      {true, Variant(2147483647.5), 0, 6},   {true, Variant("2147483648"), 0, 6},
      {true, Variant("abc"), 0, 13},         {true, Variant(""), 0, 13},
      {true, Variant::Null(), 0, 94},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Describe(c.input));
    int32_t value = 0;
    EXPECT_EQ(ErrorNumberOf([&] { value = c.toLong ? CLng(c.input) : CInt(c.input); }), c.error);
    if (c.error == 0) {
      EXPECT_EQ(value, c.expected);
    }
  }
}

TEST(VariantConversion, CBoolAcceptsTrueFalseTextsAndNumbers) {
  // 1 true, 0 false, else the run-time error number
  const std::vector<std::pair<Variant, int32_t>> cases = {
      {Variant("True"), 1},  {Variant("false"), 0}, {Variant("TRUE"), 1},      {Variant("-1"), 1},
      {Variant("0"), 0},     {Variant("2.5"), 1},   {Variant(int16_t{-1}), 1}, {Variant(0.0), 0},
      {Variant(), 0},        {Variant("yes"), 13},  {Variant(""), 13},         {Variant::Null(), 94},
  };
  for (const auto& [input, expected] : cases) {
    int32_t got = -1;
    const int32_t error = ErrorNumberOf([&, &input = input] { got = CBool(input) ? 1 : 0; });
    EXPECT_EQ(error ? error : got, expected) << Describe(input);
  }
}

TEST(VariantDate, TextsParseToTheirCalendarDate) {
  const std::vector<std::pair<std::string, Date>> cases = {
      {"1/1/1900", Date::FromParts(1900, 1, 1)},
      {"12/31/1899", Date::FromParts(1899, 12, 31)},
      {"2024-02-29", Date::FromParts(2024, 2, 29)},
      {"2026/03/04", Date::FromParts(2026, 3, 4)},
      {"3/4/2026", Date::FromParts(2026, 3, 4)},
      {"2026-03-04 14:05:59", Date::FromParts(2026, 3, 4, 14, 5, 59)},
      {"2026-03-04T09:30", Date::FromParts(2026, 3, 4, 9, 30)},
      {"2026-03-04 10:00:00.123+02", Date::FromParts(2026, 3, 4, 10)},
  };
  for (const auto& [text, expected] : cases) {
    Date d;
    EXPECT_TRUE(ParseDate(text, d)) << text;
    EXPECT_EQ(d.Text(), expected.Text()) << text;
    EXPECT_EQ(CDate(Variant(text)), expected) << text;
  }
}

TEST(VariantDate, ImpossibleDatesAreRefused) {
  for (const std::string text : {"2026-02-29", "2026-13-01", "2026-04-31", "1900-02-29", "abc", "",
                                 "2026-03-04 24:00", "2026-03-04x", "13/1/2026"}) {
    Date d;
    EXPECT_FALSE(ParseDate(text, d)) << text;
    EXPECT_EQ(ErrorNumberOf([&] { CDate(Variant(text)); }), 13) << text;
  }
}

TEST(VariantDate, DaysCountFromTheZeroDate) {
  EXPECT_EQ(Date::FromParts(1899, 12, 30).serial, 0);
  EXPECT_EQ(Date::FromParts(1900, 1, 1, 12).serial, 2.5);
  EXPECT_EQ(CDbl(Variant(Date::FromParts(2026, 1, 1))), 46023);
  // Before the zero date the time of day still counts forward within the day.
  EXPECT_EQ(Date::FromParts(1899, 12, 29, 6).serial, -1.25);
  EXPECT_EQ(CDate(Variant(-1.25)).Text(), "1899-12-29 06:00:00");
  EXPECT_EQ(CDate(Variant(2.5)).Text(), "1900-01-01 12:00:00");
  for (const Date d : {Date::FromParts(1899, 12, 29, 23, 59, 59), Date::FromParts(2000, 2, 29, 12, 0, 1),
                       Date::FromParts(9999, 12, 31), Date::FromParts(100, 1, 1, 1, 2, 3)}) {
    Date back;
    EXPECT_TRUE(ParseDate(d.Text(), back)) << d.Text();
    EXPECT_EQ(back, d) << d.Text();
  }
}

TEST(VariantConversion, CStrWritesEachType) {
  const std::vector<std::pair<Variant, std::string>> cases = {
      {Variant(true), "True"},       {Variant(false), "False"},   {Variant(1.5), "1.5"},
      {Variant(0.1), "0.1"},         {Variant(-3.0), "-3"},       {Variant(int16_t{-7}), "-7"},
      {Variant(int32_t{123456}), "123456"},                        {Variant(), ""},
      {Variant(Date::FromParts(2026, 3, 4)), "2026-03-04"},
      {Variant(Date::FromParts(2026, 3, 4, 14, 5, 9)), "2026-03-04 14:05:09"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(CStr(input), expected);
}

// Numbers and dates are written as printf writes them ("%.15g", "%04d-%02d-%02d %02d:%02d:%02d"),
// whatever the value: checked against printf itself.
TEST(VariantConversion, NumbersAndDatesAreWrittenAsPrintfWritesThem) {
  const auto printf15g = [](double d) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    return std::string(buf);
  };
  std::vector<double> numbers = {0.0, -0.0, 1, -1, 0.1, 1.5, -3, 930, 1e14, 999999999999999.0, 1e15, -1e15,
                                 123456789012345.6, 1e16, 1e21, 1e-5, 1.25e-7, 0.30000000000000004,
                                 2.5e300, -2.5e-300, std::numeric_limits<double>::max(),
                                 std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity(), std::nan("")};
  std::mt19937_64 random(42);
  for (int i = 0; i < 20000; ++i) {
    const double magnitude = std::pow(10.0, static_cast<int>(random() % 40) - 20);
    numbers.push_back(std::uniform_real_distribution<double>(-1, 1)(random) * magnitude);
    numbers.push_back(static_cast<double>(static_cast<int64_t>(random() % 2000000000000000) - 1000000000000000));
  }
  for (const double d : numbers) ASSERT_EQ(CStr(Variant(d)), printf15g(d)) << d;

  const auto printfDate = [](const Date& d, bool withTime) {
    int y, m, day, hh, mm, ss;
    d.Parts(y, m, day, hh, mm, ss);
    char buf[64];
    if (withTime && (hh || mm || ss))
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, m, day, hh, mm, ss);
    else
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, day);
    return std::string(buf);
  };
  std::vector<Date> dates = {Date{0}, Date{-1.25}, Date{2.5}, Date::FromParts(100, 1, 1, 1, 2, 3),
                             Date::FromParts(9999, 12, 31, 23, 59, 59), Date{-700000}, Date{3000000},
                             Date{-1000000}};
  for (int i = 0; i < 20000; ++i)
    dates.push_back(Date{std::uniform_real_distribution<double>(-800000, 3000000)(random)});
  for (const Date& d : dates) {
    ASSERT_EQ(d.Text(), printfDate(d, true)) << d.serial;
    ASSERT_EQ(d.DateText(), printfDate(d, false)) << d.serial;
  }
}

}  // namespace
}  // namespace kx::test
