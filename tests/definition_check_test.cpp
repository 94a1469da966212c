// One record, one definition: every hand-written copy of a record's columns agrees with the
// record's definition. The copies are each engine's tables and insert procedures
// (database/<engine>/tables.sql and procedures.sql) and the request schemas
// (schemas/KX_XMLSCHEMA/*.xsd). The test reads them as text, no database needed, and fails on any
// difference that kKnownDifferences does not list.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "framework/entity.h"
#include "framework/record.h"
#include "joborder/jb_order.h"
#include "joborderdetail/jb_container_detail.h"
#include "joborderdetail/jb_diary.h"
#include "joborderdetail/jb_door_appointment.h"
#include "retrieving/jb_container_retrieving_temp_detail.h"
#include "retrieving/jb_container_retrieving_temp_file.h"
#include "kx/registry.h"
#include "shared/s_db_help_for_kx.h"
#include "typeprofile/jb_type_profile.h"

namespace kx {
namespace {

// ---------------------------------------------------------------------------------------------
// What is checked

// The reads of a definition that a request makes from the record's element.
enum ReadKind : unsigned {
  kAddReads = 1,          // the controller's add (RecordDef::addReads)
  kModifyReads = 2,       // the controller's modify (RecordDef::modifyReads)
  kNewChildReads = 4,     // a collection element that becomes a new child (createReads)
  kStoredChildReads = 8,  // a collection element paired with a stored child (updateReads)
};

// A request schema of schemas/KX_XMLSCHEMA that carries a record's element, and the reads the
// request makes from that element.
struct SchemaUse {
  const char* file;
  unsigned reads;
};

// A record definition and the request schemas that carry its element. The registry knows the
// record classes but not their definitions, so every definition is named here;
// EveryRecordOfTheLibraryIsListed fails when the library registers a record missing here.
struct RecordEntry {
  const RecordDef& (*def)();
  std::vector<SchemaUse> schemas;
};

const std::vector<RecordEntry>& Records() {
  static const std::vector<RecordEntry> records = {
      {JBTypeProfileDef, {{"JBTypeProfile_Add&Modify.xsd", kAddReads | kModifyReads}}},
      {JBOrderDef, {{"JBOrder_Add.xsd", kAddReads}, {"JBOrder_Modify.xsd", kModifyReads}}},
      // The lines of a new order are all new; a modified order pairs its lines with stored ones.
      {JBContainerDetailDef,
       {{"JBOrder_Add.xsd", kNewChildReads}, {"JBOrder_Modify.xsd", kNewChildReads | kStoredChildReads}}},
      {JBDiaryDef, {}},
      {JBDoorAppointmentDef, {{"JBDoorAppointMent_Add&Modify.xsd", kAddReads | kModifyReads}}},
      {JBContainerRetrievingTempFileDef,
       {{"JBContainerRetrievingTempFile_Add.xsd", kAddReads},
        {"JBContainerRetrievingTempFile_Modify.xsd", kModifyReads}}},
      {JBContainerRetrievingTempDetailDef,
       {{"JBContainerRetrievingTempFile_Add.xsd", kNewChildReads},
        {"JBContainerRetrievingTempFile_Modify.xsd", kNewChildReads | kStoredChildReads}}},
  };
  return records;
}

// The folder of an engine's tables and insert procedures, and how its files write them.
struct EngineFiles {
  const char* folder;
  bool integerForSmallInt;  // whole numbers of 16 bits are stored in INTEGER columns
  // Each procedure is one statement kept in KX_PROCEDURE under its name, its parameters bound by
  // number and listed in the comment before it; otherwise it is a function declaring them.
  bool storedStatements;
};

constexpr EngineFiles kEngines[] = {
    {"database/sqlite", true, true},
    {"database/postgresql", false, false},
};

// The differences between the files and the definitions that are known and not yet settled, as
// Difference::Key() writes them. Any other difference fails the test, and so does an entry here
// that is no longer found (remove it then).
const std::set<std::string> kKnownDifferences = {};

// ---------------------------------------------------------------------------------------------
// Differences

struct Difference {
  std::string file;  // relative to the source folder
  int line = 0;      // 0 when the difference is an absence
  std::string record;
  std::string item;  // "column X", "parameter 3 p_x", "attribute A of E", ...
  std::string what;

  // The difference without its line, which moves with unrelated edits.
  std::string Key() const { return file + ": record " + record + ", " + item + ": " + what; }
  std::string Text() const {
    return file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": record " + record + ", " +
           item + ": " + what;
  }
};

using Differences = std::vector<Difference>;

// ---------------------------------------------------------------------------------------------
// The files

// The text of the checked files by their path relative to the source folder; a file that cannot
// be read is absent.
using Files = std::map<std::string, std::string>;

std::string TablesFile(const EngineFiles& engine) { return std::string(engine.folder) + "/tables.sql"; }
std::string ProceduresFile(const EngineFiles& engine) {
  return std::string(engine.folder) + "/procedures.sql";
}
std::string SchemaFile(const char* name) { return std::string("schemas/KX_XMLSCHEMA/") + name; }

// The source tree, or the folder KX_DEFINITION_CHECK_ROOT names: a copy of the files with the same
// layout to check instead (files under change, or an installation's).
std::string SourceFolder() {
  const char* root = std::getenv("KX_DEFINITION_CHECK_ROOT");
  return root && *root ? root : KX_SOURCE_DIR;
}

Files ReadFiles() {
  std::vector<std::string> paths;
  for (const EngineFiles& engine : kEngines) {
    paths.push_back(TablesFile(engine));
    paths.push_back(ProceduresFile(engine));
  }
  for (const RecordEntry& record : Records())
    for (const SchemaUse& use : record.schemas) paths.push_back(SchemaFile(use.file));
  Files files;
  for (const std::string& path : paths) {
    std::ifstream in(SourceFolder() + "/" + path, std::ios::binary);
    if (!in) continue;
    std::ostringstream text;
    text << in.rdbuf();
    files[path] = text.str();
  }
  return files;
}

// The file's text, or nullptr after noting the file as missing.
const std::string* FileText(const Files& files, const std::string& path, Differences& out) {
  const auto it = files.find(path);
  if (it != files.end()) return &it->second;
  if (std::none_of(out.begin(), out.end(),
                   [&](const Difference& d) { return d.file == path && d.line == 0; }))
    out.push_back({path, 0, "-", "file", "cannot be read"});
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Text helpers

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  return Lower(std::string(a)) == Lower(std::string(b));
}

std::string Trim(const std::string& s) {
  const size_t begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  return s.substr(begin, s.find_last_not_of(" \t\r\n") - begin + 1);
}

int LineAt(const std::string& text, size_t pos) {
  return 1 + static_cast<int>(std::count(text.begin(),
                                         text.begin() + static_cast<long>(std::min(pos, text.size())), '\n'));
}

// `text` with every "--" comment outside quotes blanked; offsets and lines stay as they were.
std::string WithoutComments(const std::string& text) {
  std::string out = text;
  bool quoted = false;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\'') quoted = !quoted;
    if (quoted || out.compare(i, 2, "--") != 0) continue;
    for (; i < out.size() && out[i] != '\n'; ++i) out[i] = ' ';
  }
  return out;
}

