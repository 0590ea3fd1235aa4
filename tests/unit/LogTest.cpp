// Log line format, level filtering and the hex dump layout.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "log/Log.h"
#include "support/Basics.h"
#include "unit/TestSupport.h"

using unit::Capture;
using support::Count;
using unit::LogScope;

namespace {

std::string Logged(int logLevel, int level, const char *message) {
  LogScope log(logLevel);
  Capture out;
  LogPrint(level, "%s", message);
  return out.Text();
}

}  // namespace

TEST(LogPrint, FiltersByLevel) {
  EXPECT_EQ(Logged(3, LOG_DEBUG, "x"), "");
  EXPECT_EQ(Logged(3, LOG_INFO, "x"), "[I] x\n");
  EXPECT_EQ(Logged(4, LOG_TRACE, "x"), "");
  EXPECT_EQ(Logged(4, LOG_DEBUG, "x"), "[D] x\n");
  EXPECT_EQ(Logged(0, LOG_ERR, "x"), "");
  EXPECT_EQ(Logged(0, LOG_FATAL, "x"), "x\n");
  EXPECT_EQ(Logged(-1, LOG_FATAL, "x"), "x\n");
  EXPECT_EQ(Logged(-2, LOG_FATAL, "x"), "");
}

TEST(LogPrint, TagsAndFatalWithoutTag) {
  EXPECT_EQ(Logged(5, LOG_ERR, "e"), "[E] e\n");
  EXPECT_EQ(Logged(5, LOG_WARN, "w"), "[W] w\n");
  EXPECT_EQ(Logged(5, LOG_TRACE, "t"), "[T] t\n");
  EXPECT_EQ(Logged(5, LOG_FATAL, "f"), "f\n");
}

TEST(LogPrint, CutsLongMessagesAndKeepsPercentText) {
  std::string longText(300, 'a');
  EXPECT_EQ(Logged(5, LOG_INFO, longText.c_str()), "[I] " + std::string(255, 'a') + "\n");
  EXPECT_EQ(Logged(5, LOG_FATAL, longText.c_str()), std::string(255, 'a') + "\n");
  EXPECT_EQ(Logged(5, LOG_INFO, "100%d %s"), "[I] 100%d %s\n");
}

TEST(LogPrint, TimePrefixAndStandardError) {
  LogScope log(LOG_DEBUG, 1);
  Capture out;
  LogPrint(LOG_INFO, "Request URI: %s", "/index.html");
  LogPrint(LOG_FATAL, "fatal");
  std::string text = out.Text();
  std::regex line(
      "\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d [0-9A-F]{8} \\[I\\] Request URI: /index.html\n"
      "\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d [0-9A-F]{8} fatal\n");
  EXPECT_TRUE(std::regex_match(text, line)) << text;

  LogConfigure(LOG_DEBUG, 0, 0);
  Capture err(2);
  LogPrint2(LOG_INFO, "Connected from %s (ID=%X)", "127.0.0.1", 0xA3Cu);
  EXPECT_EQ(err.Text(), "[I] Connected from 127.0.0.1 (ID=A3C)\n");
}

namespace {

std::string Dumped(const std::string &data, int dumpLog = 1, int logLevel = 4) {
  LogScope log(logLevel, 0, dumpLog);
  Capture out;
  LogDump("Received Data", data.data(), static_cast<uint32_t>(data.size()));
  return out.Text();
}

const char *const DumpHeader =
    "OFST : +0 +1 +2 +3 +4 +5 +6 +7 - +8 +9 +A +B +C +D +E +F : ASCII\n";

}  // namespace

TEST(LogDump, EmptyDumpHasNoRows) {
  EXPECT_EQ(Dumped(""), std::string("\n*** DUMP(Received Data / size=0) ***\n") + DumpHeader + "\n");
}

TEST(LogDump, FullRowOfARequestLine) {
  EXPECT_EQ(Dumped("GET / HTTP/1.0\r\n"),
            std::string("\n*** DUMP(Received Data / size=16) ***\n") + DumpHeader +
                "0000 : 47 45 54 20 2F 20 48 54 - 54 50 2F 31 2E 30 0D 0A : GET / HTTP/1.0..\n\n");
}

TEST(LogDump, ShortLastRowKeepsItsColumns) {
  std::string data = "0123456789abcdef";
  data += std::string("\x00\x1f\x7f\xff", 4);
  std::string text = Dumped(data);
  std::string lastRow = "0010 : 00 1F 7F FF" + std::string(12, ' ') + " -" +
                        std::string(24, ' ') + " : ....\n";
  EXPECT_NE(text.find("0000 : 30 31 32 33 34 35 36 37 - 38 39 61 62 63 64 65 66 : "
                      "0123456789abcdef\n" + lastRow + "\n"),
            std::string::npos)
      << text;
  // The short row's separators line up under those of a full row.
  size_t full = text.find("0000 :");
  size_t last = text.find("0010 :");
  EXPECT_EQ(text.find(" - ", full) - full, text.find(" - ", last) - last);
  EXPECT_EQ(text.find(" : ", full + 6) - full, text.find(" : ", last + 6) - last);
}

