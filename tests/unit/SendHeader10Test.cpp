// The response header: status table, line order, Allow line, date, length.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "http/Http.h"
#include "log/Log.h"
#include "support/Http.h"
#include "unit/HttpSupport.h"
#include "unit/TestSupport.h"

using unit::Capture;
using unit::Collect;
using unit::ConfigScope;

namespace {

std::string Header(unsigned kind, int64_t length, const char *contentType, std::string *log = nullptr) {
  Capture out;
  unit::Sent sent = Collect([&](PlatSocket sock) {
    EXPECT_EQ(SendHeader10(sock, kind, length, contentType), 0);
  });
  std::string logged = out.Text();
  if (log) *log = logged;
  EXPECT_EQ(sent.records.size(), 1u) << "the header goes out in one send";
  return sent.All();
}

std::string WithoutDate(const std::string &header) { return support::HeaderWithoutDate(header); }

}  // namespace

TEST(SendHeader10, LinesInOrder) {
  ConfigScope config;
  config->support_method = METHOD_GET | METHOD_HEAD | METHOD_POST;
  EXPECT_EQ(WithoutDate(Header(STATUS_OK, 1000, "text/html")),
            "HTTP/1.0 200 OK\r\nConnection: close\r\nDate: DATE\r\n"
            "Allow: GET, HEAD, POST\r\nContent-Type: text/html\r\n"
            "Server: Tarvel-Server\r\nContent-Length: 1000\r\n\r\n");
  EXPECT_EQ(WithoutDate(Header(STATUS_NOT_FOUND, 0, nullptr)),
            "HTTP/1.0 404 Not Found\r\nConnection: close\r\nDate: DATE\r\n"
            "Allow: GET, HEAD, POST\r\nServer: Tarvel-Server\r\nContent-Length: 0\r\n\r\n");
  // Answers whose body ends with the connection carry no length at all.
  EXPECT_EQ(WithoutDate(Header(STATUS_OK, CONTENT_LENGTH_NONE, "text/html")),
            "HTTP/1.0 200 OK\r\nConnection: close\r\nDate: DATE\r\n"
            "Allow: GET, HEAD, POST\r\nContent-Type: text/html\r\n"
            "Server: Tarvel-Server\r\n\r\n");
  // Documents beyond 2 GiB and 4 GiB keep their exact length.
  EXPECT_NE(Header(STATUS_OK, 5000000000LL, nullptr).find("\r\nContent-Length: 5000000000\r\n"),
            std::string::npos);
}

TEST(SendHeader10, AllowFollowsTheServedMethods) {
  ConfigScope config;
  const struct {
    uint32_t methods;
    const char *line;
  } cases[] = {{7, "Allow: GET, HEAD, POST"}, {5, "Allow: GET, POST"}, {3, "Allow: GET, HEAD"},
               {6, "Allow: HEAD, POST"},      {1, "Allow: GET"},       {2, "Allow: HEAD"},
               {4, "Allow: POST"},            {0, "Allow: "}};
  for (const auto &c : cases) {
    config->support_method = c.methods;
    EXPECT_NE(Header(STATUS_NOT_IMPLEMENTED, 0, nullptr).find(std::string("\r\n") + c.line + "\r\n"),
              std::string::npos)
        << c.methods;
  }
}

TEST(SendHeader10, StatusTable) {
  ConfigScope config;
  std::string log;
  EXPECT_EQ(Header(0, 0, nullptr).rfind("HTTP/1.0 000 Unknown Error\r\n", 0), 0u);
  EXPECT_EQ(Header(39, 0, nullptr).rfind("HTTP/1.0 505 HTTP Version not supported\r\n", 0), 0u);
  EXPECT_EQ(Header(40, 0, nullptr).rfind("HTTP/1.0 000 Unknown Error\r\n", 0), 0u);
  EXPECT_EQ(Header(STATUS_FORBIDDEN, 0, nullptr, &log).rfind("HTTP/1.0 403 Forbidden\r\n", 0), 0u);
  EXPECT_EQ(log, "[D] Result Header : 403 Forbidden\n");
  EXPECT_EQ(Header(STATUS_NOT_IMPLEMENTED, 0, nullptr).rfind("HTTP/1.0 501 Not Implemented\r\n", 0),
            0u);
  // Each status number once, the kinds in ascending order after kind 5.
  for (unsigned kind = 7; kind < STATUS_KINDS; ++kind) EXPECT_LT(StatusCode(kind - 1), StatusCode(kind));
  EXPECT_EQ(StatusCode(6), 100);
  EXPECT_EQ(StatusCode(20), 307);
  EXPECT_EQ(StatusCode(21), 405);
  EXPECT_STREQ(ReasonPhrase[32], "Requested range not satisfiable");
  EXPECT_EQ(StatusCode(40), 0);
}