// The parenthesis closing the one at `open`, or npos.
size_t Closing(const std::string& text, size_t open) {
  int depth = 0;
  bool quoted = false;
  for (size_t i = open; i < text.size(); ++i) {
    if (text[i] == '\'') quoted = !quoted;
    if (quoted) continue;
    if (text[i] == '(') ++depth;
    if (text[i] == ')' && --depth == 0) return i;
  }
  return std::string::npos;
}

// A trimmed piece of a file's text and the offset where it begins.
struct Piece {
  std::string text;
  size_t pos = 0;
};

// The comma-separated pieces of text[begin, end) that lie outside parentheses and quotes.
std::vector<Piece> SplitList(const std::string& text, size_t begin, size_t end) {
  std::vector<Piece> pieces;
  int depth = 0;
  bool quoted = false;
  size_t start = begin;
  for (size_t i = begin; i <= end; ++i) {
    if (i < end) {
      if (text[i] == '\'') quoted = !quoted;
      if (quoted) continue;
      if (text[i] == '(') ++depth;
      if (text[i] == ')') --depth;
      if (text[i] != ',' || depth > 0) continue;
    }
    const std::string raw = text.substr(start, i - start);
    const std::string piece = Trim(raw);
    if (!piece.empty()) pieces.push_back({piece, start + raw.find(piece.front())});
    start = i + 1;
  }
  return pieces;
}

// ---------------------------------------------------------------------------------------------
// SQL

// A column or parameter type: its lower-case name ("varchar", "double precision"), its width or
// precision and scale, and the upper-case text that follows it.
struct SqlType {
  std::string name;
  std::optional<int> size, scale;
  std::string rest;

  // "(20)", "(9,3)", or empty.
  std::string SizeText() const {
    return size ? "(" + std::to_string(*size) + (scale ? "," + std::to_string(*scale) : "") + ")" : "";
  }
  std::string Text() const { return name + SizeText(); }
};

SqlType ParseType(const std::string& text) {
  static const std::set<std::string> kEnd = {"NOT",     "NULL",       "PRIMARY",      "GENERATED",
                                             "DEFAULT", "REFERENCES", "UNIQUE",       "CHECK",
                                             "COLLATE", "CONSTRAINT", "AUTOINCREMENT"};
  SqlType type;
  size_t i = 0;
  while (true) {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    size_t j = i;
    while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == '_')) ++j;
    if (j == i || kEnd.count(Upper(text.substr(i, j - i)))) break;
    type.name += (type.name.empty() ? "" : " ") + Lower(text.substr(i, j - i));
    i = j;
  }
  if (i < text.size() && text[i] == '(') {
    const size_t close = text.find(')', i);
    std::vector<int> numbers;
    for (const Piece& p : SplitList(text, i + 1, close == std::string::npos ? text.size() : close))
      numbers.push_back(std::atoi(p.text.c_str()));
    if (!numbers.empty()) type.size = numbers[0];
    if (numbers.size() > 1) type.scale = numbers[1];
    i = close == std::string::npos ? text.size() : close + 1;
  }
  type.rest = Upper(text.substr(std::min(i, text.size())));
  return type;
}

struct SqlColumn {
  std::string name;
  int line = 0;
  SqlType type;
  bool primaryKey = false;  // declared PRIMARY KEY itself
  bool identity = false;    // the database assigns its value
};

struct SqlTable {
  std::string name;
  int line = 0;
  std::vector<SqlColumn> columns = {};
  std::vector<std::string> tableKey = {};  // the columns of a PRIMARY KEY (...) constraint
  int tableKeyLine = 0;

  const SqlColumn* Column(std::string_view name) const {
    for (const SqlColumn& c : columns)
      if (SameName(c.name, name)) return &c;
    return nullptr;
  }
  bool IsKey(const SqlColumn& c) const {
    return c.primaryKey || std::any_of(tableKey.begin(), tableKey.end(),
                                       [&](const std::string& k) { return SameName(k, c.name); });
  }
};

// The first word of `text` and what follows it.
std::pair<std::string, std::string> FirstWord(const std::string& text) {
  size_t end = 0;
  while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_'))
    ++end;
  return {text.substr(0, end), text.substr(end)};
}

std::vector<std::string> Names(const std::vector<Piece>& pieces) {
  std::vector<std::string> names;
  for (const Piece& p : pieces) names.push_back(p.text);
  return names;
}

// A statement that names something and lists its parts in parentheses: CREATE TABLE T (...),
// CREATE FUNCTION F (...).
struct SqlList {
  std::string name;
  int line = 0;
  std::vector<Piece> items;
  size_t close = 0;  // the offset of the closing parenthesis
};

// Every match of `pattern` in `text`, whose first group is the name and which ends with the
// opening parenthesis of the list.
std::vector<SqlList> ParseLists(const std::string& text, const std::regex& pattern) {
  std::vector<SqlList> lists;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator();
       ++it) {
    const size_t open = static_cast<size_t>(it->position(0) + it->length(0) - 1);
    const size_t close = Closing(text, open);
    if (close == std::string::npos) continue;
    lists.push_back({(*it)[1].str(), LineAt(text, static_cast<size_t>(it->position(0))),
                     SplitList(text, open + 1, close), close});
  }
  return lists;
}

// The CREATE TABLE statements of a file.
std::vector<SqlTable> ParseTables(const std::string& file) {
  static const std::regex kCreate(R"(\bCREATE\s+TABLE\s+(?:IF\s+NOT\s+EXISTS\s+)?(\w+)\s*\()",
                                  std::regex::icase);
  static const std::regex kTableKey(R"(^(?:CONSTRAINT\s+\w+\s+)?PRIMARY\s+KEY\s*\(([^)]*)\))",
                                    std::regex::icase);
  static const std::regex kOtherConstraint(R"(^(?:CONSTRAINT|UNIQUE|FOREIGN|CHECK)\b)", std::regex::icase);
  static const std::regex kPrimaryKey(R"(\bPRIMARY\s+KEY\b)");
  static const std::regex kIdentity(R"(\bAUTOINCREMENT\b|\bGENERATED\b.*\bAS\s+IDENTITY\b)");
  const std::string text = WithoutComments(file);
  std::vector<SqlTable> tables;
  for (const SqlList& list : ParseLists(text, kCreate)) {
    SqlTable table{.name = list.name, .line = list.line};
    for (const Piece& item : list.items) {
      std::smatch m;
      if (std::regex_search(item.text, m, kTableKey)) {
        const std::string keys = m[1].str();
        table.tableKey = Names(SplitList(keys, 0, keys.size()));
        table.tableKeyLine = LineAt(text, item.pos);
        continue;
      }
      if (std::regex_search(item.text, kOtherConstraint)) continue;
      const auto [name, rest] = FirstWord(item.text);
      SqlColumn column{name, LineAt(text, item.pos), ParseType(rest)};
      column.primaryKey = std::regex_search(column.type.rest, kPrimaryKey);
      column.identity = std::regex_search(column.type.rest, kIdentity) ||
                        column.type.name.find("serial") != std::string::npos;
      table.columns.push_back(column);
    }
    tables.push_back(table);
  }
  return tables;
}