TEST(LogDump, DumpLogSwitchAloneDecides) {
  EXPECT_EQ(Dumped("abc", 0, 5), "");
  EXPECT_NE(Dumped("a b", 1, -1).find(": a b\n"), std::string::npos);
}

namespace {

// An access log in a folder of its own for the test, closed at its end.
class AccessLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.path() + "/access.log";
    Capture out;
    ASSERT_EQ(AccessLogOpen(path.c_str()), 0);
  }
  void TearDown() override { AccessLogClose(); }

  AccessRecord Record(const std::string &request) {
    stored = request;
    return AccessRecord{"192.0.2.7", 784111777, stored.data(), stored.size(), 200, 1234,
                        nullptr,     0,         nullptr,       0};
  }

  support::TempDir dir;
  std::string path;
  std::string stored;
};

}  // namespace

TEST_F(AccessLogTest, CombinedLogFormatLines) {
  AccessRecord record = Record("GET /index.html HTTP/1.0");
  std::string referer = "http://example.test/start", agent = "curl/7.88.1";
  record.referer = referer.data();
  record.refererLength = referer.size();
  record.userAgent = agent.data();
  record.userAgentLength = agent.size();
  AccessLogWrite(&record);
  record = Record("");
  record.status = 501;
  record.bytes = 0;
  AccessLogWrite(&record);
  std::regex lines(
      "192\\.0\\.2\\.7 - - \\[0[56]/Nov/1994:\\d\\d:\\d\\d:37 [+-]\\d{4}\\] \"GET /index.html HTTP/1.0\" "
      "200 1234 \"http://example.test/start\" \"curl/7.88.1\"\n"
      "192\\.0\\.2\\.7 - - \\[[^\\]]+\\] \"\" 501 0 \"-\" \"-\"\n");
  std::string text = support::ReadFile(path);
  EXPECT_TRUE(std::regex_match(text, lines)) << text;
}

TEST_F(AccessLogTest, NoRequestEndsAFieldOrALine) {
  const char bytes[] = "GET /\"a\\b\" 200 1 \"-\" \"-\"\n1.2.3.4 - - [x] \"\r\x01\x7F\xFF\0z";
  const std::string hostile(bytes, sizeof bytes - 1);
  AccessRecord record = Record(hostile);
  record.userAgent = hostile.data();
  record.userAgentLength = hostile.size();
  AccessLogWrite(&record);
  std::string text = support::ReadFile(path);
  const std::string escaped =
      "GET /\\x22a\\x5Cb\\x22 200 1 \\x22-\\x22 \\x22-\\x22\\x0A1.2.3.4 - - [x] \\x22\\x0D\\x01\\x7F"
      "\\xFF\\x00z";
  EXPECT_EQ(text.substr(text.find('"')), "\"" + escaped + "\" 200 1234 \"-\" \"" + escaped + "\"\n");
  EXPECT_EQ(Count(text, "\n"), 1);
  EXPECT_EQ(Count(text, "\""), 6);
}

TEST_F(AccessLogTest, ReopenWritesToTheFileNowAtThePathAndCloseStopsTheLog) {
  AccessRecord record = Record("GET /one HTTP/1.0");
  AccessLogWrite(&record);
  // Rotation renames the open log. A system that cannot rename an open file
  // (Windows, which has no signal to ask for a reopening either) keeps it
  // at its path, and a reopening goes on in the same file.
  bool renamed = rename(path.c_str(), (path + ".1").c_str()) == 0;
  record = Record("GET /two HTTP/1.0");
  AccessLogWrite(&record);
  {
    LogScope log(LOG_INFO);
    Capture out;
    AccessLogReopen();
    EXPECT_EQ(out.Text(), "[I] access-log-file " + path + " was reopened.\n");
  }
  record = Record("GET /three HTTP/1.0");
  AccessLogWrite(&record);
  if (renamed) {
    EXPECT_EQ(Count(support::ReadFile(path + ".1"), "\n"), 2);
    EXPECT_NE(support::ReadFile(path + ".1").find("/two"), std::string::npos);
    EXPECT_EQ(Count(support::ReadFile(path), "\n"), 1);
    // A path that cannot be opened keeps the old file.
    ASSERT_EQ(rename(dir.path().c_str(), (dir.path() + "-moved").c_str()), 0);
    {
      LogScope log(LOG_INFO);
      Capture out;
      AccessLogReopen();
      EXPECT_NE(out.Text().find("could not be reopened: the old file is kept."), std::string::npos);
    }
    record = Record("GET /four HTTP/1.0");
    AccessLogWrite(&record);
    ASSERT_EQ(rename((dir.path() + "-moved").c_str(), dir.path().c_str()), 0);
    EXPECT_NE(support::ReadFile(path).find("/four"), std::string::npos);
  } else {
    EXPECT_EQ(Count(support::ReadFile(path), "\n"), 3);
  }
  EXPECT_NE(support::ReadFile(path).find("\"GET /three HTTP/1.0\""), std::string::npos);
  AccessLogClose();
  EXPECT_FALSE(AccessLogOn());
  record = Record("GET /five HTTP/1.0");
  AccessLogWrite(&record);
  EXPECT_EQ(support::ReadFile(path).find("/five"), std::string::npos);
}
