// KX on SQL Server, checked without a SQL Server: the statements KX sends there, and its SQL Server
// scripts (database/sqlserver).
//
// The calls a client makes run on SQLite while every statement is caught below the database helper
// and written as the ODBC driver writes it for SQL Server (Statement::Text in the SQL Server dialect,
// "?" for each bound value). The texts are compared with tests/sqlserver/statements.sql, which
// KX_UPDATE_GOLDEN=1 rewrites, and which tests/sqlserver/check.mjs parses with a T-SQL parser. The
// scripts are checked against the PostgreSQL script (the same tables, columns, types and indexes),
// against the insert procedures' parameters as the records pass them, and for how `kx init` cuts them.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "jb_container_retrieving_rows.h"
#include "jb_order_rows.h"
#include "joborder/jb_order.h"
#include "kx/registry.h"
#include "kx/transaction.h"
#include "retrieving/jb_container_retrieving_temp_file.h"
#include "runtime/db/connection.h"
#include "runtime/db/sql_text.h"
#include "runtime/db/statement.h"
#include "test_support.h"

namespace kx::test {
namespace {

const std::string kGoldenPath = std::string(KX_SOURCE_DIR) + "/tests/sqlserver/statements.sql";
// The line that ends each statement of the golden file.
const std::string kEnd = "GO";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Script(const std::string& file) { return ReadFile(std::string(KX_SOURCE_DIR) + "/database/" + file); }

// `text` with every run of blanks made one space, and none at either end.
std::string Squeezed(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// ---- the statements sent -------------------------------------------------------------------------

// Each statement that reached the database, as SQL Server gets it, under the call that sent it.
struct Sent {
  std::string call, text;
  bool operator==(const Sent&) const = default;
};
void PrintTo(const Sent& s, std::ostream* out) { *out << s.call << ": " << s.text; }

struct Trace {
  std::string call;  // the call running now
  std::vector<Sent> sent;
};

// A connection that notes every statement it is given and passes everything on unchanged.
class Recording : public db::Connection {
 public:
  Recording(std::unique_ptr<db::Connection> inner, std::shared_ptr<Trace> trace)
      : inner_(std::move(inner)), trace_(std::move(trace)) {}

  db::Engine engine() const override { return inner_->engine(); }
  void Execute(const std::string& sql, const std::vector<Variant>& params) override {
    Note(db::AdaptStatement(db::Engine::SqlServer, sql));
    inner_->Execute(sql, params);
  }
  std::shared_ptr<db::Recordset> Run(const db::Statement& statement) override {
    Note(statement.Text(db::Engine::SqlServer, false));
    return inner_->Run(statement);
  }
  void ExecuteScript(const std::string& sql) override { inner_->ExecuteScript(sql); }
  std::shared_ptr<db::Recordset> Query(const std::string& sql, const std::vector<Variant>& params) override {
    Note(db::AdaptStatement(db::Engine::SqlServer, sql));
    return inner_->Query(sql, params);
  }
  // The call text of a procedure is the driver's own; the procedures' parameters are checked
  // against database/sqlserver/procedures.sql below.
  std::shared_ptr<db::Recordset> CallProcedure(const std::string& name,
                                               const std::vector<db::ProcedureArgument>& args) override {
    return inner_->CallProcedure(name, args);
  }
  void ResetIsolation() override { inner_->ResetIsolation(); }
  void ApplyLimits(const db::Limits& limits) override { inner_->ApplyLimits(limits); }
  void Begin() override { inner_->Begin(); }
  void Commit() override { inner_->Commit(); }
  void Rollback() override { inner_->Rollback(); }
  bool Healthy() const override { return inner_->Healthy(); }
  bool Alive() override { return inner_->Alive(); }

 private:
  void Note(std::string text) { trace_->sent.push_back({trace_->call, std::move(text)}); }

  std::unique_ptr<db::Connection> inner_;
  std::shared_ptr<Trace> trace_;
};

// Wraps every connection opened while it lives in a Recording.
class Recorder {
 public:
  Recorder() {
    db::SetConnectionDecorator([trace = trace_](std::unique_ptr<db::Connection> inner) {
      return std::unique_ptr<db::Connection>(std::make_unique<Recording>(std::move(inner), trace));
    });
  }
  ~Recorder() { db::SetConnectionDecorator({}); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Runs `member` of `object` by name in a transaction scope, as a host does, with its statements
  // noted under "className.member"; answers what the call answered.
  Variant Call(const ObjectPtr& object, const std::string& member, Args args) {
    trace_->call = std::string(object->ClassName()) + "." + member;
    try {
      TransactionScope scope;
      const Variant answer = Registry::Instance().Invoke(*object, member, args);
      EXPECT_TRUE(scope.Complete()) << trace_->call << " voted abort";
      return answer;
    } catch (const std::exception& e) {
      ADD_FAILURE() << trace_->call << " failed: " << e.what();
      return {};
    }
  }
  // The same on a new object of `className`.
  Variant Call(const std::string& className, const std::string& member, Args args) {
    return Call(Registry::Instance().Create(className), member, std::move(args));
  }

  const std::vector<Sent>& sent() const { return trace_->sent; }

 private:
  std::shared_ptr<Trace> trace_ = std::make_shared<Trace>();
};

std::string AppointmentXml(const std::string& customer, const std::string& id = "") {
  return "<JBDoorAppointment" + (id.empty() ? std::string() : " Id=\"" + id + "\"") +
         " BKNo=\"BK1\" BLNo=\"BL1\" ContainerRemarks=\"reefer\" CustomerName=\"" + customer +
         "\" AppointmentAddress=\"2 Dock Rd\" CustomerContactor=\"Ben\" AppointmentPhone=\"556\" "
         "AppointmentDate=\"2026-12-20\" AppointmentTime=\"930\" AppointmentRemarks=\"gate 4\"/>";
}

std::string WorkFileLine(const std::string& containerNo, const std::string& handled) {
  return "<JBContainerRetrievingTempDetail " + LineAttributes(containerNo, handled) + "/>";
}

// The statements of a client's working day on a fresh database: every record added, loaded,
// looked for, modified, searched (count and page) and removed, the job order's look-ups and
// lifecycle, and the child lists.
std::vector<Sent> StatementsOfTheCalls() {
  TestHome home("SQLite");
  home.ResetDatabase();
  FixClock(2026, 12, 8, 9, 30, 15);
  Recorder r;
  Variant count, pages;
  auto page = [&](const std::string& className, int32_t perPage, int32_t number, const std::string& keys) {
    r.Call(className, "queryOwnedElementsByXML", {count, pages, Variant(perPage), Variant(number), Variant(keys)});
  };

  const std::string profile = "C_JBTypeProfile";
  r.Call(profile, "add", {"<JBTypeProfile Code=\"TRK\" JBTypeName=\"Truck\" JBTypeCategory=\"TR\"/>"});
  r.Call(profile, "getElementByXML", {"TRK"});
  r.Call(profile, "containsKey", {"TRK"});
  r.Call(profile, "modify", {"<JBTypeProfile Code=\"TRK\" JBTypeName=\"Trucking\" JBTypeCategory=\"TR\"/>"});
  page(profile, 10, 1,
       "<AccessKeys><AccessKey Field=\"JBTypeName\" SearchCondition=\"BeginWith\" Key=\"Tr\"/>"
       "<AccessKey Field=\"JBTypeCategory\" SearchCondition=\"=\" Key=\"TR\"/></AccessKeys>");
  page(profile, 0, 0, "");

  const std::string order = "C_JBOrder";
  r.Call(order, "add", {OrderXml({}, Lines({LineXml("1234567"), LineXml("7654321")})), "CO", "HKG"});
  // An order without a number of its own gets one from the serial number generator.
  r.Call(order, "add", {OrderXml({{"JBNo", ""}, {"ITNumber", "IT2"}}, Lines({LineXml("2222222")})), "CO", "HKG"});
  r.Call(order, "getElementByXML", {"1"});
  r.Call(order, "containsKey", {"1"});
  r.Call("S_JBOrder", "containsJBNo", {"JB001", Variant()});
  r.Call("S_JBOrder", "containsITNumber", {"IT1", Variant()});
  r.Call(order, "modify",
         {OrderXml({{"Id", "1"}, {"VendorName", "New"}}, Lines({FullLineXml("1234567", "TRK"), FullLineXml("5")}))});
  page(order, 10, 1,
       "<AccessKeys><AccessKey Field=\"BKNo\" SearchCondition=\"=\" Key=\"BK1\"/>"
       "<AccessKey Field=\"VendorName\" SearchCondition=\"Include\" Key=\"New\"/>"
       "<AccessKey Field=\"JBState\" SearchCondition=\"=\" Key=\"0\"/></AccessKeys>");
  page(order, 0, 0, "");
  r.Call(order, "AddUserDiary", {"1", "bob", "note"});
  r.Call(order, "QueryJBDiary", {"1"});
  r.Call(order, "AddDoorAppointment", {"1", AppointmentXml("Acme")});
  r.Call(order, "GetDoorAppointments", {"1"});
  r.Call(order, "ModifyDoorAppointment", {"1", AppointmentXml("Acme Ltd", "1")});
  r.Call(order, "GetContainersByBKNo", {"BK1"});
  r.Call(order, "GetContainersByIBBLNo", {"BL1"});
  r.Call(order, "GetContainersByOBBLNo", {"BL1"});
  r.Call(order, "GetContainersByIBVoyage", {"VSL", "001", "E", "LAX"});
  r.Call(order, "getPartnerNotifyInfo", {"1", "IJ", "FAX", Variant("")});
  r.Call(order, "Issue", {"1", "bob", "F", "E"});
  // Every child record loaded, looked for and listed on its own.
  for (const std::string record : {"JBContainerDetail", "JBDiary", "JBDoorAppointment"}) {
    r.Call("E_" + record, "load", {"1"});
    r.Call("S_" + record, "containsPK", {"1"});
    r.Call("Col_" + record, "loadElements", {"1"});
  }
  // A diary entry changed on its own.
  const ObjectPtr diary = Registry::Instance().Create("E_JBDiary");
  r.Call(diary, "load", {"1"});
  r.Call(diary, "JBDiaryText", {"changed"});
  r.Call(diary, "save", {});
  r.Call(order, "RemoveAppointment", {"1", "1"});
  r.Call(order, "StopDelivery", {"1", "bob"});
  r.Call(order, "Cancel", {"1", "bob"});

  const std::string file = "C_JBContainerRetrievingTempFile";
  r.Call(file, "add", {AddXml(WorkFileLine("A1", "0") + WorkFileLine("A2", "0"))});
  r.Call(file, "getElementByXML", {"1"});
  r.Call(file, "containsKey", {"1"});
  r.Call(file, "modify", {ModifyXml(1, WorkFileLine("A1", "1") + WorkFileLine("A3", "1"))});
  page(file, 10, 1,
       "<AccessKeys><AccessKey Field=\"VesselCode\" SearchCondition=\"=\" Key=\"VSL\"/>"
       "<AccessKey Field=\"BKNo\" SearchCondition=\"BeginWith\" Key=\"BK\"/></AccessKeys>");
  const std::string line = "JBContainerRetrievingTempDetail";
  r.Call("E_" + line, "load", {"1"});
  r.Call("S_" + line, "containsPK", {"1"});
  r.Call("Col_" + line, "loadElements", {"1"});
  r.Call("Col_" + line, "isAllFinished", {"1"});
  r.Call(file, "Finish", {"1"});
  r.Call(file, "remove", {"1"});

  r.Call(order, "remove", {"1"});
  r.Call(order, "remove", {"2"});
  r.Call(profile, "remove", {"TRK"});
  return r.sent();
}

std::string GoldenText(const std::vector<Sent>& sent) {
  std::string out =
      "-- The statements KX sends to SQL Server, in the order a client's calls send them, each as the\n"
      "-- ODBC driver passes it (\"?\" for each bound value), under a line naming the call, and ended by\n"
      "-- a line \"" + kEnd + "\". Procedure calls are not listed: the ODBC driver writes those.\n"
      "-- Written by tests/sqlserver_text_test.cpp (KX_UPDATE_GOLDEN=1 rewrites this file) and parsed by\n"
      "-- tests/sqlserver/check.mjs.\n";
  for (const Sent& s : sent) out += "\n-- " + s.call + "\n" + s.text + "\n" + kEnd + "\n";
  return out;
}

// The entries of a golden file's text (see GoldenText).
std::vector<Sent> GoldenEntries(const std::string& text) {
  std::vector<Sent> out;
  std::istringstream in(text);
  std::string line, call, statement;
  while (std::getline(in, line)) {
    if (line == kEnd) {
      out.push_back({call, statement});
      call.clear();
      statement.clear();
    } else if (statement.empty() && line.rfind("-- ", 0) == 0) {
      call = line.substr(3);
    } else if (!line.empty() || !statement.empty()) {
      statement += (statement.empty() ? "" : "\n") + line;
    }
  }
  return out;
}

TEST(SqlServerText, StatementsMatchTheGoldenFile) {
  const std::vector<Sent> sent = StatementsOfTheCalls();
  // Every table is written and read by the calls.
  for (const char* table : {"JB_TYPE_PROFILE", "JB_ORDER", "JB_CONTAINER_DETAIL", "JB_DIARY", "JB_DOOR_APPOINTMENT",
                            "JB_CONTAINER_RETRIEVING_TEMP_FILE", "JB_CONTAINER_RETRIEVING_TEMP_DETAIL"}) {
    for (const char* verb : {"Insert Into ", "Update ", "Delete ", "select * from "}) {
      if (std::string(verb) == "Insert Into " &&
          (std::string(table) == "JB_ORDER" || std::string(table) == "JB_CONTAINER_RETRIEVING_TEMP_FILE"))
        continue;  // inserted by their procedures
      bool found = false;
      for (const Sent& s : sent) found = found || s.text.find(verb + std::string(table) + " ") != std::string::npos;
      EXPECT_TRUE(found) << "no statement " << verb << table;
    }
  }
  const std::string text = GoldenText(sent);
  const char* update = std::getenv("KX_UPDATE_GOLDEN");
  if (update && std::string(update) == "1") {
    std::ofstream(kGoldenPath, std::ios::binary | std::ios::trunc) << text;
    ASSERT_EQ(ReadFile(kGoldenPath), text) << "could not write " << kGoldenPath;
    GTEST_SKIP() << "rewrote " << kGoldenPath;
  }
  const std::vector<Sent> golden = GoldenEntries(ReadFile(kGoldenPath));
  const std::string hint = "; if the change is meant, KX_UPDATE_GOLDEN=1 rewrites " + kGoldenPath;
  for (size_t i = 0; i < std::min(sent.size(), golden.size()); ++i)
    ASSERT_EQ(sent[i], golden[i]) << "statement " << i + 1 << " (" << sent[i].call << ") differs from the golden file"
                                  << hint << "\nsent:   " << sent[i].text << "\ngolden: " << golden[i].text;
  ASSERT_EQ(sent.size(), golden.size()) << "the calls sent " << sent.size() << " statements, the golden file holds "
                                        << golden.size() << hint;
  EXPECT_EQ(ReadFile(kGoldenPath), text) << "the golden file's comments or layout differ" << hint;
}

TEST(SqlServerText, GoldenEntriesReadBackWhatWasWritten) {
  const std::vector<Sent> sent = {{"C.a", "select 1"}, {"C.b", "select ?\n\nfrom T"}, {"D.c", "select 2"}};
  EXPECT_EQ(GoldenEntries(GoldenText(sent)), sent);
}

// ---- the scripts ---------------------------------------------------------------------------------

// A column of a table: its name and type as the script writes them.
using Columns = std::vector<std::pair<std::string, std::string>>;

// The tables a script creates, with their columns in order (table constraints left out).
std::map<std::string, Columns> Tables(const std::string& script) {
  std::map<std::string, Columns> out;
  for (size_t at = script.find("CREATE TABLE "); at != std::string::npos; at = script.find("CREATE TABLE ", at + 1)) {
    std::istringstream head(script.substr(at + 13, script.find('(', at) - at - 13));
    std::string name, word;
    while (head >> word) name = word;  // after "IF NOT EXISTS", if any
    Columns& columns = out[name];
    std::istringstream body(script.substr(script.find('(', at) + 1, script.find("\n);", at) - script.find('(', at) - 1));
    std::string line;
    while (std::getline(body, line)) {
      std::istringstream words(line);
      std::string column, type;
      if (!(words >> column) || column == "PRIMARY") continue;
      std::getline(words, type);
      type = Squeezed(type);
      if (!type.empty() && type.back() == ',') type.pop_back();
      columns.emplace_back(column, type);
    }
  }
  return out;
}

// The indexes a script creates, each as "[UNIQUE ]name ON table (columns)".
std::set<std::string> Indexes(const std::string& script) {
  std::set<std::string> out;
  const std::string squeezed = Squeezed(script);
  for (const std::string kind : {"CREATE INDEX ", "CREATE UNIQUE INDEX "}) {
    for (size_t at = squeezed.find(kind); at != std::string::npos; at = squeezed.find(kind, at + 1)) {
      std::string rest = squeezed.substr(at + kind.size(), squeezed.find(')', at) + 1 - at - kind.size());
      if (rest.rfind("IF NOT EXISTS ", 0) == 0) rest = rest.substr(14);
      out.insert((kind == "CREATE INDEX " ? "" : "UNIQUE ") + rest);
    }
  }
  return out;
}

// A PostgreSQL column type as SQL Server's script writes it.
std::string SqlServerType(std::string type) {
  auto replace = [&](const std::string& from, const std::string& to) {
    if (type.rfind(from, 0) == 0) type = to + type.substr(from.size());
  };
  replace("integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY", "int IDENTITY(1,1) NOT NULL PRIMARY KEY");
  replace("integer", "int");
  replace("timestamp", "datetime2(0)");
  replace("varchar", "nvarchar");
  return type;
}

TEST(SqlServerScripts, TablesAndIndexesAreThoseOfTheOtherEngines) {
  const auto postgres = Tables(Script("postgresql/tables.sql"));
  const auto sqlServer = Tables(Script("sqlserver/tables.sql"));
  ASSERT_GE(postgres.size(), 7u);
  std::map<std::string, Columns> expected;
  for (const auto& [table, columns] : postgres)
    for (const auto& [column, type] : columns) expected[table].emplace_back(column, SqlServerType(type));
  EXPECT_EQ(sqlServer, expected);
  EXPECT_EQ(Indexes(Script("sqlserver/tables.sql")), Indexes(Script("postgresql/tables.sql")));
  EXPECT_GE(Indexes(Script("sqlserver/tables.sql")).size(), 10u);
}

// The words that follow `prefix` in `text` up to the first character that cannot be in a name.
std::string NameAfter(const std::string& text, const std::string& prefix) {
  if (text.rfind(prefix, 0) != 0) return "(no " + prefix + ")";
  size_t end = prefix.size();
  while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_')) ++end;
  return text.substr(prefix.size(), end - prefix.size());
}

// `kx init` sends each statement of a script alone (ScriptStatements): each must be one guard and
// the one object it creates when the guard finds the object missing, under the same name, so that
// a second run creates nothing.
TEST(SqlServerScripts, EveryStatementCreatesOneObjectOnlyWhenItIsMissing) {
  const auto tables = db::ScriptStatements(db::Engine::SqlServer, Script("sqlserver/tables.sql"));
  size_t createdTables = 0, createdIndexes = 0;
  for (const std::string& raw : tables) {
    const std::string s = Squeezed(raw);
    SCOPED_TRACE(s);
    if (s.rfind("IF OBJECT_ID(N'", 0) == 0) {
      const std::string table = NameAfter(s, "IF OBJECT_ID(N'");
      EXPECT_EQ(NameAfter(s, "IF OBJECT_ID(N'" + table + "', N'U') IS NULL CREATE TABLE "), table);
      ++createdTables;
    } else {
      const std::string table = NameAfter(s, "IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'");
      const std::string guard = "IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'" + table +
                                "') AND name = N'";
      const std::string index = NameAfter(s, guard);
      const std::string create = guard + index + "') CREATE ";
      const std::string unique = s.rfind(create + "UNIQUE ", 0) == 0 ? "UNIQUE " : "";
      EXPECT_EQ(NameAfter(s, create + unique + "INDEX " + index + " ON "), table);
      ++createdIndexes;
    }
  }
  EXPECT_EQ(createdTables, Tables(Script("sqlserver/tables.sql")).size());
  EXPECT_EQ(createdIndexes, Indexes(Script("sqlserver/tables.sql")).size());

  const auto procedures = db::ScriptStatements(db::Engine::SqlServer, Script("sqlserver/procedures.sql"));
  ASSERT_EQ(procedures.size(), 2u);
  for (const std::string& raw : procedures) {
    const std::string s = Squeezed(raw);
    SCOPED_TRACE(s);
    const std::string name = NameAfter(s, "IF OBJECT_ID(N'");
    EXPECT_EQ(NameAfter(s, "IF OBJECT_ID(N'" + name + "', N'P') IS NULL EXEC (N'CREATE PROCEDURE "), name);
    EXPECT_EQ(s.substr(s.size() - 7), "; END')") << "the EXEC holds more than the procedure";
  }
}

// The body of procedure `name` in the procedure script, blanks squeezed.
std::string ProcedureText(const std::string& name) {
  for (const std::string& raw : db::ScriptStatements(db::Engine::SqlServer, Script("sqlserver/procedures.sql"))) {
    const std::string s = Squeezed(raw);
    const std::string head = "EXEC (N'CREATE PROCEDURE " + name + " ";
    if (const size_t at = s.find(head); at != std::string::npos) return s.substr(at + head.size());
  }
  return {};
}

// The SQL Server type of a procedure parameter as the record declares it (ADO type, size,
// precision and scale).
std::string ParameterType(const FieldSpec& f) {
  switch (f.paramType) {
    case adVarChar: return "nvarchar(" + std::to_string(f.paramSize) + ")";
    case adDBTimeStamp: return "datetime2(0)";
    case adNumeric: return "numeric(" + std::to_string(f.paramPrecision) + "," + std::to_string(f.paramScale) + ")";
    case adSmallInt: return "smallint";
    case adInteger: return "int";
    default: return "(ADO type " + std::to_string(f.paramType) + ")";
  }
}

// Each insert procedure takes the parameters its record passes, named, typed and ordered as the
// record declares them, inserts them into the record's table and returns the new key.
TEST(SqlServerScripts, InsertProceduresTakeTheParametersTheRecordsPass) {
  for (const RecordDef* def : {&JBOrderDef(), &JBContainerRetrievingTempFileDef()}) {
    SCOPED_TRACE(def->insertProcedure);
    const std::string text = ProcedureText(def->insertProcedure);
    ASSERT_FALSE(text.empty()) << "database/sqlserver/procedures.sql creates no " << def->insertProcedure;
    std::string declared, columns, values;
    for (const FieldSpec& f : def->fields) {
      if (f.param.empty()) continue;
      declared += std::string(declared.empty() ? "" : ", ") + std::string(f.param) + " " + ParameterType(f);
      columns += std::string(columns.empty() ? "" : ", ") + std::string(f.column);
      values += std::string(values.empty() ? "" : ", ") + std::string(f.param);
    }
    EXPECT_EQ(text, declared + " AS BEGIN SET NOCOUNT ON; INSERT INTO " + def->table + " ( " + columns +
                        " ) VALUES ( " + values + " ); RETURN CAST(SCOPE_IDENTITY() AS int); END')");
  }
}

}  // namespace
}  // namespace kx::test
