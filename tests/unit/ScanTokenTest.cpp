// The request line's token scan.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/Http.h"

namespace {

struct Scanned {
  std::string method, uri, version, data;
  bool dataAtEnd;  // the request data begins exactly behind the received bytes
};

// Cuts a request the way HTTP_start does. Behind the received bytes and
// their NUL stands text that no token may ever reach.
Scanned Scan(const std::string &request) {
  std::string buffer = request + std::string(1, '\0') + "BEYOND";
  char *start = buffer.data();
  char *end = start + request.size();
  char *cursor = start;
  Scanned s;
  s.method = ScanToken(&cursor, end);
  s.uri = ScanToken(&cursor, end);
  s.version = ScanToken(&cursor, end);
  s.data = cursor;
  s.dataAtEnd = cursor == end;
  return s;
}

}  // namespace

TEST(ScanToken, LineEndsAndBlanks) {
  Scanned crlf = Scan("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(crlf.method, "GET");
  EXPECT_EQ(crlf.uri, "/");
  EXPECT_EQ(crlf.version, "HTTP/1.0");
  EXPECT_EQ(crlf.data, "\r\n");

  Scanned lf = Scan("GET / HTTP/1.0\nHost: x\n\n");
  EXPECT_EQ(lf.version, "HTTP/1.0");
  EXPECT_EQ(lf.data, "Host: x\n\n");

  // Blanks are not skipped: two of them make an empty URI.
  Scanned two = Scan("GET  /x HTTP/1.0\r\n");
  EXPECT_EQ(two.uri, "");
  EXPECT_EQ(two.version, "/x");
  EXPECT_EQ(two.data, "HTTP/1.0\r\n");

  // A carriage return inside a token cuts it; a NUL inside the received
  // bytes ends a token and the scan goes on behind it.
  Scanned cr = Scan(std::string("GE\rT /a\0b HTTP/1.0\r\n", 20));
  EXPECT_EQ(cr.method, "GE");
  EXPECT_EQ(cr.uri, "/a");
  EXPECT_EQ(cr.version, "b");
  EXPECT_EQ(cr.data, "HTTP/1.0\r\n");
}

TEST(ScanToken, MissingVersionTakesTheNextLinesFirstWord) {
  Scanned alone = Scan("GET /index.html\r\n");
  EXPECT_EQ(alone.uri, "/index.html");
  EXPECT_EQ(alone.version, "");
  EXPECT_TRUE(alone.dataAtEnd);

  Scanned host = Scan("GET /index.html\r\nHost: x\r\n\r\n");
  EXPECT_EQ(host.version, "Host:");
  EXPECT_EQ(host.data, "x\r\n\r\n");
}

TEST(ScanToken, RequestEndingInsideTheRequestLineStaysInsideTheBytes) {
  for (const char *request : {"GET", "GET ", "GET /x", "GET /x ", "GET /x HTTP/1.0", "GET /x\r",
                              ""}) {
    Scanned s = Scan(request);
    SCOPED_TRACE(request);
    EXPECT_EQ(s.method, std::string(request).substr(0, 3));
    EXPECT_EQ(s.uri.find("BEYOND"), std::string::npos);
    EXPECT_EQ(s.version.find("BEYOND"), std::string::npos);
    EXPECT_EQ(s.data, "");
    EXPECT_TRUE(s.dataAtEnd);
  }
  EXPECT_EQ(Scan("GET /x").uri, "/x");
  EXPECT_EQ(Scan("GET /x HTTP/1.0").version, "HTTP/1.0");
}
