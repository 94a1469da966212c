// Value conversions, small formatting helpers, the parameter builder, the INI reader and the
// transaction votes shared by every class of the component.
#pragma once

#include <cstdint>
#include <string>

#include "kx/error.h"
#include "kx/variant.h"

namespace kx {

// The empty text for Null, anything else unchanged.
Variant Null2Str(const Variant& x);
// The 16-bit 0 for Null and for the empty text, anything else unchanged.
Variant Null2Int(const Variant& x);
// "YYYY-MM-DD" of a date (or date text); Null and the empty text give 1900-01-01; a text that is
// not a date comes back unchanged.
std::string Null2Date(const Variant& x);
// 1 for "Y", "y" and true values, 0 for "N", "n", Null, blank text and false values.
int16_t Null2Bln(const Variant& x);
int16_t Bln2Int(bool b);
// The current time of day as HHMM (seconds dropped).
int16_t GetTime();
// The day and the time of day as HHMM from one reading of the clock, so that the two always
// belong together (a record stamped at midnight gets both from the same side of it).
struct ClockStamp {
  Date day;
  int16_t time = 0;
};
ClockStamp ReadClock();
// Today's date (no time part).
Date Today();
// `s` padded on the left with zeros to `n` characters, or cut to its rightmost `n`.
std::string LPZero(const std::string& s, int16_t n);
// Every single quote doubled.
std::string Str2SQL(const std::string& s);
// `Str2SQL` of a value of any type, as it is placed between quotes in a statement.
std::string SqlText(const Variant& v);
// A value of the INI file at `path` (see ReadIniValue), as the running call sees the file (CallConfig).
std::string sGetINI(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& defaultValue);
// A parameter descriptor: the six values in order.
Variant mp(const std::string& name, int32_t dataType, int16_t size, const Variant& value,
           int16_t precision, int16_t scale);
// The schema folder from Config.ini, section "XML", key "XMLSCHEMAPATH".
std::string QLP_Sch_FilePath();

}  // namespace kx