TEST(SendHeader10, DateIsUtcWithEnglishNames) {
  ConfigScope config;
  // A zone far from UTC: a local conversion would show.
  const char *saved = getenv("TZ");
  std::string savedZone = saved ? saved : "";
  setenv("TZ", "XYZ-9", 1);
  tzset();
  time_t before = time(nullptr);
  std::string header = Header(STATUS_OK, 0, nullptr);
  time_t after = time(nullptr);
  if (saved) setenv("TZ", savedZone.c_str(), 1); else unsetenv("TZ");
  tzset();

  size_t at = header.find("\r\nDate: ");
  ASSERT_NE(at, std::string::npos) << header;
  std::string date = header.substr(at + 8, header.find("\r\n", at + 8) - at - 8);
  time_t stamp = support::ParseHttpDate(date);
  ASSERT_NE(stamp, -1) << date;
  EXPECT_GE(stamp, before) << date;
  EXPECT_LE(stamp, after) << date;
}

TEST(SendHeader10, FailedSendIsLoggedWithoutDump) {
  ConfigScope config;
  LogConfigure(LOG_DEBUG, 0, 1);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  close(pair[1]);
  Capture out;
  EXPECT_EQ(SendHeader10(pair[0], STATUS_OK, 0, nullptr), -1);
  std::string log = out.Text();
  close(pair[0]);
  EXPECT_NE(log.find("[W] Failed send() errno=32\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Sended Data"), std::string::npos);

  std::string header = Header(STATUS_OK, 0, nullptr, &log);
  EXPECT_NE(log.find("*** DUMP(Sended Data / size=" + std::to_string(header.size()) + ") ***"),
            std::string::npos)
      << log;
}

TEST(SendHeader10, AnswersOfAConnectionNameTheirModificationTimeAndAreCounted) {
  ConfigScope config;
  config->support_method = METHOD_GET;
  Connection conn = {};
  std::string header;
  unit::Sent sent = Collect([&](PlatSocket sock) {
    conn.sock = sock;
    EXPECT_EQ(SendAnswerHeader10(&conn, STATUS_OK, 5, "text/plain", 784111777,
                                 BodyPiece{"hello", 5}),
              5);
  });
  EXPECT_EQ(WithoutDate(sent.All()),
            "HTTP/1.0 200 OK\r\nConnection: close\r\nDate: DATE\r\nAllow: GET\r\n"
            "Content-Type: text/plain\r\nServer: Tarvel-Server\r\nContent-Length: 5\r\n"
            "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n");
  EXPECT_EQ(sent.All().substr(sent.All().size() - 5), "hello");
  EXPECT_EQ(conn.answer.status, 200);
  EXPECT_EQ(conn.answer.bodyBytes, 5u);

  // 304: no body and no length; without a time no Last-Modified line.
  conn = {};
  sent = Collect([&](PlatSocket sock) {
    conn.sock = sock;
    EXPECT_EQ(SendAnswerHeader10(&conn, STATUS_NOT_MODIFIED, CONTENT_LENGTH_NONE, nullptr, 0,
                                 BodyPiece{nullptr, 0}),
              0);
    EXPECT_EQ(SendAnswerHeader10(&conn, STATUS_NOT_FOUND, 0, nullptr, LAST_MODIFIED_NONE,
                                 BodyPiece{nullptr, 0}),
              0);
  });
  ASSERT_EQ(sent.records.size(), 2u);
  EXPECT_EQ(WithoutDate(sent.records[0]),
            "HTTP/1.0 304 Not Modified\r\nConnection: close\r\nDate: DATE\r\nAllow: GET\r\n"
            "Server: Tarvel-Server\r\nLast-Modified: Thu, 01 Jan 1970 00:00:00 GMT\r\n\r\n");
  EXPECT_EQ(WithoutDate(sent.records[1]), WithoutDate(Header(STATUS_NOT_FOUND, 0, nullptr)));
  EXPECT_EQ(conn.answer.status, 404);
  EXPECT_EQ(conn.answer.bodyBytes, 0u);
}
