// The `kx` command, run as a user runs it, against a component folder with an SQLite database.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "shared/s_db_help_for_kx.h"
#include "kx/registry.h"
#include "test_support.h"
#include "service/json.h"

namespace kx::test {
namespace {

struct Outcome {
  int exitCode = -1;
  std::string out, err;
};

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs `kx` with `args` (already quoted); `--home` names the test folder unless `useHomeOption` is off,
// when the inherited KX_HOME has to find it.
Outcome Kx(const TestHome& home, const std::string& args, bool useHomeOption = true) {
  const std::string errPath = home.folder() + "/stderr.txt";
  std::string command = ShellQuote(KX_BINARY);
  if (useHomeOption) command += " --home " + ShellQuote(home.folder());
  command += " " + args + " 2>" + ShellQuote(errPath);
  Outcome result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return result;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  const int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream err(errPath, std::ios::binary);
  result.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  return result;
}

class KxCommand : public ::testing::Test {
 protected:
  TestHome home_;  // SQLite, database kxtest in the folder
  const std::string badSql_ = "Delete NO_SUCH_TABLE Where A= '1'";
};

TEST_F(KxCommand, InitCanBeRepeated) {
  for (int i = 0; i < 2; ++i) {
    const Outcome r = Kx(home_, "init", /*useHomeOption=*/i == 0);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  }
  S_DBHelpForKX helper;
  EXPECT_EQ(helper.RunSQLReturnRS("select * from JB_ORDER")->RecordCount(), 0);
  EXPECT_EQ(helper.RunSQLReturnRS("select * from JB_CONTAINER_RETRIEVING_TEMP_DETAIL")->RecordCount(), 0);
}

TEST_F(KxCommand, JsonCallPrintsResultAndOut) {
  const Outcome r = Kx(home_, "call --json S_DBHelpForKX GetConnectionString");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::string cs = "Provider=SQLite;Data Source=" + home_.folder() +
                         ";Initial Catalog=kxtest;User Id=sa;Password=2977;Connect Timeout=10;";
  EXPECT_EQ(r.out, "{\"result\": " + JsonString(cs) + ", \"out\": {}}\n");
  EXPECT_EQ(Kx(home_, "call --json s_dbhelpforkx classdebugid").out, "{\"result\": 0, \"out\": {}}\n");
  // By-reference parameters come back by their declared names.
  ASSERT_EQ(Kx(home_, "init").exitCode, 0);
  EXPECT_EQ(Kx(home_, "call --json S_DBHelpForKX RunSQL " + ShellQuote("Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= 'X'")).out,
            "{\"result\": null, \"out\": {\"params\": null}}\n");
}

TEST_F(KxCommand, ResultSetsPrintAsRowsKeyedByColumn) {
  ASSERT_EQ(Kx(home_, "init").exitCode, 0);
  EXPECT_EQ(Kx(home_, "call --json S_DBHelpForKX RunSQLReturnRS " + ShellQuote("select 1 as A, 'x\"y' as B, NULL as C")).out,
            "{\"result\": [{\"A\": 1, \"B\": \"x\\\"y\", \"C\": null}], \"out\": {\"params\": null}}\n");
  EXPECT_EQ(Kx(home_, "call --json S_DBHelpForKX RunSQLReturnRS " + ShellQuote("select * from JB_ORDER")).out,
            "{\"result\": [], \"out\": {\"params\": null}}\n");
  // The late-bound members of a result set reach the same rows.
  S_DBHelpForKX helper;
  Args sql = {Variant("select 2 as N")};
  auto object = CObj(Registry::Instance().Invoke(helper, "RunSQLReturnRS", sql));
  Args none;
  EXPECT_EQ(Registry::Instance().Invoke(*object, "RecordCount", none), Variant(1));
  Args field = {Variant("n")};
  EXPECT_EQ(Registry::Instance().Invoke(*object, "Fields", field), Variant(2));
  Registry::Instance().Invoke(*object, "MoveNext", none);
  EXPECT_EQ(Registry::Instance().Invoke(*object, "EOF", none), Variant(true));
}

TEST_F(KxCommand, TypeProfilesRoundTripThroughTheCommandLine) {
  ASSERT_EQ(Kx(home_, "init").exitCode, 0);
  const std::string request = home_.WriteFile("tp.xml", "<JBTypeProfile Code=\"TR\" JBTypeName=\"Truck\" JBTypeCategory=\"T\"/>");
  ASSERT_EQ(Kx(home_, "call C_JBTypeProfile add @" + ShellQuote(request)).exitCode, 0);
  // The two counts are by-reference parameters: they come back in "out".
  const Outcome r = Kx(home_, "call --json C_JBTypeProfile queryOwnedElementsByXML 0 0 10 1");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("\"out\": {\"ResultCount\": 1, \"ResultPages\": 1}}"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Code=\\\"TR\\\""), std::string::npos) << r.out;
  // A failed add inside the command's transaction writes nothing.
  EXPECT_EQ(Kx(home_, "call C_JBTypeProfile add @" + ShellQuote(request)).exitCode, 1);
  EXPECT_EQ(S_DBHelpForKX().RunSQLReturnRS("select * from JB_TYPE_PROFILE")->RecordCount(), 1);
}

TEST_F(KxCommand, FailingCallExitsOneAndReportsTheError) {
  ASSERT_EQ(Kx(home_, "init").exitCode, 0);
  S_DBHelpForKX helper;
  const std::string d = CaptureError([&] { helper.RunSQL(badSql_); }).description();
  ASSERT_NE(d.find("RunSQL(" + badSql_ + ")"), std::string::npos) << d;

  const Outcome json = Kx(home_, "call --json S_DBHelpForKX RunSQL " + ShellQuote(badSql_));
  EXPECT_EQ(json.exitCode, 1);
  EXPECT_EQ(json.out, "{\"error\": {\"number\": -2147211505, \"source\": " + JsonString(d) +
                          ", \"description\": " + JsonString(d) + "}}\n");
  const Outcome text = Kx(home_, "--quiet call S_DBHelpForKX RunSQL " + ShellQuote(badSql_));
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_EQ(text.out, "");
  EXPECT_EQ(text.err, "error 0x8004270F: " + d + "\n");
}

TEST_F(KxCommand, AtPathArgumentIsReadFromTheFile) {
  ASSERT_EQ(Kx(home_, "init").exitCode, 0);
  const std::string path = home_.WriteFile(
      "insert.sql",
      "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('F','it''s from a file','TR')");
  const Outcome r = Kx(home_, "call S_DBHelpForKX RunSQL " + ShellQuote("@" + path));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  S_DBHelpForKX helper;
  auto rs = helper.RunSQLReturnRS("select JB_TYPE_NAME from JB_TYPE_PROFILE where JB_TYPE_CODE = 'F'");
  ASSERT_EQ(rs->RecordCount(), 1);
  EXPECT_EQ(CStr(rs->Field("JB_TYPE_NAME")), "it's from a file");

  const Outcome missing = Kx(home_, "call S_DBHelpForKX RunSQL " + ShellQuote("@" + home_.folder() + "/none.sql"));
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("none.sql"), std::string::npos) << missing.err;
}

