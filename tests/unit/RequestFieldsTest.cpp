// The header lines of a request as the standard CGI interface reads them,
// the look-up of one value without cutting, and the dates of HTTP/1.0.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "http/Http.h"

TEST(RequestFields, BlockEndFieldsAndContentLength) {
  std::string block = "Host: a\r\nContent-Length:  12 \r\nX-Empty:\nContent-Length: 12\r\n\r\nbody";
  long end = RequestHeaderEnd(block.data(), block.size());
  ASSERT_EQ(static_cast<size_t>(end), block.size() - 4);
  EXPECT_EQ(RequestHeaderEnd("Host: a\r\n", 9), -1);
  EXPECT_EQ(RequestHeaderEnd("\r\nbody", 6), 2);

  CgiField *fields = nullptr;
  int count = 0;
  ASSERT_EQ(RequestFieldsParse(block.data(), static_cast<size_t>(end), &fields, &count), 0);
  ASSERT_EQ(count, 4);
  EXPECT_STREQ(fields[1].value, "12");
  EXPECT_STREQ(fields[2].value, "");
  EXPECT_STREQ(RequestField(fields, count, "content-length"), "12");
  int64_t length = 0;
  EXPECT_EQ(RequestContentLength(fields, count, &length), 1);
  EXPECT_EQ(length, 12);
  free(fields);

  for (const char *lengths : {"Content-Length: 1\nContent-Length: 2\n\n", "Content-Length: -1\n\n",
                              "Content-Length: 1e3\n\n", "Content-Length:\n\n",
                              "Content-Length: 99999999999999999999\n\n"}) {
    std::string text = lengths;
    ASSERT_EQ(RequestFieldsParse(text.data(), text.size(), &fields, &count), 0) << lengths;
    EXPECT_EQ(RequestContentLength(fields, count, &length), -1) << lengths;
    free(fields);
  }
  std::string noLength = "Host: a\n\n";
  ASSERT_EQ(RequestFieldsParse(noLength.data(), noLength.size(), &fields, &count), 0);
  EXPECT_EQ(RequestContentLength(fields, count, &length), 0);
  free(fields);
  for (const char *bad : {"no colon\n\n", ": value\n\n", "Na me: x\n\n"}) {
    std::string text = bad;
    EXPECT_EQ(RequestFieldsParse(text.data(), text.size(), &fields, &count), -2) << bad;
  }
}

TEST(RequestFields, ValueLookUpCutsNothingAndStopsAtTheEmptyLine) {
  const std::string block =
      "Host: a\r\nuser-agent:  curl/8 (x)  \r\nReferer:\r\nX: 1\nUser-Agent: second\r\n\r\n"
      "If-Modified-Since: in the body\r\n";
  const std::string before = block;
  size_t length = 0;
  const char *agent = RequestHeaderValue(block.data(), block.size(), "User-Agent", &length);
  ASSERT_NE(agent, nullptr);
  EXPECT_EQ(std::string(agent, length), "curl/8 (x)");  // the first line, blanks cut
  const char *referer = RequestHeaderValue(block.data(), block.size(), "Referer", &length);
  ASSERT_NE(referer, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(RequestHeaderValue(block.data(), block.size(), "If-Modified-Since", &length), nullptr);
  EXPECT_EQ(RequestHeaderValue(block.data(), block.size(), "Hos", &length), nullptr);
  const char *unended = RequestHeaderValue("X: 1", 4, "X", &length);
  ASSERT_NE(unended, nullptr);
  EXPECT_EQ(std::string(unended, length), "1");
  EXPECT_EQ(block, before);
  // A line without its end and bytes of any value are read as they are.
  const std::string binary("Referer: a\0b", 12);
  referer = RequestHeaderValue(binary.data(), binary.size(), "referer", &length);
  ASSERT_NE(referer, nullptr);
  EXPECT_EQ(std::string(referer, length), std::string("a\0b", 3));
}

namespace {

int64_t Date(const std::string &text) { return HttpDateParse(text.data(), text.size()); }

}  // namespace

TEST(HttpDateParse, TheThreeFormsOfHttp10) {
  const int64_t moment = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  EXPECT_EQ(Date("Sun, 06 Nov 1994 08:49:37 GMT"), moment);
  EXPECT_EQ(Date("Sunday, 06-Nov-94 08:49:37 GMT"), moment);
  EXPECT_EQ(Date("Sun Nov  6 08:49:37 1994"), moment);
  EXPECT_EQ(Date("Sun Nov 06 08:49:37 1994"), moment);
  EXPECT_EQ(Date("sun, 06 NOV 1994 08:49:37 GMT"), moment);  // names in any case
  EXPECT_EQ(Date("Sun, 06 Nov 1994 08:49:37 GMT; length=1234"), moment);
  EXPECT_EQ(Date("Thu, 01 Jan 1970 00:00:00 GMT"), 0);
  EXPECT_EQ(Date("Tue, 29 Feb 2028 23:59:59 GMT"), 1835481599);
  EXPECT_EQ(Date("Wed, 31 Dec 2098 12:00:00 GMT"), 4070865600);
  EXPECT_EQ(Date("Monday, 01-Jan-35 00:00:00 GMT"), 2051222400);  // below 70: 20yy
  EXPECT_EQ(Date("Monday, 01-Jan-79 00:00:00 GMT"), 283996800);   // from 70: 19yy
  for (const char *bad :
       {"", "Sun, 06 Nov 1994 08:49:37", "Sun, 06 Nov 1994 08:49:37 UTC",
        "Sun, 06 Nov 1994 08:49:37 GMT ", " Sun, 06 Nov 1994 08:49:37 GMT",
        "Sun, 6 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 94 08:49:37 GMT", "Sun, 06 Nvb 1994 08:49:37 GMT",
        "Sun, 31 Nov 1994 08:49:37 GMT", "Sun, 29 Feb 1900 08:49:37 GMT", "Sun, 00 Nov 1994 08:49:37 GMT",
        "Sun, 06 Nov 1994 24:00:00 GMT", "Sun, 06 Nov 1994 08:60:00 GMT", "Sun, 06 Nov 1994 8:49:37 GMT",
        "Sun, 06 Nov 1969 08:49:37 GMT", "Sunday, 06-Nov-1994 08:49:37 GMT", "Sun, 06-Nov-94 08:49:37 GMT",
        "Sun Nov  6 08:49:37 1994 GMT", "Xyz, 06 Nov 1994 08:49:37 GMT", "1994-11-06T08:49:37Z",
        "784111777", "Sun, 06 Nov 1994 08:49:37 GMT\r\n"})
    EXPECT_EQ(Date(bad), -1) << bad;
  // The length bounds the text: nothing behind it is read.
  EXPECT_EQ(HttpDateParse("Sun, 06 Nov 1994 08:49:37 GMTX", 29), moment);
}