const SqlTable* FindTable(const std::vector<SqlTable>& tables, std::string_view name) {
  for (const SqlTable& t : tables)
    if (SameName(t.name, name)) return &t;
  return nullptr;
}

// The INSERT a procedure runs.
struct SqlInsert {
  bool found = false;
  int line = 0;
  std::string table;
  std::vector<Piece> columns, values;
  std::string returning;
};

// The first INSERT INTO T (...) VALUES (...) [RETURNING K] of text[begin, end).
SqlInsert ParseInsert(const std::string& text, size_t begin, size_t end) {
  static const std::regex kInsert(R"(\bINSERT\s+INTO\s+(\w+)\s*\()", std::regex::icase);
  static const std::regex kValues(R"(^\s*VALUES\s*\()", std::regex::icase);
  static const std::regex kReturning(R"(^\s*RETURNING\s+(\w+))", std::regex::icase);
  SqlInsert insert;
  const std::string part = text.substr(begin, end - begin);
  std::smatch m;
  if (!std::regex_search(part, m, kInsert)) return insert;
  insert.line = LineAt(text, begin + static_cast<size_t>(m.position(0)));
  insert.table = m[1].str();
  const size_t columnsOpen = begin + static_cast<size_t>(m.position(0) + m.length(0) - 1);
  const size_t columnsClose = Closing(text, columnsOpen);
  if (columnsClose == std::string::npos || columnsClose >= end) return insert;
  insert.columns = SplitList(text, columnsOpen + 1, columnsClose);
  const std::string afterColumns = text.substr(columnsClose + 1, end - columnsClose - 1);
  if (!std::regex_search(afterColumns, m, kValues)) return insert;
  const size_t valuesOpen = columnsClose + 1 + static_cast<size_t>(m.length(0) - 1);
  const size_t valuesClose = Closing(text, valuesOpen);
  if (valuesClose == std::string::npos || valuesClose >= end) return insert;
  insert.values = SplitList(text, valuesOpen + 1, valuesClose);
  insert.found = true;
  const std::string afterValues = text.substr(valuesClose + 1, end - valuesClose - 1);
  if (std::regex_search(afterValues, m, kReturning)) insert.returning = m[1].str();
  return insert;
}

struct SqlParam {
  std::string name;
  int line = 0;
  SqlType type;
};

// An insert procedure: a PostgreSQL function, or a statement SQLite keeps under the procedure's
// name in KX_PROCEDURE.
struct SqlProcedure {
  std::string name;
  int line = 0;
  std::vector<SqlParam> params = {};  // declared parameters (PostgreSQL)
  SqlInsert insert = {};
  // The parameter types named where earlier versions of the function are removed (PostgreSQL).
  std::optional<std::vector<std::string>> signature = {};
  int signatureLine = 0;
  // The parameters the comment before the statement lists as "?N NAME" (SQLite).
  struct Documented {
    std::string number, name;  // "?1", "JB_NO"
    int line = 0;
  };
  std::vector<Documented> documented = {};
};

std::vector<SqlProcedure> ParseFunctions(const std::string& file) {
  static const std::regex kFunction(R"(\bCREATE\s+(?:OR\s+REPLACE\s+)?FUNCTION\s+(\w+)\s*\()",
                                    std::regex::icase);
  static const std::regex kSignature(R"('(\w+)\(([^)]*)\)'\s*::\s*regprocedure)", std::regex::icase);
  const std::string text = WithoutComments(file);
  std::vector<SqlProcedure> procedures;
  for (const SqlList& list : ParseLists(text, kFunction)) {
    SqlProcedure procedure{.name = list.name, .line = list.line};
    for (const Piece& p : list.items) {
      const auto [name, rest] = FirstWord(p.text);
      procedure.params.push_back({name, LineAt(text, p.pos), ParseType(rest)});
    }
    const size_t bodyBegin = text.find("$$", list.close);
    const size_t bodyEnd =
        bodyBegin == std::string::npos ? std::string::npos : text.find("$$", bodyBegin + 2);
    if (bodyEnd != std::string::npos) procedure.insert = ParseInsert(text, bodyBegin + 2, bodyEnd);
    procedures.push_back(procedure);
  }
  for (auto it = std::sregex_iterator(text.begin(), text.end(), kSignature); it != std::sregex_iterator();
       ++it)
    for (SqlProcedure& procedure : procedures)
      if (SameName(procedure.name, (*it)[1].str())) {
        const std::string types = (*it)[2].str();
        procedure.signature = std::vector<std::string>();
        for (const Piece& p : SplitList(types, 0, types.size()))
          procedure.signature->push_back(Lower(p.text));
        procedure.signatureLine = LineAt(text, static_cast<size_t>(it->position(0)));
      }
  return procedures;
}

std::vector<SqlProcedure> ParseStoredStatements(const std::string& file) {
  static const std::regex kRow(
      R"(\bINSERT\s+OR\s+REPLACE\s+INTO\s+KX_PROCEDURE\s*\([^)]*\)\s*VALUES\s*\(\s*'(\w+)'\s*,\s*')",
      std::regex::icase);
  static const std::regex kDocumented(R"(^--\s*\?(\d+)\s+(\w+)\s*$)");
  const std::string text = WithoutComments(file);
  std::vector<SqlProcedure> procedures;
  size_t previousEnd = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), kRow); it != std::sregex_iterator(); ++it) {
    const size_t rowBegin = static_cast<size_t>(it->position(0));
    const size_t sqlBegin = rowBegin + static_cast<size_t>(it->length(0));
    size_t sqlEnd = sqlBegin;
    while (sqlEnd < text.size() && (text[sqlEnd] != '\'' || text.compare(sqlEnd, 2, "''") == 0))
      sqlEnd += text.compare(sqlEnd, 2, "''") == 0 ? 2 : 1;
    SqlProcedure procedure{.name = (*it)[1].str(), .line = LineAt(text, rowBegin)};
    procedure.insert = ParseInsert(text, sqlBegin, sqlEnd);
    // The comment lines between the previous row and this one, read from the file as written.
    std::istringstream comment(file.substr(previousEnd, rowBegin - previousEnd));
    int line = LineAt(text, previousEnd);
    for (std::string l; std::getline(comment, l); ++line) {
      std::smatch m;
      const std::string trimmed = Trim(l);
      if (std::regex_search(trimmed, m, kDocumented))
        procedure.documented.push_back({"?" + m[1].str(), m[2].str(), line});
    }
    procedures.push_back(procedure);
    previousEnd = sqlEnd;
  }
  return procedures;
}

