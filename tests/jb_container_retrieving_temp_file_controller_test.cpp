// C_JBContainerRetrievingTempFile: answers with nested lines, paging, add, modify, remove and
// Finish with the state they store, their error chains and votes, failures injected at every kind
// of statement the writes run, and calls through the registry and the `kx` command.
#include <sys/wait.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "jb_container_retrieving_rows.h"
#include "retrieving/jb_container_retrieving_temp_file.h"
#include "runtime/context.h"
#include "runtime/db/connection.h"
#include "kx/host.h"
#include "kx/registry.h"
#include "runtime/xml.h"
#include "fault_injection.h"
#include "test_support.h"
#include "typeprofile/jb_type_profile.h"

namespace kx::test {
namespace {

const std::string kDecl = "<?xml version=\"1.0\"?>\n";
const std::string kNotHandled =
    "Finish Sub"
    "Some Containers Detail have not been handled.";

// Today as the controller stamps it.
std::string Today() {
  const LocalTime t = ToLocal(Now());
  return Date::FromParts(t.year, t.month, t.day).DateText();
}

// The key of the last added file.
int32_t LastFile() {
  return CLng(
      S_DBHelpForKX()
          .RunSQLReturnRS(
              "select max(JB_IMPORT_CONTAINER_WORK_FILE_ID) as K from JB_CONTAINER_RETRIEVING_TEMP_FILE")
          ->Field("K"));
}

// The elements named `name` in `answer`.
size_t CountElements(const std::string& answer, const std::string& name) {
  std::string reason;
  auto doc = xml::Document::Parse(answer, reason);
  EXPECT_NE(doc, nullptr) << reason;
  return doc ? doc->ElementsByTagName(name).size() : 0;
}

// Makes every statement of kind `op` (INSERT, UPDATE, DELETE) on `table` fail while it lives; op
// COMMIT (PostgreSQL only) makes the commit of a transaction that wrote to `table` fail.
class InjectedFailure {
 public:
  InjectedFailure(const std::string& engine, const std::string& table, const std::string& op)
      : engine_(engine), table_(table) {
    const std::string raise = "RAISE EXCEPTION 'injected failure'";
    if (OnPostgreSQL(engine_) && op == "COMMIT")
      Script(
          "CREATE OR REPLACE FUNCTION kx_injected_failure() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN " +
          raise +
          "; END $$; CREATE CONSTRAINT TRIGGER kx_injected_failure AFTER INSERT OR UPDATE OR DELETE ON " +
          table + " DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION kx_injected_failure();");
    else if (OnPostgreSQL(engine_))
      Script(
          "CREATE OR REPLACE FUNCTION kx_injected_failure() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN " +
          raise + "; END $$; CREATE TRIGGER kx_injected_failure BEFORE " + op + " ON " + table +
          " FOR EACH ROW EXECUTE FUNCTION kx_injected_failure();");
    else
      Script("CREATE TRIGGER kx_injected_failure BEFORE " + op + " ON " + table +
             " BEGIN SELECT RAISE(ABORT, 'injected failure'); END;");
  }
  ~InjectedFailure() {
    Script(OnPostgreSQL(engine_) ? "DROP TRIGGER kx_injected_failure ON " + table_ + ";"
                                   : "DROP TRIGGER kx_injected_failure;");
  }