TEST_F(KxCommand, UnknownClassOrMemberFails) {
  const Outcome cls = Kx(home_, "call --json NoSuchClass Run");
  EXPECT_EQ(cls.exitCode, 1);
  EXPECT_EQ(cls.out.rfind("{\"error\": {\"number\": ", 0), 0u) << cls.out;
  EXPECT_NE(cls.out.find("NoSuchClass"), std::string::npos) << cls.out;

  const Outcome member = Kx(home_, "call S_DBHelpForKX NoSuchMember");
  EXPECT_EQ(member.exitCode, 1);
  EXPECT_NE(member.err.find("NoSuchMember"), std::string::npos) << member.err;
}

TEST_F(KxCommand, InitAndDemoReachTheDatabaseHelperThroughTheRegistry) {
  // A deployment's S_DBHelpForKX, registered under the component's name, logs every late-bound call.
  const std::string deployed = "LD_PRELOAD=" + ShellQuote(KX_LOGGED_HELPER);
  const CommandOutcome init = RunKx(home_, "--quiet init", deployed);
  EXPECT_EQ(init.exitCode, 0) << init.err;
  EXPECT_EQ(init.out, "database ready: kxtest on " + home_.folder() + "\n");
  EXPECT_EQ(init.err, "deployed S_DBHelpForKX.GetConnectionString\n");

  const CommandOutcome demo = RunKx(home_, "--quiet demo", deployed);
  EXPECT_EQ(demo.exitCode, 0) << demo.out << demo.err;
  EXPECT_EQ(demo.out.rfind("Database kxtest on " + home_.folder() + " is ready.\n", 0), 0u) << demo.out;
  EXPECT_EQ(demo.err.rfind("deployed S_DBHelpForKX.GetConnectionString\ndeployed S_DBHelpForKX.RunSQL\n", 0), 0u)
      << demo.err;
}

TEST_F(KxCommand, ACallReadsTheSameWhereverItsOptionsStand) {
  ASSERT_EQ(Kx(home_, "init").exitCode, 0);
  S_DBHelpForKX().RunSQL(
      "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE, JB_TYPE_NAME, JB_TYPE_CATEGORY) Values "
      "('OPT', 'Options', 'TR')");
  const Outcome plain = Kx(home_, "--quiet call --no-transaction --json C_JBTypeProfile getElementByXML OPT");
  EXPECT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_NE(plain.out.find("Code=\\\"OPT\\\""), std::string::npos) << plain.out;
  // Options after the arguments, repeated or written with '=' are read by the full parser, to the
  // same call.
  for (const std::string& args :
       {std::string("call C_JBTypeProfile getElementByXML OPT --json --no-transaction"),
        std::string("--quiet --quiet call --json C_JBTypeProfile getElementByXML OPT"),
        "--home=" + ShellQuote(home_.folder()) + " call --json C_JBTypeProfile getElementByXML OPT"}) {
    const Outcome r = Kx(home_, args, args.rfind("--home", 0) != 0);
    EXPECT_EQ(r.exitCode, 0) << args << ": " << r.err;
    EXPECT_EQ(r.out, plain.out) << args;
  }
  // A word that names a command is an argument after the member, whichever reader takes it.
  const Outcome word = Kx(home_, "call C_JBTypeProfile getElementByXML init");
  EXPECT_EQ(word.exitCode, 1);
  EXPECT_NE(word.err.find("code 'init'"), std::string::npos) << word.err;
  // A misplaced option still fails as the parser says.
  const Outcome misplaced =
      Kx(home_, "call --home " + ShellQuote(home_.folder()) + " C_JBTypeProfile getElementByXML OPT");
  EXPECT_NE(misplaced.exitCode, 0);
  EXPECT_EQ(misplaced.out, "");
}

TEST_F(KxCommand, HelpNamesEveryCommand) {
  const Outcome r = Kx(home_, "--help", /*useHomeOption=*/false);
  EXPECT_EQ(r.exitCode, 0);
  const std::string text = r.out + r.err;
  for (const char* command : {"init", "call", "demo"})
    EXPECT_NE(text.find(command), std::string::npos) << command;
}

}  // namespace
}  // namespace kx::test