std::vector<SqlProcedure> ParseProcedures(const EngineFiles& engine, const std::string& file) {
  return engine.storedStatements ? ParseStoredStatements(file) : ParseFunctions(file);
}

// ---------------------------------------------------------------------------------------------
// Types and widths

// The name of a field type, as FieldType spells it.
std::string FieldTypeName(FieldType type) {
  constexpr const char* kNames[] = {"Text", "Int16", "Int32", "Double", "Date", "Bool"};
  return kNames[static_cast<size_t>(type)];
}

const std::set<std::string> kTextTypes = {"varchar", "character varying", "char", "character",
                                          "text",    "nvarchar",          "nchar"};
const std::set<std::string> kNumericTypes = {"numeric", "decimal"};

bool IsTextType(const std::string& name) { return kTextTypes.count(name) > 0; }

// Whether a column of type `name` holds a field of type `type`.
bool ColumnFits(FieldType type, const std::string& name, const EngineFiles& engine) {
  static const std::set<std::string> kInt16 = {"smallint", "int2"};
  static const std::set<std::string> kInt32 = {"integer", "int", "int4", "serial"};
  static const std::set<std::string> kDouble = {"numeric",          "decimal", "real",
                                                "double precision", "float",   "float8"};
  static const std::set<std::string> kDate = {"timestamp", "timestamp without time zone", "datetime", "date"};
  static const std::set<std::string> kBool = {"boolean", "bool", "bit", "smallint", "integer"};
  switch (type) {
    case FieldType::Text:
      return IsTextType(name);
    case FieldType::Int16:
      return kInt16.count(name) || (engine.integerForSmallInt && kInt32.count(name));
    case FieldType::Int32:
      return kInt32.count(name) > 0;
    case FieldType::Double:
      return kDouble.count(name) > 0;
    case FieldType::Date:
      return kDate.count(name) > 0;
    case FieldType::Bool:
      return kBool.count(name) || IsTextType(name);
  }
  return false;
}

bool IsTextParam(int32_t type) {
  return type == adChar || type == adVarChar || type == adWChar || type == adVarWChar ||
         type == adLongVarChar || type == adLongVarWChar || type == adBSTR;
}

bool IsNumericParam(int32_t type) { return type == adNumeric || type == adDecimal; }

// Whether a parameter declared as `name` takes a value of ADO type `type`.
bool ParamFits(int32_t type, const std::string& name) {
  if (IsTextParam(type)) return IsTextType(name);
  if (IsNumericParam(type)) return kNumericTypes.count(name) > 0;
  static const std::map<int32_t, std::set<std::string>> kTypes = {
      {adTinyInt, {"smallint", "int2"}},
      {adSmallInt, {"smallint", "int2"}},
      {adInteger, {"integer", "int", "int4"}},
      {adBigInt, {"bigint", "int8"}},
      {adSingle, {"real", "float4"}},
      {adDouble, {"double precision", "float8", "float"}},
      {adDate, {"timestamp", "timestamp without time zone", "datetime"}},
      {adDBTimeStamp, {"timestamp", "timestamp without time zone", "datetime"}},
      {adDBDate, {"date"}},
      {adBoolean, {"boolean", "bool", "bit"}},
  };
  const auto it = kTypes.find(type);
  return it != kTypes.end() && it->second.count(name) > 0;
}

// A width (text) or precision and scale (numbers) and where it is stated.
struct Width {
  std::optional<int> size, scale;
  std::string source;

  std::string Text() const { return std::to_string(*size) + (scale ? "," + std::to_string(*scale) : ""); }
  bool Matches(const SqlType& type) const { return type.size == size && (!scale || type.scale == scale); }
};

// The width the definition gives a field, through its insert procedure parameter.
Width DefinitionWidth(const FieldSpec& field) {
  Width w{{}, {}, "the definition"};
  if (field.param.empty()) return w;
  if (field.type == FieldType::Text && IsTextParam(field.paramType) && field.paramSize > 0)
    w.size = field.paramSize;
  if (field.type == FieldType::Double && IsNumericParam(field.paramType) && field.paramPrecision > 0)
    w.size = field.paramPrecision, w.scale = field.paramScale;
  return w;
}

// The first engine's tables, whose widths stand where a definition gives none.
std::vector<SqlTable> ReferenceTables(const Files& files) {
  const auto file = files.find(TablesFile(kEngines[0]));
  return file == files.end() ? std::vector<SqlTable>() : ParseTables(file->second);
}

// The width every copy of field `i` must have: the definition's, or where the definition has none,
// the width of the first engine's table, to which the other copies must then agree.
Width ReferenceWidth(const RecordDef& def, size_t i, const std::vector<SqlTable>& reference) {
  Width w = DefinitionWidth(def.fields[i]);
  if (w.size || def.fields[i].column.empty()) return w;
  const SqlTable* table = FindTable(reference, def.table);
  const SqlColumn* column = table ? table->Column(def.fields[i].column) : nullptr;
  if (!column || !column->type.size) return w;
  if (def.fields[i].type == FieldType::Text && IsTextType(column->type.name)) w.size = column->type.size;
  if (def.fields[i].type == FieldType::Double && kNumericTypes.count(column->type.name))
    w.size = column->type.size, w.scale = column->type.scale;
  if (w.size) w.source = TablesFile(kEngines[0]);
  return w;
}

// ---------------------------------------------------------------------------------------------
// 1. Tables

