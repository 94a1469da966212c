// libxml2 is opened when a process first parses or validates XML: a call that only answers loads
// neither it nor the libraries behind it, and a call that reads a request still works.
#include <string>

#include "test_support.h"

namespace kx::test {
namespace {

TEST(XmlLibrary, OnlyACallThatReadsXmlLoadsLibxml2) {
  TestHome home;
  ASSERT_EQ(RunKx(home, "--quiet init").exitCode, 0);
  const std::string report = "LD_DEBUG=files";

  const CommandOutcome add = RunKx(
      home, "--quiet call C_JBTypeProfile add '<JBTypeProfile Code=\"A\" JBTypeName=\"n\" JBTypeCategory=\"1\"/>'",
      report);
  EXPECT_EQ(add.exitCode, 0) << add.err.substr(0, 2000);
  EXPECT_NE(add.err.find("file=libxml2.so"), std::string::npos) << add.err.substr(0, 2000);

  for (const std::string answerOnly :
       {"C_JBTypeProfile getElementByXML A", "C_JBTypeProfile queryOwnedElementsByXML 0 0 10 1"}) {
    SCOPED_TRACE(answerOnly);
    const CommandOutcome get = RunKx(home, "--quiet call " + answerOnly, report);
    EXPECT_EQ(get.exitCode, 0) << get.err.substr(0, 2000);
    EXPECT_NE(get.out.find("Code=\"A\" JBTypeName=\"n\""), std::string::npos) << get.out;
    for (const std::string library : {"libxml2", "libicu", "liblzma"})
      EXPECT_EQ(get.err.find("file=" + library), std::string::npos) << library;
  }
}

}  // namespace
}  // namespace kx::test
