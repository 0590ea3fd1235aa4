// testcgi run as the server runs it: its page for every kind of QUERY_STRING
// and CONTENT_LENGTH, and the echo of its input up to the "TEST=" line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/CgiSupport.h"

using unit::ChildResult;
using unit::EnvironmentBlock;
using unit::RunChild;

namespace {

const std::string PageStart = "<HTML>\n<HEAD>\n<TITLE>TEST CGI RESULT</TITLE>\n</HEAD>\n<BODY>\n<HR>";
const std::string PageEnd = "<HR>\n</BODY>\n</HTML>\n";

// The page testcgi writes for the environment and input; its exit status
// must be 0 whatever it was given.
std::string Page(const std::vector<std::string> &environment, const std::string &input = "") {
  ChildResult run = RunChild(TESTCGI_BIN, "", "/www/test.cgi", EnvironmentBlock(environment), input);
  EXPECT_TRUE(run.started);
  EXPECT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, 0u);
  return run.output;
}

}  // namespace

TEST(TestCgi, VariablesAbsentEmptyAndWithoutDigits) {
  EXPECT_EQ(Page({}, "ignored\n"),
            PageStart + "QUERY_STRING NOT DEFINED!<BR>\n<HR>CONTENT_LENGTH NOT DEFINED!<BR>\n" +
                PageEnd);
  EXPECT_EQ(Page({"QUERY_STRING=", "CONTENT_LENGTH=0"}, "TEST=1\n"),
            PageStart + "QUERY_STRING=\"\"<BR>\n<HR>CONTENT_LENGTH=0<BR>\n" + PageEnd);
  EXPECT_EQ(Page({"QUERY_STRING=a=1&b=%20", "CONTENT_LENGTH=abc"}),
            PageStart + "QUERY_STRING=\"a=1&b=%20\"<BR>\n<HR>CONTENT_LENGTH=0<BR>\n" + PageEnd);
  // atoi rules: leading blanks and a sign, digits up to the first other one.
  // A buffer of 3 bytes reads pieces of 2 characters, each written with "\n".
  EXPECT_EQ(Page({"CONTENT_LENGTH= +3x"}, "abcdef\n"),
            PageStart + "QUERY_STRING NOT DEFINED!<BR>\n<HR>CONTENT_LENGTH=3<BR>\n<pre>\n" +
                "ab\ncd\nef\n\n\n</pre>\n" + PageEnd);
}

TEST(TestCgi, NegativeLengthHasNoBufferAndLengthOneReadsNothing) {
  EXPECT_EQ(Page({"CONTENT_LENGTH=-5"}, "TEST=1\n"),
            PageStart + "QUERY_STRING NOT DEFINED!<BR>\n<HR>CONTENT_LENGTH=-5<BR>\nno memory" +
                PageEnd);
  EXPECT_EQ(Page({"CONTENT_LENGTH=1"}, "TEST=1\n"),
            PageStart + "QUERY_STRING NOT DEFINED!<BR>\n<HR>CONTENT_LENGTH=1<BR>\n<pre>\n</pre>\n" +
                PageEnd);
}

TEST(TestCgi, EchoEndsWithTheLineHoldingTest) {
  std::string request =
      "Host: localhost\r\nContent-Length: 20\r\n\r\nname=x&MYTEST=1&z=2\nafter=1\n";
  EXPECT_EQ(Page({"QUERY_STRING=q", "CONTENT_LENGTH=200"}, request),
            PageStart + "QUERY_STRING=\"q\"<BR>\n<HR>CONTENT_LENGTH=200<BR>\n<pre>\n" +
                "Host: localhost\r\n\nContent-Length: 20\r\n\n\r\n\n" +
                "name=x&MYTEST=1&z=2\n\n</pre>\n" + PageEnd);
}

TEST(TestCgi, InputWithoutTestIsEchoedToItsEnd) {
  EXPECT_EQ(Page({"CONTENT_LENGTH=64"}, "line one\nlast line without end"),
            PageStart + "QUERY_STRING NOT DEFINED!<BR>\n<HR>CONTENT_LENGTH=64<BR>\n<pre>\n" +
                "line one\n\nlast line without end\n</pre>\n" + PageEnd);
}

TEST(TestCgi, OverlongLinesGoInPiecesAndSplitTestIsNotSeen) {
  // Pieces of at most 7 characters: "TEST=" split over two of them does not
  // end the echo; the short line that holds it whole does.
  EXPECT_EQ(Page({"CONTENT_LENGTH=8"}, "abcdTEST=1\nTEST=2\nnot read\n"),
            PageStart + "QUERY_STRING NOT DEFINED!<BR>\n<HR>CONTENT_LENGTH=8<BR>\n<pre>\n" +
                "abcdTES\nT=1\n\nTEST=2\n\n</pre>\n" + PageEnd);
}