void CheckTable(const RecordDef& def, const EngineFiles& engine, const Files& files,
                const std::vector<SqlTable>& reference, Differences& out) {
  const std::string path = TablesFile(engine);
  const std::string* text = FileText(files, path, out);
  if (!text) return;
  const auto tables = ParseTables(*text);
  const SqlTable* table = FindTable(tables, def.table);
  if (!table) {
    out.push_back({path, 0, def.table, "table", "is not created"});
    return;
  }
  auto add = [&](int line, const std::string& column, const std::string& what) {
    out.push_back({path, line, def.table, "column " + column, what});
  };
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldSpec& field = def.fields[i];
    if (field.column.empty()) continue;
    const std::string name(field.column);
    const SqlColumn* column = table->Column(name);
    if (!column) {
      add(table->line, name, "is missing (field " + std::string(field.property) + ")");
      continue;
    }
    if (!ColumnFits(field.type, column->type.name, engine))
      add(column->line, name,
          "has type " + column->type.name + ", where the field is " + FieldTypeName(field.type));
    const Width width = ReferenceWidth(def, i, reference);
    if (width.size && width.source != path && !width.Matches(column->type))
      add(column->line, name,
          (column->type.size ? "has width " + column->type.SizeText() : std::string("has no width")) +
              ", where " + width.source + " has (" + width.Text() + ")");
    const bool key = i == def.key;
    if (key && !table->IsKey(*column)) add(column->line, name, "is not the primary key");
    if (!key && table->IsKey(*column))
      add(column->line, name,
          "is in the primary key, where the key is " + std::string(def.fields[def.key].column));
    if (key && table->tableKey.size() > 1)
      add(table->tableKeyLine, name, "shares the primary key with other columns");
    if (key && def.identity && !column->identity) add(column->line, name, "is not assigned by the database");
    if (column->identity && !(key && def.identity))
      add(column->line, name, "is assigned by the database, where the definition gives its value");
  }
  for (const SqlColumn& column : table->columns)
    if (std::none_of(def.fields.begin(), def.fields.end(),
                     [&](const FieldSpec& f) { return SameName(f.column, column.name); }))
      add(column.line, column.name, "is not in the definition");
}

Differences TableDifferences(const Files& files) {
  Differences out;
  const auto reference = ReferenceTables(files);
  for (const RecordEntry& record : Records())
    for (const EngineFiles& engine : kEngines) CheckTable(record.def(), engine, files, reference, out);
  return out;
}

// ---------------------------------------------------------------------------------------------
// 2. Insert procedures

// A parameter name without its "@" or "p_" prefix.
std::string BareName(std::string name) {
  name = Lower(name);
  if (name.rfind('@', 0) == 0) name.erase(0, 1);
  if (name.rfind("p_", 0) == 0) name.erase(0, 2);
  return name;
}

std::string ParamText(size_t i, const std::string& name) {
  return "parameter " + std::to_string(i + 1) + " " + name;
}

// The declared parameters of a PostgreSQL function against the definition's.
void CheckDeclaredParams(const RecordDef& def, const std::vector<size_t>& params,
                         const SqlProcedure& procedure, const std::string& path, Differences& out) {
  for (size_t i = 0; i < std::max(params.size(), procedure.params.size()); ++i) {
    if (i >= procedure.params.size()) {
      const std::string name(def.fields[params[i]].param);
      out.push_back({path, procedure.line, def.table, ParamText(i, name), "is not declared"});
      continue;
    }
    const SqlParam& declared = procedure.params[i];
    const std::string item = ParamText(i, declared.name);
    if (i >= params.size()) {
      out.push_back({path, declared.line, def.table, item, "is not in the definition"});
      continue;
    }
    const FieldSpec& field = def.fields[params[i]];
    if (BareName(declared.name) != BareName(std::string(field.param))) {
      out.push_back({path, declared.line, def.table, item,
                     "stands where the definition has " + std::string(field.param)});
      continue;
    }
    if (!ParamFits(field.paramType, declared.type.name))
      out.push_back({path, declared.line, def.table, item,
                     "has type " + declared.type.name + ", where the definition's ADO type is " +
                         std::to_string(field.paramType)});
    Width width{{}, {}, "the definition"};
    if (IsTextParam(field.paramType) && field.paramSize > 0) width.size = field.paramSize;
    if (IsNumericParam(field.paramType) && field.paramPrecision > 0)
      width.size = field.paramPrecision, width.scale = field.paramScale;
    if (width.size && !width.Matches(declared.type))
      out.push_back({path, declared.line, def.table, item,
                     "is " + declared.type.Text() + ", where the definition has (" + width.Text() + ")"});
    if (procedure.signature && i < procedure.signature->size() &&
        (*procedure.signature)[i] != declared.type.name)
      out.push_back({path, procedure.signatureLine, def.table, item,
                     "is " + declared.type.name + ", where the signature of the clean-up has " +
                         (*procedure.signature)[i]});
  }
  if (procedure.signature && procedure.signature->size() != procedure.params.size())
    out.push_back({path, procedure.signatureLine, def.table, "procedure " + procedure.name,
                   "the signature of the clean-up has " + std::to_string(procedure.signature->size()) +
                       " parameters, the function " + std::to_string(procedure.params.size())});
}

// The parameters the comment of a SQLite procedure lists against the definition's.
void CheckDocumentedParams(const RecordDef& def, const std::vector<size_t>& params,
                           const SqlProcedure& procedure, const std::string& path, Differences& out) {
  for (size_t i = 0; i < std::max(params.size(), procedure.documented.size()); ++i) {
    const std::string expected = i < params.size() ? std::string(def.fields[params[i]].param) : "";
    if (i >= procedure.documented.size()) {
      out.push_back(
          {path, procedure.line, def.table, ParamText(i, expected), "is not listed in the comment"});
      continue;
    }
    const SqlProcedure::Documented& listed = procedure.documented[i];
    if (listed.number != "?" + std::to_string(i + 1) || BareName(listed.name) != BareName(expected))
      out.push_back(
          {path, listed.line, def.table, ParamText(i, listed.number + " " + listed.name),
           expected.empty() ? "is not in the definition" : "stands where the definition has " + expected});
  }
}

