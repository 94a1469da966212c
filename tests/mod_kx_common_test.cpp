// The common conversions and helpers every class uses: null conversions, GetTime, LPZero, Str2SQL,
// mp, the INI reader and the schema paths.
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "kx/host.h"
#include "runtime/ini.h"
#include "shared/mod_kx_common.h"
#include "shared/mod_kx_xml.h"
#include "runtime/context.h"
#include "test_support.h"

namespace kx::test {
namespace {

TEST(NullConversions, Null2StrAndNull2Int) {
  EXPECT_EQ(Null2Str(Variant::Null()), Variant(std::string()));
  EXPECT_EQ(Null2Str(Variant(int16_t{0})), Variant(int16_t{0}));  // a number stays a number
  EXPECT_EQ(Null2Str(Variant("abc")), Variant("abc"));
  EXPECT_EQ(Null2Int(Variant::Null()), Variant(int16_t{0}));
  EXPECT_EQ(Null2Int(Variant("")), Variant(int16_t{0}));
  EXPECT_EQ(Null2Int(Variant("12")), Variant("12"));  // the caller converts it
  EXPECT_EQ(Null2Int(Variant(int32_t{70000})), Variant(int32_t{70000}));
}

TEST(NullConversions, Null2DateFormatsDatesAndKeepsOtherText) {
  const std::vector<std::pair<Variant, std::string>> cases = {
      {Variant::Null(), "1900-01-01"},         {Variant(""), "1900-01-01"},
      {Variant(Date::FromParts(2026, 3, 4, 14, 5, 0)), "2026-03-04"},
      {Variant("2026-03-04 14:05:00"), "2026-03-04"}, {Variant("3/4/2026"), "2026-03-04"},
      {Variant("not a date"), "not a date"},   {Variant("2026-02-29"), "2026-02-29"}};
  for (const auto& [input, expected] : cases) EXPECT_EQ(Null2Date(input), expected);
}

TEST(NullConversions, Null2BlnAcceptsLettersBooleansAndNumbers) {
  const std::vector<std::pair<Variant, int16_t>> cases = {
      {Variant("Y"), 1},        {Variant("y"), 1},         {Variant("N"), 0},          {Variant("n"), 0},
      {Variant("   "), 0},      {Variant(""), 0},          {Variant::Null(), 0},       {Variant(int16_t{0}), 0},
      {Variant(int16_t{-1}), 1}, {Variant("-1"), 1},       {Variant("True"), 1},       {Variant("false"), 0},
      {Variant(true), 1},       {Variant(2.5), 1},         {Variant(), 0}};
  for (const auto& [input, expected] : cases) EXPECT_EQ(Null2Bln(input), expected);
  EXPECT_EQ(Bln2Int(true), 1);
  EXPECT_EQ(Bln2Int(false), 0);
}

TEST(NullConversions, Null2BlnOfUnknownTextIsATypeMismatch) {
  for (const char* text : {"yes", "Yes", "Y ", "x"}) {
    const Error e = CaptureError([&] { Null2Bln(Variant(text)); });
    EXPECT_EQ(e.number(), kComponentError);
    EXPECT_EQ(e.description(), "Null2Bln FunctionType mismatch") << text;
    EXPECT_EQ(e.source(), e.description());
  }
}

// A clock that stands still at `hour:minute:second` local time on 4 March 2026.
Clock LocalClock(int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = 2026 - 1900, tm.tm_mon = 2, tm.tm_mday = 4;
  tm.tm_hour = hour, tm.tm_min = minute, tm.tm_sec = second, tm.tm_isdst = -1;
  const auto at = std::chrono::system_clock::from_time_t(std::mktime(&tm));
  return [at] { return at; };
}

TEST(CommonHelpers, GetTimeIsHoursAndMinutesWithoutSeconds) {
  TestHome home;  // restores the system clock when done
  const std::vector<std::pair<std::vector<int>, int16_t>> cases = {
      {{9, 30, 15}, 930}, {{14, 5, 59}, 1405}, {{0, 7, 30}, 7}, {{0, 0, 0}, 0}, {{23, 59, 59}, 2359}};
  for (const auto& [t, expected] : cases) {
    SetClock(LocalClock(t[0], t[1], t[2]));
    EXPECT_EQ(GetTime(), expected) << t[0] << ":" << t[1];
  }
}

TEST(CommonHelpers, LPZeroPadsOrCutsToExactlyN) {
  const std::vector<std::tuple<std::string, int16_t, std::string>> cases = {
      {"7", 3, "007"}, {"98765", 3, "765"}, {"1", 2, "01"}, {"123", 2, "23"},
      {"abc", 0, ""},  {"", 4, "0000"},     {"42", 2, "42"}};
  for (const auto& [s, n, expected] : cases) EXPECT_EQ(LPZero(s, n), expected) << s << "," << n;
  const Error e = CaptureError([] { LPZero("7", -1); });
  EXPECT_EQ(e.number(), kComponentError);
  EXPECT_EQ(e.description(), "LPZero FunctionInvalid procedure call or argument");
  // LPZero votes complete on success, and only then.
  TransactionScope scope;
  LPZero("1", 2);
  CaptureError([] { LPZero("1", -2); });
  EXPECT_EQ(scope.completeVotes(), 1);
  EXPECT_FALSE(scope.aborted());
}

TEST(CommonHelpers, Str2SQLDoublesEverySingleQuote) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"O'Neil's", "O''Neil''s"}, {"plain", "plain"}, {"", ""}, {"'", "''"}, {"''", "''''"},
      {"a\"b", "a\"b"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(Str2SQL(input), expected);
  // Values of any type are written as text with their quotes doubled; Null as the empty text.
  EXPECT_EQ(SqlText(Variant("x'y")), "x''y");
  EXPECT_EQ(SqlText(Variant(int16_t{5})), "5");
  EXPECT_EQ(SqlText(Variant::Null()), "");
}

TEST(CommonHelpers, MpHoldsItsSixArgumentsInOrder) {
  const Variant p = mp("@JB_NO", 200, 20, Variant::Null(), 4, 2);
  const Array& a = CArray(p);
  ASSERT_EQ(a.size(), 6u);
  EXPECT_EQ(a[0], Variant("@JB_NO"));
  EXPECT_EQ((std::vector<int32_t>{CLng(a[1]), CLng(a[2]), CLng(a[4]), CLng(a[5])}),
            (std::vector<int32_t>{200, 20, 4, 2}));
  EXPECT_TRUE(a[3].IsNull());
}

TEST(IniReader, MatchesWithoutRegardToCaseAndFallsBackToTheDefault) {
  TestHome home;
  const std::string path = home.WriteFile(
      "App.ini", "; settings\r\n[Database]\r\n  ServerName = db01  \r\nEMPTY=\r\nQuoted=\"a b\"\r\n"
                 "Single='x'\r\nHalf=\"open\r\nLong=" + std::string(300, 'v') + "\r\n[xml]\r\nPath=/s/\r\n");
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"DATABASE", "SERVERNAME", "db01"}, {"database", "servername", "db01"}, {"DATABASE", "EMPTY", ""},
      {"DATABASE", "QUOTED", "a b"},      {"DATABASE", "SINGLE", "x"},       {"DATABASE", "HALF", "\"open"},
      {"DATABASE", "LONG", std::string(254, 'v')},  // cut to 254 characters
      {"XML", "PATH", "/s/"},             {"XML", "SERVERNAME", "dflt"},     // the key is in another section
      {"NOSUCH", "SERVERNAME", "dflt"},   {"DATABASE", "PASSWORD", "dflt"},
  };
  for (const auto& [section, key, expected] : cases)
    EXPECT_EQ(sGetINI(path, section, key, "dflt"), expected) << section << "/" << key;
  EXPECT_EQ(sGetINI(home.folder() + "/missing.ini", "DATABASE", "SERVERNAME", "dflt"), "dflt");
  EXPECT_EQ(ReadIniValue(path, "S", "K", std::string(300, 'd')), std::string(254, 'd'));
  // An editor's UTF-8 byte-order mark does not hide the first section.
  const std::string bom = home.WriteFile("Bom.ini", "\xEF\xBB\xBF[DATABASE]\nSERVERNAME=db02\n");
  EXPECT_EQ(sGetINI(bom, "DATABASE", "SERVERNAME", "dflt"), "db02");
}

