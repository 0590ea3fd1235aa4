// The header lines of a request as the standard CGI interface reads them.
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
