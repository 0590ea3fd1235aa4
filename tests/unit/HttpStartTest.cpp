// The request line: the token scan and the dispatch by method.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/Http.h"
#include "unit/HttpSupport.h"
#include "unit/TestSupport.h"

using unit::Capture;
using unit::Collect;
using unit::ConfigScope;
using unit::TempRoot;

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

namespace {

struct Dispatched {
  std::string answer;
  std::string log;
};

Dispatched Dispatch(std::string request) {
  Dispatched d;
  Capture out;
  unit::Sent sent = Collect([&](PlatSocket sock) {
    std::string buffer = request + '\0';
    EXPECT_EQ(HTTP_start(sock, buffer.data(), static_cast<int>(request.size())), 0);
  });
  d.log = out.Text();
  d.answer = sent.All();
  return d;
}

std::string StatusLine(const std::string &answer) { return answer.substr(0, answer.find("\r\n")); }

}  // namespace

TEST(HTTP_start, DispatchByMethodAndSetting) {
  ConfigScope config;
  TempRoot root;
  snprintf(config->www_route, sizeof config->www_route, "%s", root.path().c_str());
  config->buffer_size = 8192;
  config->support_method = METHOD_GET | METHOD_HEAD | METHOD_POST;

  Dispatched get = Dispatch("GET /missing?q=1 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(StatusLine(get.answer), "HTTP/1.0 404 Not Found");
  EXPECT_NE(get.log.find("[D] Client version: HTTP/1.0\n[I] Request URI: /missing?q=1\n"
                         "[D] QUERY_STRING=q=1\n"),
            std::string::npos)
      << get.log;

  Dispatched post = Dispatch("POST /missing HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(StatusLine(post.answer), "HTTP/1.0 404 Not Found");
  EXPECT_NE(post.log.find("[I] Client version: HTTP/1.0\n[I] Request URI: /missing\n"),
            std::string::npos)
      << post.log;

  // HEAD is answered without looking at its URI.
  Dispatched head = Dispatch("HEAD /missing HTTP/1.0\r\n\r\n");
  EXPECT_EQ(StatusLine(head.answer), "HTTP/1.0 200 OK");
  EXPECT_NE(head.answer.find("\r\nContent-Length: 0\r\n\r\n"), std::string::npos);
  EXPECT_EQ(head.answer.find("Content-Type"), std::string::npos);
  EXPECT_EQ(head.log.find("Request URI"), std::string::npos);

  for (const char *request : {"get / HTTP/1.0\r\n\r\n", "Get / HTTP/1.0\r\n\r\n",
                              "PUT / HTTP/1.0\r\n\r\n", "DELETE / HTTP/1.0\r\n\r\n",
                              " / HTTP/1.0\r\n\r\n", "GETX / HTTP/1.0\r\n\r\n"}) {
    Dispatched other = Dispatch(request);
    EXPECT_EQ(StatusLine(other.answer), "HTTP/1.0 501 Not Implemented") << request;
    EXPECT_NE(other.answer.find("\r\nAllow: GET, HEAD, POST\r\n"), std::string::npos);
    EXPECT_EQ(other.log.find("Request URI"), std::string::npos);
  }
}

TEST(HTTP_start, MethodsSwitchedOffAreNotImplemented) {
  ConfigScope config;
  config->buffer_size = 8192;
  config->support_method = METHOD_GET;
  for (const char *request : {"POST / HTTP/1.0\r\n\r\n", "HEAD / HTTP/1.0\r\n\r\n"}) {
    Dispatched off = Dispatch(request);
    EXPECT_EQ(StatusLine(off.answer), "HTTP/1.0 501 Not Implemented") << request;
    EXPECT_NE(off.answer.find("\r\nAllow: GET\r\n"), std::string::npos) << off.answer;
  }
  config->support_method = METHOD_HEAD | METHOD_POST;
  EXPECT_EQ(StatusLine(Dispatch("GET / HTTP/1.0\r\n\r\n").answer), "HTTP/1.0 501 Not Implemented");
}
