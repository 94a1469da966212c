#include "shared/mod_kx_common.h"

#include "runtime/context.h"
#include "kx/host.h"
#include "runtime/ini.h"
#include "runtime/votes.h"

namespace kx {

Variant Null2Str(const Variant& x) {
  return Guard("Null2Str Function", [&] { return x.IsNull() ? Variant(std::string()) : x; });
}

Variant Null2Int(const Variant& x) {
  return Guard("Null2Int Function", [&] {
    if (x.IsNull() || (x.IsString() && x.get<std::string>().empty())) return Variant(int16_t{0});
    return x;
  });
}

std::string Null2Date(const Variant& x) {
  return Guard("Null2Date Function", [&] {
    const bool missing = x.IsNull() || (x.IsString() && x.get<std::string>().empty());
    const Variant value = missing ? Variant("1/1/1900") : x;
    if (value.IsString()) {
      Date d;
      if (!ParseDate(value.get<std::string>(), d)) return value.get<std::string>();
      return d.DateText();
    }
    return CDate(value).DateText();
  });
}

int16_t Null2Bln(const Variant& x) {
  return Guard("Null2Bln Function", [&]() -> int16_t {
    if (x.IsNull()) return 0;
    if (x.IsString()) {
      const std::string& s = x.get<std::string>();
      if (Trim(s).empty()) return 0;
      if (s == "Y" || s == "y") return 1;
      if (s == "N" || s == "n") return 0;
    }
    return CBool(x) ? 1 : 0;
  });
}

int16_t Bln2Int(bool b) {
  return Guard("Bln2Int Function", [&]() -> int16_t { return b ? 1 : 0; });
}

ClockStamp ReadClock() {
  const LocalTime t = ToLocal(Now());
  return {Date::FromParts(t.year, t.month, t.day), static_cast<int16_t>(t.hour * 100 + t.minute)};
}

Date Today() { return ReadClock().day; }

int16_t GetTime() {
  return Guard("GetTime Function", [] { return ReadClock().time; });
}

std::string LPZero(const std::string& s, int16_t n) {
  return Guard("LPZero Function", [&] {
    if (n < 0) ThrowRuntimeError(RuntimeErrorCode::InvalidArgument);
    const std::string padded = std::string(static_cast<size_t>(n), '0') + s;
    std::string result = padded.substr(padded.size() - static_cast<size_t>(n));
    CtxSetComplete();
    return result;
  });
}

std::string Str2SQL(const std::string& s) {
  std::string out;
  out.reserve(s.size() + 8);
  for (char c : s) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

std::string SqlText(const Variant& v) { return Str2SQL(v.IsNull() ? std::string() : CStr(v)); }

std::string sGetINI(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& defaultValue) {
  return Guard("sGetINI Function", [&] { return CallConfig(path)->Value(section, key, defaultValue); });
}

Variant mp(const std::string& name, int32_t dataType, int16_t size, const Variant& value,
           int16_t precision, int16_t scale) {
  return Guard("mp Function", [&] {
    return Variant::MakeArray({Variant(name), Variant(dataType), Variant(size), value,
                               Variant(precision), Variant(scale)});
  });
}

std::string QLP_Sch_FilePath() {
  return Guard("QLP_Sch_FilePath Function", [] {
    // Each request reads it: the value is kept by each thread for the state of Config.ini the
    // call sees (a file read again is a new parse), and looked up again only when that changes.
    thread_local std::shared_ptr<const IniFile> keptFor;
    thread_local std::string keptPath, kept;
    const std::string& path = CurrentConfigPath();
    auto ini = CallConfig(path);
    if (ini != keptFor || path != keptPath) {
      kept = sGetINI(path, "XML", "XMLSCHEMAPATH", "");
      keptFor = std::move(ini);
      keptPath = path;
    }
    return kept;
  });
}

}  // namespace kx
