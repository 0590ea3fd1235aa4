// The header of a standard CGI program's output: where it ends, the status
// it sets, the lines passed on, and what makes it bad.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "cgi/CgiRun.h"

namespace {

struct Parsed {
  int state;
  int status;
  std::string reason;
  std::string lines;
  size_t consumed;
};

Parsed Parse(const std::string &output) {
  CgiProgramHeader header = {};
  Parsed parsed;
  parsed.state = CgiProgramHeaderParse(output.data(), output.size(), &header);
  parsed.status = header.status;
  parsed.reason = header.reason;
  parsed.lines = header.lines ? std::string(header.lines, header.linesLength) : "";
  parsed.consumed = header.consumed;
  free(header.lines);
  return parsed;
}

}  // namespace

TEST(CgiProgramHeader, StatusLinesAndWhereTheBodyBegins) {
  Parsed plain = Parse("Content-Type: text/plain\nX-A:  1 \r\n\r\nbody");
  EXPECT_EQ(plain.state, CGI_HEADER_DONE);
  EXPECT_EQ(plain.status, 200);
  EXPECT_EQ(plain.lines, "Content-Type: text/plain\r\nX-A: 1\r\n");
  EXPECT_EQ(plain.consumed, std::string("Content-Type: text/plain\nX-A:  1 \r\n\r\n").size());

  Parsed status = Parse("status: 404 Not  Found\r\nDate: x\nServer: y\nConnection: keep\n\n");
  EXPECT_EQ(status.status, 404);
  EXPECT_EQ(status.reason, "Not  Found");
  EXPECT_EQ(status.lines, "");  // the server writes those three itself
  EXPECT_EQ(Parse("Status: 201\n\n").reason, "");
  EXPECT_EQ(Parse("Location: /x\n\n").status, 302);
  EXPECT_EQ(Parse("Location: /x\nStatus: 303 See Other\n\n").status, 303);
  EXPECT_EQ(Parse("\nbody").consumed, 1u);  // no header lines at all

  EXPECT_EQ(Parse("Content-Type: text/plain\n").state, CGI_HEADER_INCOMPLETE);
  EXPECT_EQ(Parse("Content-Type: text/plain\r").state, CGI_HEADER_INCOMPLETE);
  for (const char *bad : {"no colon\n\n", ": no name\n\n", "Bad Name: x\n\n", "Status: 20\n\n",
                          "Status: 600 Big\n\n", "Status: 200x\n\n", "X: a\rb\n\n",
                          "X: \x01\n\n"})
    EXPECT_EQ(Parse(bad).state, CGI_HEADER_BAD) << bad;
  EXPECT_EQ(Parse(std::string(CGI_HEADER_MOST, 'x')).state, CGI_HEADER_BAD);
}