 private:
  static void Script(const std::string& sql) {
    db::Open(db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString()))->ExecuteScript(sql);
  }
  std::string engine_, table_;
};

// The outcome of running the `kx` command: its exit code, and its stdout and stderr together (without
// the note on which Config.ini it reads).
struct Outcome {
  int exitCode = -1;
  std::string out;
};

Outcome KxCall(const TestHome& home, const std::string& args) {
  const std::string command =
      std::string(KX_BINARY) + " --home '" + home.folder() + "' --quiet call " + args + " 2>&1";
  Outcome result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  const int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class JBContainerRetrievingTempFileController : public EngineTest {
 protected:
  // Adds a file with one line per flag and returns its key.
  int32_t AddFile(const std::vector<std::string>& flags, const std::string& bkNo = "BK1") {
    std::string lines;
    for (size_t i = 0; i < flags.size(); ++i) lines += LineXml("C" + std::to_string(i + 1), flags[i]);
    EXPECT_TRUE(C_JBContainerRetrievingTempFile().add(AddXml(lines, bkNo)));
    return LastFile();
  }

  // Every write member, each with its request for a file `AddFile({"1", "1"})` made.
  struct WriteCall {
    std::string name;
    std::function<std::string(int32_t file)> request;
    std::function<void(C_JBContainerRetrievingTempFile&, const std::string& request)> call;
  };
  static std::vector<WriteCall> WriteCalls() {
    const auto add = [](auto& c, const std::string& r) { c.add(r); };
    const auto modify = [](auto& c, const std::string& r) { c.modify(r); };
    return {
        {"add", [](int32_t) { return AddXml(LineXml("N1", "0") + LineXml("N2", "1"), "BK9"); }, add},
        {"modify", [](int32_t f) { return ModifyXml(f, FlagXml("1") + FlagXml("0")); }, modify},
        {"modify adding a line",
         [](int32_t f) { return ModifyXml(f, FlagXml("0") + FlagXml("1") + LineXml("N3", "1")); }, modify},
        {"modify deleting a line", [](int32_t f) { return ModifyXml(f, FlagXml("1")); }, modify},
        {"remove", [](int32_t f) { return std::to_string(f); },
         [](auto& c, const std::string& r) { c.remove(r); }},
        {"Finish", [](int32_t f) { return std::to_string(f); },
         [](auto& c, const std::string& r) { c.Finish(r); }},
    };
  }

  C_JBContainerRetrievingTempFile controller;
};

TEST_P(JBContainerRetrievingTempFileController, AddWithThreeLinesThenFetch) {
  {
    TransactionScope scope;
    EXPECT_TRUE(
        controller.add(AddXml(LineXml("C1", "0") + LineXml("C2", "true") + LineXml("C3", "1", "O'Neil's"))));
    EXPECT_FALSE(scope.aborted());
    EXPECT_TRUE(scope.Complete());
  }
  const int32_t id = LastFile();
  EXPECT_EQ(controller.JBContainerRetrievingTempFile()->Id(), id);
  EXPECT_EQ(StoredState(id), 0);
  EXPECT_EQ(StoredLines(id), (std::vector<std::string>{"C1:0", "C2:1", "C3:1"}));
  const std::string key = std::to_string(id);
  const std::string answer = C_JBContainerRetrievingTempFile().getElementByXML(key);
  auto rs = S_DBHelpForKX().RunSQLReturnRS(
      "select JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID as K from JB_CONTAINER_RETRIEVING_TEMP_DETAIL order by "
      "K");
  std::vector<std::string> lineKeys;
  for (; !rs->EOF_(); rs->MoveNext()) lineKeys.push_back(CStr(rs->Field("K")));
  ASSERT_EQ(lineKeys.size(), 3u);
  const auto line = [&](int i, const std::string& no, const std::string& flag,
                        const std::string& cargo = "toys") {
    return "<JBContainerRetrievingTempDetail Id=\"" + lineKeys[i] + "\" JBImportContainerWorkFileId=\"" +
           key + "\" " + LineAttributes(no, flag, cargo) + "/>";
  };
  EXPECT_EQ(answer,
            kDecl + "<Root><JBContainerRetrievingTempFiles><JBContainerRetrievingTempFile Id=\"" + key +
                "\" SourceCategory=\"BK\" Office=\"HKG\" VesselCode=\"VSL\" VoyageNo=\"001\" VoyageLeg=\"E\" "
                "BKNo=\"BK1\" BLNo=\"BL1\" ERNo=\"ER1\" ProcessState=\"0\" LastUpdateDate=\"" +
                Today() + "\" LastUpdateUser=\"ann\"><JBContainerRetrievingTempDetails>" +
                line(0, "C1", "0") + line(1, "C2", "1") + line(2, "C3", "1", "O'Neil's") +
                "</JBContainerRetrievingTempDetails></JBContainerRetrievingTempFile>"
                "</JBContainerRetrievingTempFiles></Root>\n");
  // The time of day is stored, never answered.
  auto file = S_DBHelpForKX().RunSQLReturnRS("select * from JB_CONTAINER_RETRIEVING_TEMP_FILE");
  EXPECT_EQ(CLng(file->Field("LAST_UPDATE_TIME")), GetTime());
  EXPECT_EQ(answer.find("LastUpdateTime"), std::string::npos);
}

TEST_P(JBContainerRetrievingTempFileController, AddWithoutLinesAndFetchOfAFileWithoutLines) {
  EXPECT_TRUE(controller.add(AddXml("")));
  const int32_t id = LastFile();
  EXPECT_TRUE(StoredLines(id).empty());
  EXPECT_TRUE(
      controller.add("<Root><JBContainerRetrievingTempFiles><JBContainerRetrievingTempFile "
                     "SourceCategory=\"\" Office=\"\" VesselCode=\"\" "
                     "VoyageNo=\"\" VoyageLeg=\"\" BKNo=\"BK2\" BLNo=\"\" ERNo=\"\" LastUpdateUser=\"u\" "
                     "Id=\"999\" ProcessState=\"2\"/>"
                     "</JBContainerRetrievingTempFiles></Root>"));
  const int32_t second = LastFile();
  EXPECT_EQ(second, id + 1);  // an Id in the request is not read
  EXPECT_EQ(StoredState(second), 0);

  TransactionScope scope;
  EXPECT_EQ(controller.getElementByXML(std::to_string(second)),
            kDecl + "<Root><JBContainerRetrievingTempFiles><JBContainerRetrievingTempFile Id=\"" +
                std::to_string(second) +
                "\" SourceCategory=\"\" Office=\"\" VesselCode=\"\" VoyageNo=\"\" VoyageLeg=\"\" "
                "BKNo=\"BK2\" BLNo=\"\" "
                "ERNo=\"\" ProcessState=\"0\" LastUpdateDate=\"" +
                Today() +
                "\" LastUpdateUser=\"u\"><JBContainerRetrievingTempDetails/></JBContainerRetrievingTempFile>"
                "</JBContainerRetrievingTempFiles></Root>\n");
  // A fetch casts no vote, neither on success nor on failure.
  const Error err = CaptureError([&] { controller.getElementByXML("K"); });
  EXPECT_EQ(err.description(),
            "getelementbyxml Function"
            "load Sub"
            "LoadByPK Sub"
            "Can not use code 'K'");
  EXPECT_EQ(scope.completeVotes(), 0);
  EXPECT_FALSE(scope.aborted());
}

TEST_P(JBContainerRetrievingTempFileController, LinesAtAnyDepthBelowTheFileInDocumentOrder) {
  EXPECT_TRUE(controller.add(
      "<Root><JBContainerRetrievingTempFiles><JBContainerRetrievingTempFile SourceCategory=\"BK\" "
      "Office=\"HKG\" "
      "VesselCode=\"VSL\" VoyageNo=\"001\" VoyageLeg=\"E\" BKNo=\"BK1\" BLNo=\"BL1\" ERNo=\"ER1\" "
      "LastUpdateUser=\"ann\">" +
      LineXml("A", "0") + "<JBContainerRetrievingTempDetails>" + LineXml("B", "1") +
      "<JBContainerRetrievingTempDetails>" + LineXml("C", "0") + "</JBContainerRetrievingTempDetails>" +
      "</JBContainerRetrievingTempDetails>" + LineXml("D", "1") +
      "</JBContainerRetrievingTempFile></JBContainerRetrievingTempFiles></Root>"));
  const int32_t id = LastFile();
  EXPECT_EQ(StoredLines(id), (std::vector<std::string>{"A:0", "B:1", "C:0", "D:1"}));
  controller.modify("<JBContainerRetrievingTempFile Id=\"" + std::to_string(id) + "\" LastUpdateUser=\"u\">" +
                    FlagXml("1") + "<JBContainerRetrievingTempDetails><JBContainerRetrievingTempDetails>" +
                    FlagXml("1") + FlagXml("1") +
                    "</JBContainerRetrievingTempDetails></JBContainerRetrievingTempDetails>" + FlagXml("1") +
                    "</JBContainerRetrievingTempFile>");
  EXPECT_EQ(StoredLines(id), (std::vector<std::string>{"A:1", "B:1", "C:1", "D:1"}));
  EXPECT_EQ(StoredState(id), 2);
}

TEST_P(JBContainerRetrievingTempFileController, RefusedRequestsWriteNothing) {
  const int32_t id = AddFile({"0"});
  const auto before = DumpWorkFileTables();
  const struct {
    std::string name;
    std::function<void()> call;
    std::string start, mentioned;
  } cases[] = {
      {"add without LastUpdateUser",
       [&] {
         std::string r = AddXml("");
         controller.add(r.replace(r.find(" LastUpdateUser=\"ann\""), 21, ""));
       },
       "add Function", "LastUpdateUser"},
      {"add of a line without a field",
       [&] { controller.add(AddXml("<JBContainerRetrievingTempDetail HandledFlag=\"1\"/>")); },
       "add Function", "FromPlace"},
      {"add of a too long VoyageLeg",
       [&] {
         std::string r = AddXml("");
         controller.add(r.replace(r.find("VoyageLeg=\"E\""), 13, "VoyageLeg=\"EW\""));
       },
       "add Function", "VoyageLeg"},
      {"add of a new line handled \"Y\"", [&] { controller.add(AddXml(LineXml("C9", "Y"))); },
       "add Function"
       "updateColElements Sub"
       "Type mismatch",
       ""},
      {"add not well formed", [&] { controller.add("<JBContainerRetrievingTempFile"); }, "add Function", ""},
      {"add of an empty list", [&] { controller.add("<Root><JBContainerRetrievingTempFiles/></Root>"); },
       "add Function", ""},
      {"add of two files, whose lines would all go to the first",
       [&] {
         controller.add("<Root><JBContainerRetrievingTempFiles>" + AddXml(LineXml("A", "0")) +
                        AddXml(LineXml("B", "0"), "BK2") + "</JBContainerRetrievingTempFiles></Root>");
       },
       "add Function", ""},
      {"modify of two files",
       [&] {
         controller.modify("<Root><JBContainerRetrievingTempFiles>" + ModifyXml(id, FlagXml("1")) +
                           ModifyXml(id, FlagXml("1")) + "</JBContainerRetrievingTempFiles></Root>");
       },
       "modify Sub", ""},
      {"add of another record",
       [&] { controller.add("<JBTypeProfile Code=\"A\" JBTypeName=\"n\" JBTypeCategory=\"c\"/>"); },
       "add Function", ""},
      {"modify without Id",
       [&] { controller.modify("<JBContainerRetrievingTempFile LastUpdateUser=\"u\"/>"); }, "modify Sub",
       "Id"},
      {"modify of a missing file", [&] { controller.modify(ModifyXml(id + 50, FlagXml("1"))); },
       "modify Sub"
       "load Sub"
       "LoadByPK Sub"
       "Can not use code '" +
           std::to_string(id + 50) + "'",
       ""},
      {"modify of a line without flag",
       [&] { controller.modify(ModifyXml(id, "<JBContainerRetrievingTempDetail FromPlace=\"A\"/>")); },
       "modify Sub", "HandledFlag"},
      {"modify adding a line without its fields",
       [&] { controller.modify(ModifyXml(id, FlagXml("1") + FlagXml("1"))); },
       "modify Sub"
       "updateColElements Sub"
       "Object variable or With block variable not set",
       ""},
      {"modify with a flag that is no Boolean", [&] { controller.modify(ModifyXml(id, FlagXml("maybe"))); },
       "modify Sub"
       "updateColElements Sub"
       "Null2Bln Function"
       "Type mismatch",
       ""},
      {"remove of a missing file", [&] { controller.remove("0"); },
       "remove Sub"
       "load Sub"
       "LoadByPK Sub"
       "Can not use code '0'",
       ""},
      {"Finish of no number", [&] { controller.Finish("x"); },
       "Finish Sub"
       "Type mismatch",
       ""},
      {"Finish of a file without lines", [&] { controller.Finish("12345"); },
       "Finish Sub"
       "isAllFinished Function"
       "LoadByPK Function"
       "Can not use code '12345'",
       ""},
      {"Finish of a file not handled", [&] { controller.Finish(std::to_string(id)); }, kNotHandled, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      TransactionScope scope;
      const Error err = CaptureError(c.call);
      EXPECT_EQ(err.number(), kComponentError);
      EXPECT_EQ(err.description().rfind(c.start, 0), 0u) << err.description();
      EXPECT_NE(err.description().find(c.mentioned), std::string::npos) << err.description();
      if (c.start == "add Function" || c.start == "modify Sub") {  // followed by the parser's reason
        EXPECT_GT(err.description().size(), c.start.size());
      }
      EXPECT_TRUE(scope.aborted());
    }
    EXPECT_EQ(DumpWorkFileTables(), before);
  }
}

TEST_P(JBContainerRetrievingTempFileController, ModifyChangesOnlyFlagsAndLastUpdateFields) {
  const int32_t other = AddFile({"0", "0"}, "BK2");
  const int32_t id = AddFile({"0", "1", "0"});
  S_DBHelpForKX().RunSQL(
      "Update JB_CONTAINER_RETRIEVING_TEMP_FILE Set LAST_UPDATE_DATE = '2020-01-02', LAST_UPDATE_TIME "
      "= '930', LAST_UPDATE_USER = 'old'");
  const std::vector<std::string> stamps = {"HANDLED_FLAG", "LAST_UPDATE_DATE", "LAST_UPDATE_TIME",
                                           "LAST_UPDATE_USER", "PROCESS_STATE"};
  const auto before = DumpWorkFileTables(stamps);
  // The fetched answer, with other header and line values changed, is a valid request: only the
  // flags and the stamps are taken.
  std::string request = controller.getElementByXML(std::to_string(id));
  request.replace(request.find("Office=\"HKG\""), 12, "Office=\"SHA\"");
  request.replace(request.find("ContainerNo=\"C1\""), 16, "ContainerNo=\"ZZ\"");
  request.replace(request.find("HandledFlag=\"0\""), 15, "HandledFlag=\"1\"");
  request.replace(request.find("LastUpdateUser=\"old\""), 20, "LastUpdateUser=\"bob\"");
  controller.modify(request);
  EXPECT_EQ(DumpWorkFileTables(stamps), before);
  EXPECT_EQ(StoredLines(id), (std::vector<std::string>{"C1:1", "C2:1", "C3:0"}));
  EXPECT_EQ(StoredLines(other), (std::vector<std::string>{"C1:0", "C2:0"}));
  auto rs = S_DBHelpForKX().RunSQLReturnRS(
      "select * from JB_CONTAINER_RETRIEVING_TEMP_FILE where "
      "JB_IMPORT_CONTAINER_WORK_FILE_ID = '" +
      std::to_string(id) + "'");
  EXPECT_EQ(Null2Date(rs->Field("LAST_UPDATE_DATE")), Today());
  EXPECT_EQ(CLng(rs->Field("LAST_UPDATE_TIME")), GetTime());
  EXPECT_EQ(CStr(rs->Field("LAST_UPDATE_USER")), "bob");
  EXPECT_EQ(CStr(rs->Field("OFFICE")), "HKG");
}

TEST_P(JBContainerRetrievingTempFileController, ModifyStoresTheStateTheLinesGive) {
  struct Case {
    std::vector<std::string> stored, sent;
    int16_t state;
  };
  const std::vector<Case> cases = {
      {{"0", "0", "0"}, {"1", "1", "1"}, 2}, {{"0", "0", "0"}, {"1", "0", "1"}, 1},
      {{"1", "1", "1"}, {"1", "1", "N"}, 1}, {{"0", "0", "0"}, {"Y", "y", "true"}, 2},
      {{"0", "0"}, {"0", "0"}, 1},           {{"1", "1"}, {"1", "1"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.sent));
    const int32_t id = AddFile(c.stored);
    std::string lines;
    for (const auto& f : c.sent) lines += FlagXml(f);
    controller.modify(ModifyXml(id, lines));
    EXPECT_EQ(controller.JBContainerRetrievingTempFile()->ProcessState(), c.state);
    // Another caller reads the state the modify decided.
    C_JBContainerRetrievingTempFile reader;
    reader.getElementByXML(std::to_string(id));
    EXPECT_EQ(reader.JBContainerRetrievingTempFile()->ProcessState(), c.state);
    EXPECT_EQ(StoredState(id), c.state);
  }
}

TEST_P(JBContainerRetrievingTempFileController, ModifyWithoutLinesDeletesThemThenFails) {
  const int32_t id = AddFile({"1", "1"});
  const std::string expected =
      "modify Sub"
      "isAllFinished Function"
      "LoadByPK Function"
      "Can not use code '" +
      std::to_string(id) + "'";
  {
    TransactionScope scope;
    EXPECT_EQ(CaptureError([&] { controller.modify(ModifyXml(id, "")); }).description(), expected);
    EXPECT_TRUE(scope.aborted());
  }
  EXPECT_EQ(StoredLines(id), (std::vector<std::string>{"C1:1", "C2:1"}));  // rolled back with the call

  // Through the command, which runs the call in its transaction, the lines are still there afterwards.
  const std::string path = home_->WriteFile("modify.xml", ModifyXml(id, ""));
  const Outcome r = KxCall(*home_, "C_JBContainerRetrievingTempFile modify @" + path);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "error 0x8004270F: " + expected + "\n");
  EXPECT_EQ(StoredLines(id), (std::vector<std::string>{"C1:1", "C2:1"}));

  // Without a transaction each statement stands on its own, as the caller asked.
  EXPECT_EQ(CaptureError([&] { controller.modify(ModifyXml(id, "")); }).description(), expected);
  EXPECT_TRUE(StoredLines(id).empty());
}

TEST_P(JBContainerRetrievingTempFileController, FinishStoresTheFinishedState) {
  const int32_t open = AddFile({"1", "0", "1"});
  const int32_t done = AddFile({"1", "1", "1"});
  {
    TransactionScope scope;
    EXPECT_EQ(CaptureError([&] { controller.Finish(std::to_string(open)); }).description(), kNotHandled);
    EXPECT_TRUE(scope.aborted());
  }
  EXPECT_EQ(StoredState(open), 0);
  {
    TransactionScope scope;
    controller.Finish(std::to_string(done));
    EXPECT_FALSE(scope.aborted());
    EXPECT_TRUE(scope.Complete());
  }
  EXPECT_EQ(StoredState(done), 2);
  EXPECT_EQ(StoredState(open), 0);
  EXPECT_EQ(controller.JBContainerRetrievingTempFile()->ProcessState(), 2);
  EXPECT_EQ(controller.JBContainerRetrievingTempFile()->Id(), done);
  Variant count, pages;
  const std::string page = controller.queryOwnedElementsByXML(
      count, pages, 0, 0,
      "<AccessKeys><AccessKey Field=\"ProcessState\" SearchCondition=\"=\" Key=\"2\"/></AccessKeys>");
  EXPECT_EQ(CLng(count), 1);
  EXPECT_NE(page.find("Id=\"" + std::to_string(done) + "\""), std::string::npos);
  // Finishing again changes nothing and succeeds.
  controller.Finish(" " + std::to_string(done));
  EXPECT_EQ(StoredState(done), 2);
}

TEST_P(JBContainerRetrievingTempFileController, RemoveDeletesTheLinesFirstThenTheFile) {
  const int32_t keep = AddFile({"0"}, "BK2");
  const int32_t id = AddFile({"0", "1"});
  {
    // When the file's delete fails, the lines were already deleted before it.
    InjectedFailure failure(GetParam(), "JB_CONTAINER_RETRIEVING_TEMP_FILE", "DELETE");
    EXPECT_EQ(CaptureError([&] { controller.remove(std::to_string(id)); })
                  .description()
                  .rfind("remove Sub"
                         "save Sub"
                         "save Sub",
                         0),
              0u);
    EXPECT_TRUE(StoredLines(id).empty());
    EXPECT_EQ(StoredState(id), 0);
  }
  const int32_t again = AddFile({"0", "1"});
  {
    // When a line's delete fails, the file has not been touched yet.
    InjectedFailure failure(GetParam(), "JB_CONTAINER_RETRIEVING_TEMP_DETAIL", "DELETE");
    EXPECT_EQ(CaptureError([&] { controller.remove(std::to_string(again)); })
                  .description()
                  .rfind("remove Sub"
                         "removeColElements Sub",
                         0),
              0u);
    EXPECT_EQ(StoredState(again), 0);
  }
  controller.remove(std::to_string(again));
  EXPECT_EQ(StoredState(again), -1);
  EXPECT_TRUE(StoredLines(again).empty());
  EXPECT_EQ(controller.JBContainerRetrievingTempFile()->status(), esSaved);
  EXPECT_EQ(StoredLines(keep), (std::vector<std::string>{"C1:0"}));
  EXPECT_FALSE(controller.containsKey(std::to_string(again)));
  EXPECT_TRUE(controller.containsKey(std::to_string(keep)));
}

TEST_P(JBContainerRetrievingTempFileController, AFailureAtAnyWriteLeavesEveryTableAsItWas) {
  std::vector<std::pair<std::string, std::string>> points = {
      {"JB_CONTAINER_RETRIEVING_TEMP_FILE", "INSERT"},   {"JB_CONTAINER_RETRIEVING_TEMP_FILE", "UPDATE"},
      {"JB_CONTAINER_RETRIEVING_TEMP_FILE", "DELETE"},   {"JB_CONTAINER_RETRIEVING_TEMP_DETAIL", "INSERT"},
      {"JB_CONTAINER_RETRIEVING_TEMP_DETAIL", "UPDATE"}, {"JB_CONTAINER_RETRIEVING_TEMP_DETAIL", "DELETE"},
  };
  // A check deferred to the commit can be installed from outside on PostgreSQL only.
  if (OnPostgreSQL(GetParam()))
    for (const char* table : {"JB_CONTAINER_RETRIEVING_TEMP_FILE", "JB_CONTAINER_RETRIEVING_TEMP_DETAIL"})
      points.emplace_back(table, "COMMIT");
  int commitFailures = 0;
  for (const auto& write : WriteCalls()) {
    int failed = 0;
    for (const auto& [table, op] : points) {
      SCOPED_TRACE(write.name + ", failing " + op + " on " + table);
      S_DBHelpForKX().RunSQL("Delete JB_CONTAINER_RETRIEVING_TEMP_DETAIL");
      S_DBHelpForKX().RunSQL("Delete JB_CONTAINER_RETRIEVING_TEMP_FILE");
      const std::string request = write.request(AddFile({"1", "1"}));
      const auto before = DumpWorkFileTables();
      InjectedFailure failure(GetParam(), table, op);
      C_JBContainerRetrievingTempFile c;
      bool written = false;
      {
        TransactionScope scope;
        try {
          write.call(c, request);
          try {
            written = scope.Complete();  // this write runs no statement of that kind
          } catch (const std::exception& e) {
            ++failed, ++commitFailures;
            EXPECT_EQ(op, "COMMIT");
            EXPECT_NE(std::string(e.what()).find("injected failure"), std::string::npos) << e.what();
          }
        } catch (const Error& e) {
          ++failed;
          EXPECT_NE(e.description().find("injected failure"), std::string::npos) << e.description();
          EXPECT_TRUE(scope.aborted());
          EXPECT_FALSE(scope.Complete());
        }
      }
      if (!written) {
        EXPECT_EQ(DumpWorkFileTables(), before);
      }
    }
    EXPECT_GT(failed, 0) << write.name;
  }
  EXPECT_EQ(commitFailures > 0, OnPostgreSQL(GetParam()));
}

TEST_P(JBContainerRetrievingTempFileController, PagesOfTenOverTwentyFive) {
  for (int i = 1; i <= 25; ++i) InsertFileRow("P" + std::to_string(i), static_cast<int16_t>(i % 3));
  InsertLineRow(1, "L1");
  struct Case {
    int32_t perPage, page, pages;
    size_t elements;
  };
  for (const Case& c :
       std::vector<Case>{{10, 1, 3, 10}, {10, 3, 3, 5}, {10, 4, 3, 0}, {10, 0, 3, 25}, {0, 1, 1, 25}}) {
    SCOPED_TRACE(std::to_string(c.perPage) + " per page, page " + std::to_string(c.page));
    TransactionScope scope;
    Variant count, pages;
    const std::string answer = controller.queryOwnedElementsByXML(count, pages, c.perPage, c.page);
    EXPECT_EQ(CLng(count), 25);
    EXPECT_EQ(CLng(pages), c.pages);
    EXPECT_EQ(CountElements(answer, "JBContainerRetrievingTempFile"), c.elements);
    EXPECT_EQ(CountElements(answer, "JBContainerRetrievingTempDetails"), 0u);  // a search answers no lines
    EXPECT_FALSE(scope.aborted());
  }
  Variant count, pages;
  EXPECT_EQ(controller.queryOwnedElementsByXML(
                count, pages, 10, 1,
                "<AccessKeys><AccessKey Field=\"BKNo\" SearchCondition=\"=\" Key=\"P7\"/></AccessKeys>"),
            kDecl +
                "<Root><JBContainerRetrievingTempFiles><JBContainerRetrievingTempFile Id=\"7\" "
                "SourceCategory=\"BK\" "
                "Office=\"HKG\" VesselCode=\"VSL\" VoyageNo=\"001\" VoyageLeg=\"E\" BKNo=\"P7\" BLNo=\"BL1\" "
                "ERNo=\"ER1\" "
                "ProcessState=\"1\" LastUpdateDate=\"2020-01-02\" "
                "LastUpdateUser=\"old\"/></JBContainerRetrievingTempFiles>"
                "</Root>\n");
  const Error err =
      CaptureError([&] { controller.queryOwnedElementsByXML(count, pages, 10, 1, "<AccessKeys>"); });
  EXPECT_EQ(err.description().rfind("queryOwnedElementsByXML Function"
                                    "Query Function"
                                    " The AccessKey is wrong ",
                                    0),
            0u);
}

TEST_P(JBContainerRetrievingTempFileController, WorkingFileCarriesOverAndCanBeReplaced) {
  const int32_t id = AddFile({"0"});
  controller.getElementByXML(std::to_string(id));
  EXPECT_EQ(controller.JBContainerRetrievingTempFile()->status(), esLoaded);
  auto replacement = std::make_shared<E_JBContainerRetrievingTempFile>();
  controller.setJBContainerRetrievingTempFile(replacement);
  controller.getElementByXML(std::to_string(id));
  EXPECT_EQ(replacement->Id(), id);
  // Another record's entity is no work file.
  controller.setEntity(std::make_shared<E_JBTypeProfile>());
  TransactionScope scope;
  EXPECT_EQ(CaptureError([&] { controller.Finish(std::to_string(id)); }).description(),
            "Finish Sub"
            "Type mismatch");
  EXPECT_TRUE(scope.aborted());
}

TEST_P(JBContainerRetrievingTempFileController, LateBoundAndThroughTheCommand) {
  auto& reg = Registry::Instance();
  ObjectPtr c = reg.Create("C_JBContainerRetrievingTempFile");
  Args add{Variant(AddXml(LineXml("C1", "0")))};
  EXPECT_TRUE(CBool(reg.Invoke(*c, "add", add)));
  const int32_t id = LastFile();
  Args file{};
  ObjectPtr entity = reg.Invoke(*c, "JBContainerRetrievingTempFile", file).get<ObjectPtr>();
  Args entityId{};
  EXPECT_EQ(CLng(reg.Invoke(*entity, "Id", entityId)), id);
  Args finish{Variant(std::to_string(id))};
  EXPECT_EQ(CaptureError([&] { reg.Invoke(*c, "Finish", finish); }).description(), kNotHandled);
  Args modify{Variant(ModifyXml(id, FlagXml("1")))};
  reg.Invoke(*c, "modify", modify);
  Args finishAgain{Variant(std::to_string(id))};
  reg.Invoke(*c, "Finish", finishAgain);
  EXPECT_EQ(StoredState(id), 2);

  const std::string path =
      home_->WriteFile("add.xml", AddXml(LineXml("K1", "0") + LineXml("K2", "0"), "BKCMD"));
  Outcome r = KxCall(*home_, "--json C_JBContainerRetrievingTempFile add @" + path);
  EXPECT_EQ(r.out, "{\"result\": true, \"out\": {}}\n");
  const int32_t added = LastFile();
  r = KxCall(*home_, "C_JBContainerRetrievingTempFile Finish " + std::to_string(added));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "error 0x8004270F: " + kNotHandled + "\n");
  const std::string modify2 = home_->WriteFile("modify.xml", ModifyXml(added, FlagXml("1") + FlagXml("Y")));
  EXPECT_EQ(KxCall(*home_, "C_JBContainerRetrievingTempFile modify @" + modify2).exitCode, 0);
  EXPECT_EQ(KxCall(*home_, "C_JBContainerRetrievingTempFile Finish " + std::to_string(added)).exitCode, 0);
  EXPECT_EQ(StoredState(added), 2);
  r = KxCall(*home_, "C_JBContainerRetrievingTempFile getElementByXML " + std::to_string(added));
  EXPECT_EQ(CountElements(r.out, "JBContainerRetrievingTempDetail"), 2u);
  EXPECT_NE(r.out.find("ProcessState=\"2\""), std::string::npos) << r.out;
  EXPECT_EQ(KxCall(*home_, "C_JBContainerRetrievingTempFile remove " + std::to_string(added)).exitCode, 0);
  EXPECT_EQ(StoredState(added), -1);
  EXPECT_TRUE(StoredLines(added).empty());
}

TEST_P(JBContainerRetrievingTempFileController, AFailureAtAnyStatementOrCommitWritesNothing) {
  for (const auto& write : WriteCalls()) {
    S_DBHelpForKX().RunSQL("Delete JB_CONTAINER_RETRIEVING_TEMP_DETAIL");
    S_DBHelpForKX().RunSQL("Delete JB_CONTAINER_RETRIEVING_TEMP_FILE");
    const std::string request = write.request(AddFile({"1", "1"}));
    ExpectAllOrNothing(write.name, [&] {
      C_JBContainerRetrievingTempFile c;
      write.call(c, request);
    });
  }
}

KX_ENGINE_SUITE(JBContainerRetrievingTempFileController);

}  // namespace
}  // namespace kx::test