TEST(SchemaPaths, FolderIsPrefixedToTheFileNamesAsWritten) {
  TestHome home;
  home.WriteConfig("[XML]\nXMLSCHEMAPATH=/srv/kx/schemas/\n");
  EXPECT_EQ(QLP_Sch_FilePath(), "/srv/kx/schemas/");
  const std::string k = "/srv/kx/schemas/KX_XMLSCHEMA/";
  EXPECT_EQ((std::vector<std::string>{Sch_AccessKey(), Sch_JBTypeProfileAddModify(), Sch_JBOrderAdd(),
                                      Sch_JBOrderModify(), Sch_JBDoorAppointmentAddModify(),
                                      Sch_JBContainerRetrievingTempFileAdd(),
                                      Sch_JBContainerRetrievingTempFileModify()}),
            (std::vector<std::string>{"/srv/kx/schemas/AccessKey_xmlschema/AccessKey.xsd",
                                      k + "JBTypeProfile_Add&Modify.xsd", k + "JBOrder_Add.xsd",
                                      k + "JBOrder_Modify.xsd", k + "JBDoorAppointMent_Add&Modify.xsd",
                                      k + "JBContainerRetrievingTempFile_Add.xsd",
                                      k + "JBContainerRetrievingTempFile_Modify.xsd"}));
  // Without a final separator the folder and the sub-folder run together; without the key the
  // path is relative. The file is read anew on every call.
  home.WriteConfig("[XML]\nXMLSCHEMAPATH=/srv/kx/schemas\n");
  EXPECT_EQ(Sch_JBOrderAdd(), "/srv/kx/schemasKX_XMLSCHEMA/JBOrder_Add.xsd");
  home.WriteConfig("[DATABASE]\nFLAG=0\n");
  EXPECT_EQ(Sch_AccessKey(), "AccessKey_xmlschema/AccessKey.xsd");
}

}  // namespace
}  // namespace kx::test