void CheckProcedure(const RecordDef& def, const EngineFiles& engine, const Files& files, Differences& out) {
  const std::string path = ProceduresFile(engine);
  const std::string* text = FileText(files, path, out);
  if (!text) return;
  const auto procedures = ParseProcedures(engine, *text);
  if (def.insertProcedure.empty()) {
    for (const SqlProcedure& p : procedures)
      if (SameName(p.insert.table, def.table))
        out.push_back({path, p.line, def.table, "procedure " + p.name,
                       "inserts into the table, where the definition inserts with a statement"});
    return;
  }
  const auto found = std::find_if(procedures.begin(), procedures.end(), [&](const SqlProcedure& p) {
    return SameName(p.name, def.insertProcedure);
  });
  if (found == procedures.end()) {
    out.push_back({path, 0, def.table, "procedure " + def.insertProcedure, "is not defined"});
    return;
  }
  const SqlProcedure& procedure = *found;
  std::vector<size_t> params;
  for (size_t i = 0; i < def.fields.size(); ++i)
    if (!def.fields[i].param.empty()) params.push_back(i);

  // The parameters are declared (PostgreSQL), or listed in the comment and bound by number (SQLite).
  if (engine.storedStatements)
    CheckDocumentedParams(def, params, procedure, path, out);
  else
    CheckDeclaredParams(def, params, procedure, path, out);

  const SqlInsert& insert = procedure.insert;
  const std::string item = "procedure " + procedure.name;
  if (!insert.found) {
    out.push_back({path, procedure.line, def.table, item, "holds no INSERT INTO ... VALUES (...)"});
    return;
  }
  if (!SameName(insert.table, def.table))
    out.push_back({path, insert.line, def.table, item, "inserts into " + insert.table});
  const std::string keyColumn(def.fields[def.key].column);
  if (!SameName(insert.returning, keyColumn))
    out.push_back({path, insert.line, def.table, item,
                   "returns " + (insert.returning.empty() ? std::string("nothing") : insert.returning) +
                       ", where the key is " + keyColumn});
  // The i-th inserted value is the definition's i-th parameter (?i on SQLite, by name on
  // PostgreSQL), put into that parameter's column.
  for (size_t i = 0; i < std::max({params.size(), insert.columns.size(), insert.values.size()}); ++i) {
    const std::string got = i < insert.columns.size() ? insert.columns[i].text : "(none)";
    const std::string value = i < insert.values.size() ? insert.values[i].text : "(none)";
    const size_t pos = i < insert.columns.size()  ? insert.columns[i].pos
                       : i < insert.values.size() ? insert.values[i].pos
                                                  : 0;
    const int line = pos ? LineAt(*text, pos) : insert.line;
    const std::string where = "inserted value " + std::to_string(i + 1);
    if (i >= params.size()) {
      out.push_back(
          {path, line, def.table, where, "puts " + value + " into " + got + ", beyond the definition"});
      continue;
    }
    const FieldSpec& field = def.fields[params[i]];
    const std::string number = "?" + std::to_string(i + 1);
    const bool rightValue =
        engine.storedStatements ? value == number : BareName(value) == BareName(std::string(field.param));
    if (!SameName(got, field.column) || !rightValue)
      out.push_back({path, line, def.table, where,
                     "puts " + value + " into " + got + ", where the definition puts " +
                         std::string(field.param) +
                         (engine.storedStatements ? " (" + number + ")" : std::string()) + " into " +
                         std::string(field.column)});
  }
}

Differences ProcedureDifferences(const Files& files) {
  Differences out;
  for (const RecordEntry& record : Records())
    for (const EngineFiles& engine : kEngines) CheckProcedure(record.def(), engine, files, out);
  return out;
}

// ---------------------------------------------------------------------------------------------
// 3. Request schemas

struct XsdAttribute {
  std::string name, type;
  std::optional<int> maxLength;
  int line = 0;
};

// An element or a named complex type, and the attributes it declares.
struct XsdOwner {
  bool element = false;
  std::string name, type;
  int line = 0;
  std::vector<XsdAttribute> attributes;
};

struct Xsd {
  std::vector<XsdOwner> owners;

  // The declarations of element `name`: its own attributes, or those of the complex type it names.
  std::vector<const XsdOwner*> Declarations(const std::string& name) const {
    std::vector<const XsdOwner*> found;
    for (const XsdOwner& owner : owners) {
      if (!owner.element || owner.name != name) continue;
      const XsdOwner* declared = &owner;
      for (const XsdOwner& type : owners)
        if (!type.element && !owner.type.empty() && type.name == owner.type) declared = &type;
      if (std::find(found.begin(), found.end(), declared) == found.end()) found.push_back(declared);
    }
    return found;
  }
};

std::string LocalName(const std::string& name) {
  const size_t colon = name.find(':');
  return colon == std::string::npos ? name : name.substr(colon + 1);
}

// The elements, named complex types and their attributes of a schema, with each attribute's
// maxLength, its own or its named simple type's.
Xsd ParseXsd(const std::string& text) {
  static const std::regex kAttribute(R"re(([\w:.-]+)\s*=\s*(?:"([^"]*)"|'([^']*)'))re");
  struct Open {
    int owner = -1, attribute = -1;
    std::string simpleType;
  };
  Xsd xsd;
  std::map<std::string, int> typeMaxLength;
  std::vector<Open> open;
  size_t pos = 0;
  while ((pos = text.find('<', pos)) != std::string::npos) {
    if (text.compare(pos, 4, "<!--") == 0 || text.compare(pos, 2, "<?") == 0) {
      const char* end = text.compare(pos, 4, "<!--") == 0 ? "-->" : "?>";
      pos = text.find(end, pos);
      if (pos == std::string::npos) break;
      continue;
    }
    size_t end = pos + 1;
    for (char quote = 0; end < text.size() && (quote || text[end] != '>'); ++end)
      if (text[end] == '"' || text[end] == '\'') quote = quote == text[end] ? 0 : quote ? quote : text[end];
    std::string tag = text.substr(pos + 1, end - pos - 1);
    const int line = LineAt(text, pos);
    pos = end;
    if (!tag.empty() && tag[0] == '/') {
      if (!open.empty()) open.pop_back();
      continue;
    }
    const bool empty = !tag.empty() && tag.back() == '/';
    if (empty) tag.pop_back();
    const std::string kind = LocalName(tag.substr(0, tag.find_first_of(" \t\r\n")));
    std::map<std::string, std::string> attrs;
    for (auto it = std::sregex_iterator(tag.begin(), tag.end(), kAttribute); it != std::sregex_iterator();
         ++it)
      attrs[(*it)[1].str()] = (*it)[2].matched ? (*it)[2].str() : (*it)[3].str();
    Open here = open.empty() ? Open() : open.back();
    const bool named = attrs.count("name") > 0;
    if ((kind == "element" || kind == "complexType") && named) {
      xsd.owners.push_back({kind == "element", attrs["name"], LocalName(attrs["type"]), line, {}});
      here.owner = static_cast<int>(xsd.owners.size()) - 1;
      here.attribute = -1;
    } else if (kind == "attribute" && named && here.owner >= 0) {
      auto& attributes = xsd.owners[static_cast<size_t>(here.owner)].attributes;
      attributes.push_back({attrs["name"], LocalName(attrs["type"]), {}, line});
      here.attribute = static_cast<int>(attributes.size()) - 1;
    } else if (kind == "simpleType" && named) {
      here.simpleType = attrs["name"];
      here.attribute = -1;
    } else if (kind == "maxLength") {
      const int value = std::atoi(attrs["value"].c_str());
      if (here.attribute >= 0)
        xsd.owners[static_cast<size_t>(here.owner)]
            .attributes[static_cast<size_t>(here.attribute)]
            .maxLength = value;
      else if (!here.simpleType.empty())
        typeMaxLength[here.simpleType] = value;
    }
    if (!empty) open.push_back(here);
  }
  for (XsdOwner& owner : xsd.owners)
    for (XsdAttribute& attribute : owner.attributes)
      if (!attribute.maxLength && typeMaxLength.count(attribute.type))
        attribute.maxLength = typeMaxLength[attribute.type];
  return xsd;
}

// The fields the request reads from the record's element, each with the requests that read it.
std::map<size_t, std::string> ReadFields(const RecordDef& def, unsigned reads) {
  struct Kind {
    ReadKind kind;
    const std::vector<FieldRead>& list;
    const char* by;
  };
  const Kind kinds[] = {
      {kAddReads, def.addReads, "add"},
      {kModifyReads, def.modifyReads, "modify"},
      {kNewChildReads, def.collection.createReads, "a new element"},
      {kStoredChildReads, def.collection.updateReads, "a stored element"},
  };
  std::map<size_t, std::string> fields;
  for (const Kind& k : kinds) {
    if (!(reads & k.kind)) continue;
    for (const FieldRead& r : k.list) {
      std::string& by = fields[r.field];
      if (by.find(k.by) == std::string::npos) by += (by.empty() ? "" : ", ") + std::string(k.by);
    }
  }
  return fields;
}

void CheckSchema(const RecordDef& def, const SchemaUse& use, const Files& files,
                 const std::vector<SqlTable>& reference, Differences& out) {
  const std::string path = SchemaFile(use.file);
  const std::string* text = FileText(files, path, out);
  if (!text) return;
  const std::string element = def.item.empty() ? def.collection.item : def.item;
  const Xsd xsd = ParseXsd(*text);
  const auto declarations = xsd.Declarations(element);
  if (declarations.empty()) {
    out.push_back({path, 0, def.table, "element " + element, "is not declared"});
    return;
  }
  const auto reads = ReadFields(def, use.reads);
  for (const XsdOwner* owner : declarations) {
    auto item = [&](std::string_view attribute) {
      return "attribute " + std::string(attribute) + " of " + element;
    };
    for (size_t i = 0; i < def.fields.size(); ++i) {
      const bool written = std::find(def.attributes.begin(), def.attributes.end(), i) != def.attributes.end();
      const auto read = reads.find(i);
      if (!written && read == reads.end()) continue;
      const std::string_view name = def.AttributeName(i);
      if (std::any_of(owner->attributes.begin(), owner->attributes.end(),
                      [&](const XsdAttribute& a) { return a.name == name; }))
        continue;
      std::string why = read != reads.end() ? "is read by " + read->second : "";
      if (written) why += (why.empty() ? "is" : " and") + std::string(" written in answers");
      out.push_back({path, owner->line, def.table, item(name), why + ", but not declared"});
    }
    for (const XsdAttribute& attribute : owner->attributes) {
      int field = -1;
      for (size_t i = 0; i < def.fields.size(); ++i)
        if (def.AttributeName(i) == attribute.name) field = static_cast<int>(i);
      if (field < 0) {
        out.push_back(
            {path, attribute.line, def.table, item(attribute.name), "is no attribute of the definition"});
        continue;
      }
      if (def.fields[static_cast<size_t>(field)].type != FieldType::Text) continue;
      const Width width = ReferenceWidth(def, static_cast<size_t>(field), reference);
      if (!width.size || attribute.maxLength == width.size) continue;
      out.push_back({path, attribute.line, def.table, item(attribute.name),
                     (attribute.maxLength ? "has maxLength " + std::to_string(*attribute.maxLength)
                                          : std::string("has no maxLength")) +
                         ", where " + width.source + " has (" + width.Text() + ")"});
    }
  }
}

Differences SchemaDifferences(const Files& files) {
  Differences out;
  const auto reference = ReferenceTables(files);
  for (const RecordEntry& record : Records())
    for (const SchemaUse& use : record.schemas) CheckSchema(record.def(), use, files, reference, out);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Running the checks

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Fails on every difference that is not known, and on every known difference of the check's
// files (those whose path ends with `files`) that is no longer found.
void ExpectOnlyKnown(const Differences& found, const std::string& files) {
  std::set<std::string> seen;
  for (const Difference& d : found) {
    seen.insert(d.Key());
    if (!kKnownDifferences.count(d.Key())) ADD_FAILURE() << d.Text();
  }
  for (const std::string& known : kKnownDifferences) {
    const std::string file = known.substr(0, known.find(": "));
    if (EndsWith(file, files) && !seen.count(known))
      ADD_FAILURE() << "no longer found, remove it from kKnownDifferences: " << known;
  }
}

// The program or library file that holds `address`.
std::string ObjectFileOf(const void* address) {
  Dl_info info{};
  return dladdr(address, &info) && info.dli_fname ? info.dli_fname : "";
}

TEST(DefinitionCheck, EveryRecordOfTheLibraryIsListed) {
  std::set<const RecordDef*> listed;
  for (const RecordEntry& record : Records()) {
    const RecordDef& def = record.def();
    listed.insert(&def);
    // The record's classes are registered under the names its definition gives.
    for (const std::string& name :
         {def.entityClass, def.storageClass, def.controllerClass, def.collection.className}) {
      if (!name.empty()) {
        EXPECT_NO_THROW(Registry::Instance().Class(name)) << name;
      }
    }
  }
  // Every registered entity of a record the library defines; records a test program defines for
  // itself are not the library's.
  const std::string library = ObjectFileOf(&JBOrderDef());
  ASSERT_FALSE(library.empty());
  size_t found = 0;
  for (const std::string& name : Registry::Instance().ClassNames()) {
    if (Lower(name).rfind("e_", 0) != 0) continue;
    const auto entity = std::dynamic_pointer_cast<Entity>(Registry::Instance().Create(name));
    if (!entity || ObjectFileOf(&entity->def()) != library) continue;
    ++found;
    EXPECT_TRUE(listed.count(&entity->def()))
        << "the record of " << name << " (table " << entity->def().table << ") is not in Records()";
  }
  EXPECT_EQ(found, Records().size());
}

TEST(DefinitionCheck, TablesHaveTheDefinitionsColumns) {
  ExpectOnlyKnown(TableDifferences(ReadFiles()), "tables.sql");
}

TEST(DefinitionCheck, InsertProceduresTakeTheDefinitionsParameters) {
  ExpectOnlyKnown(ProcedureDifferences(ReadFiles()), "procedures.sql");
}

TEST(DefinitionCheck, RequestSchemasDeclareTheDefinitionsAttributes) {
  ExpectOnlyKnown(SchemaDifferences(ReadFiles()), ".xsd");
}

// ---------------------------------------------------------------------------------------------
// The checks find a change made to a copy

// `files` with the first match of `pattern` in `path` replaced by `replacement`.
Files Changed(Files files, const std::string& path, const std::string& pattern,
              const std::string& replacement) {
  std::string& text = files[path];
  const std::regex re(pattern);
  EXPECT_TRUE(std::regex_search(text, re)) << path << " no longer holds " << pattern;
  text = std::regex_replace(text, re, replacement, std::regex_constants::format_first_only);
  return files;
}

// The differences `check` finds in `changed` and not in the files as they are.
Differences NewDifferences(const std::function<Differences(const Files&)>& check, const Files& changed) {
  std::set<std::string> before;
  for (const Difference& d : check(ReadFiles())) before.insert(d.Key());
  Differences added;
  for (const Difference& d : check(changed))
    if (!before.count(d.Key())) added.push_back(d);
  return added;
}

std::string Listed(const Differences& differences) {
  std::string s;
  for (const Difference& d : differences) s += "\n  " + d.Text();
  return s;
}

TEST(DefinitionCheck, FindsAChangedColumnWidth) {
  const std::string path = TablesFile(kEngines[1]);
  const auto found = NewDifferences(TableDifferences,
                                    Changed(ReadFiles(), path, R"((VENDOR_NAME\s+varchar)\(50\))", "$1(40)"));
  ASSERT_EQ(found.size(), 1u) << Listed(found);
  EXPECT_EQ(found[0].file, path);
  EXPECT_EQ(found[0].record, "JB_ORDER");
  EXPECT_EQ(found[0].item, "column VENDOR_NAME");
  EXPECT_EQ(found[0].what, "has width (40), where the definition has (50)");
  EXPECT_GT(found[0].line, 0);
}

TEST(DefinitionCheck, FindsAWidthThatDiffersBetweenCopies) {
  // JB_DOOR_APPOINTMENT has no widths in its definition: the first engine's table sets them.
  const std::string path = TablesFile(kEngines[0]);
  const Files changed = Changed(ReadFiles(), path, R"((CUSTOMER_NAME\s+VARCHAR)\(100\))", "$1(90)");
  const auto tables = NewDifferences(TableDifferences, changed);
  ASSERT_EQ(tables.size(), 1u) << Listed(tables);
  EXPECT_EQ(tables[0].file, TablesFile(kEngines[1]));
  EXPECT_EQ(tables[0].item, "column CUSTOMER_NAME");
  EXPECT_EQ(tables[0].what, "has width (100), where " + path + " has (90)");
  const auto schemas = NewDifferences(SchemaDifferences, changed);
  ASSERT_EQ(schemas.size(), 1u) << Listed(schemas);
  EXPECT_EQ(schemas[0].record, "JB_DOOR_APPOINTMENT");
  EXPECT_EQ(schemas[0].item, "attribute CustomerName of JBDoorAppointment");
}

TEST(DefinitionCheck, FindsAnExtraAndAMissingColumn) {
  const std::string path = TablesFile(kEngines[0]);
  const auto found =
      NewDifferences(TableDifferences,
                     Changed(ReadFiles(), path, R"(JB_DIARY_TYPE_IND(\s+VARCHAR\(10\)))", "JB_DIARY_KIND$1"));
  ASSERT_EQ(found.size(), 2u) << Listed(found);
  std::set<std::string> items;
  for (const Difference& d : found) items.insert(d.item + ": " + d.what);
  EXPECT_TRUE(items.count("column JB_DIARY_TYPE_IND: is missing (field JBDiaryTypeInd)")) << Listed(found);
  EXPECT_TRUE(items.count("column JB_DIARY_KIND: is not in the definition")) << Listed(found);
}

TEST(DefinitionCheck, FindsAKeyThatIsNotThePrimaryKey) {
  const std::string path = TablesFile(kEngines[1]);
  const auto found = NewDifferences(
      TableDifferences,
      Changed(ReadFiles(), path, R"((JB_TYPE_CODE\s+varchar\(20\)\s+NOT NULL) PRIMARY KEY)", "$1"));
  ASSERT_EQ(found.size(), 1u) << Listed(found);
  EXPECT_EQ(found[0].item, "column JB_TYPE_CODE");
  EXPECT_EQ(found[0].what, "is not the primary key");
}

TEST(DefinitionCheck, FindsParametersOutOfOrder) {
  const std::string path = ProceduresFile(kEngines[1]);
  const auto found = NewDifferences(
      ProcedureDifferences,
      Changed(ReadFiles(), path, R"((p_vendor_code\s+varchar\(8\),)(\s+)(p_vendor_name\s+varchar\(50\),))",
              "$3$2$1"));
  ASSERT_EQ(found.size(), 2u) << Listed(found);
  EXPECT_EQ(found[0].item, "parameter 16 p_vendor_name");
  EXPECT_EQ(found[0].what, "stands where the definition has @VENDOR_CODE");
  EXPECT_EQ(found[1].item, "parameter 17 p_vendor_code");
}

TEST(DefinitionCheck, FindsAParameterWidthAndAnInsertedColumn) {
  const std::string path = ProceduresFile(kEngines[1]);
  const auto widths = NewDifferences(ProcedureDifferences,
                                     Changed(ReadFiles(), path, R"((p_voyage_leg\s+varchar)\(1\))", "$1(2)"));
  ASSERT_EQ(widths.size(), 1u) << Listed(widths);
  EXPECT_EQ(widths[0].record, "JB_CONTAINER_RETRIEVING_TEMP_FILE");
  EXPECT_EQ(widths[0].what, "is varchar(2), where the definition has (1)");

  const std::string sqlite = ProceduresFile(kEngines[0]);
  const auto columns =
      NewDifferences(ProcedureDifferences,
                     Changed(ReadFiles(), sqlite, R"(VOYAGE_NO,(\s+)VOYAGE_LEG)", "VOYAGE_LEG,$1VOYAGE_NO"));
  ASSERT_EQ(columns.size(), 2u) << Listed(columns);
  EXPECT_EQ(columns[0].file, sqlite);
  EXPECT_EQ(columns[0].item, "inserted value 4");
  EXPECT_EQ(columns[0].what,
            "puts ?4 into VOYAGE_LEG, where the definition puts @VOYAGE_NO (?4) into VOYAGE_NO");
}

TEST(DefinitionCheck, FindsAnUndeclaredAttributeAndAWrongMaxLength) {
  const std::string path = SchemaFile("JBOrder_Modify.xsd");
  const Files removed = Changed(
      ReadFiles(), path, R"(\s*<xs:attribute name="ChargeCurrency" type="Text3" use="required"/>)", "");
  const auto missing = NewDifferences(SchemaDifferences, removed);
  ASSERT_EQ(missing.size(), 1u) << Listed(missing);
  EXPECT_EQ(missing[0].record, "JB_CONTAINER_DETAIL");
  EXPECT_EQ(missing[0].item, "attribute ChargeCurrency of JBContainerDetail");
  EXPECT_EQ(missing[0].what, "is read by a stored element and written in answers, but not declared");

  const auto longer = NewDifferences(
      SchemaDifferences,
      Changed(ReadFiles(), path, R"re((<xs:attribute name="JBNo" type=)"Text20")re", "$1\"Text50\""));
  ASSERT_EQ(longer.size(), 1u) << Listed(longer);
  EXPECT_EQ(longer[0].item, "attribute JBNo of JBOrder");
  EXPECT_EQ(longer[0].what, "has maxLength 50, where the definition has (20)");
}

}  // namespace
}  // namespace kx
