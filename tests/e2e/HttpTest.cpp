// The HTTP layer through the real server: methods, exact headers, document
// mapping, refusals and large bodies.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <sstream>
#include <string>

#include "e2e/Harness.h"

using namespace e2e;

namespace {

std::string HeaderOf(const std::string &raw) { return support::HeaderWithoutDate(raw); }

std::string Expected(const std::string &status, const std::string &allow,
                     const std::string &contentType, size_t length) {
  std::string header = "HTTP/1.0 " + status + "\r\nConnection: close\r\nDate: DATE\r\nAllow: " +
                       allow + "\r\n";
  if (!contentType.empty()) header += "Content-Type: " + contentType + "\r\n";
  return header + "Server: Tarvel-Server\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

// BaseConfig without its support-method lines, and with these instead.
std::string ConfigWithMethods(const Service &service, const std::string &root,
                              const std::vector<std::string> &methods) {
  std::istringstream lines(BaseConfig(service, root));
  std::string config, line;
  while (std::getline(lines, line))
    if (line.rfind("support-method", 0) != 0) config += line + "\n";
  for (const std::string &method : methods) config += "support-method = " + method + "\n";
  return config;
}

class Http : public ::testing::Test {
 protected:
  void SetUp() override {
    root = dir.Path("www");
    dir.Write("www/index.html", "<html>index</html>\n");
    dir.Write("www/docs/index.html", "<html>docs</html>\n");
    dir.Write("www/a.txt", "plain text\n");
    dir.Write("www/empty.txt", "");
    dir.Write("www-old/secret.txt", "SECRET-OLD");
    dir.Write("www2/secret.txt", "SECRET2");
    dir.Write("secret.txt", "SECRET");
  }

  void Start(const std::string &config) {
    ASSERT_TRUE(server.StartWith(config)) << server.Stdout();
  }

  TempDir dir;
  Service service;
  Server server{dir};
  std::string root;
};

}  // namespace

TEST_F(Http, MethodsWithTheirExactHeaders) {
  Start(BaseConfig(service, root));
  const std::string all = "GET, HEAD, POST";

  std::string get = Exchange(service.port(), "GET /index.html HTTP/1.0\r\nHost: x\r\n\r\n");
  EXPECT_EQ(HeaderOf(get), Expected("200 OK", all, "text/html", 19));
  EXPECT_EQ(Parse(get).body, "<html>index</html>\n");
  EXPECT_TRUE(server.WaitForLog("[D] Client version: HTTP/1.0\n[I] Request URI: /index.html\n"))
      << server.Stdout();

  std::string post =
      Exchange(service.port(), "POST /a.txt HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_EQ(HeaderOf(post), Expected("200 OK", all, "text/plain", 11));
  EXPECT_EQ(Parse(post).body, "plain text\n");
  EXPECT_TRUE(server.WaitForLog("[I] Client version: HTTP/1.0\n[I] Request URI: /a.txt\n"));

  std::string head = Exchange(service.port(), "HEAD /no/such/thing HTTP/1.0\r\n\r\n");
  EXPECT_EQ(HeaderOf(head), Expected("200 OK", all, "", 0));
  EXPECT_TRUE(Parse(head).complete);
  EXPECT_EQ(Parse(head).body, "");

  for (const char *request : {"get /index.html HTTP/1.0\r\n\r\n", "Post / HTTP/1.0\r\n\r\n",
                              "PUT /index.html HTTP/1.0\r\n\r\n", "OPTIONS * HTTP/1.0\r\n\r\n",
                              " /index.html HTTP/1.0\r\n\r\n"}) {
    std::string answer = Exchange(service.port(), request);
    EXPECT_EQ(HeaderOf(answer), Expected("501 Not Implemented", all, "", 0)) << request;
    EXPECT_EQ(Parse(answer).body, "");
  }
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Http, MethodsSwitchedOff) {
  Start(ConfigWithMethods(service, root, {"GET"}));
  for (const char *request : {"POST /index.html HTTP/1.0\r\n\r\n", "HEAD / HTTP/1.0\r\n\r\n"})
    EXPECT_EQ(HeaderOf(Exchange(service.port(), request)),
              Expected("501 Not Implemented", "GET", "", 0))
        << request;
  EXPECT_EQ(HeaderOf(Exchange(service.port(), "GET /a.txt HTTP/1.0\r\n\r\n")),
            Expected("200 OK", "GET", "text/plain", 11));
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Http, GetSwitchedOff) {
  Start(ConfigWithMethods(service, root, {"HEAD", "POST"}));
  EXPECT_EQ(HeaderOf(Exchange(service.port(), "GET /a.txt HTTP/1.0\r\n\r\n")),
            Expected("501 Not Implemented", "HEAD, POST", "", 0));
  EXPECT_EQ(HeaderOf(Exchange(service.port(), "POST /a.txt HTTP/1.0\r\n\r\n")),
            Expected("200 OK", "HEAD, POST", "text/plain", 11));
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Http, ForbiddenAndNotFound) {
  Start(BaseConfig(service, root));
  for (const char *uri : {"/../secret.txt", "/../www2/secret.txt", "-old/secret.txt",
                          "/docs/../../www-old/secret.txt", "//..//..//secret.txt"}) {
    std::string answer = Exchange(service.port(), std::string("GET ") + uri + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(HeaderOf(answer), Expected("403 Forbidden", "GET, HEAD, POST", "", 0)) << uri;
    EXPECT_EQ(answer.find("SECRET"), std::string::npos);
  }
  for (const char *uri : {"/missing.html", "/docs", "/..%2Fsecret.txt", ""}) {
    std::string answer = Exchange(service.port(), std::string("GET ") + uri + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(HeaderOf(answer), Expected("404 Not Found", "GET, HEAD, POST", "", 0)) << uri;
  }
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Http, DocumentsAndMapping) {
  std::string random(1 << 20, '\0');
  std::mt19937 generator(4);
  for (char &byte : random) byte = static_cast<char>(generator());
  dir.Write("www/random.bin", random);
  Start(BaseConfig(service, root));

  Response big = Get(service.port(), "/random.bin");
  ASSERT_TRUE(big.complete);
  ASSERT_NE(big.Header("Content-Length"), nullptr);
  EXPECT_EQ(*big.Header("Content-Length"), "1048576");
  EXPECT_EQ(*big.Header("Content-Type"), "application/octet-stream");
  EXPECT_TRUE(big.body == random) << "body differs, " << big.body.size() << " bytes";

  std::string empty = Exchange(service.port(), "GET /empty.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(HeaderOf(empty), Expected("200 OK", "GET, HEAD, POST", "text/plain", 0));
  EXPECT_EQ(Parse(empty).body, "");

  EXPECT_EQ(Get(service.port(), "/").body, "<html>index</html>\n");
  EXPECT_EQ(Get(service.port(), "/docs/").body, "<html>docs</html>\n");
  EXPECT_EQ(Get(service.port(), "/docs/../a.txt").body, "plain text\n");

  EXPECT_EQ(Get(service.port(), "/a.txt?a=1&b=/x").body, "plain text\n");
  EXPECT_TRUE(server.WaitForLog("[I] Request URI: /a.txt?a=1&b=/x\n[D] QUERY_STRING=a=1&b=/x\n"))
      << server.Stdout();
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Http, ClientResetDuringALargeBody) {
  // Far more than the sockets on both ends can hold; sparse, so it costs no disk.
  std::string large = dir.Write("www/large.bin", "");
  ASSERT_EQ(truncate(large.c_str(), 256LL * 1024 * 1024), 0);
  Start(BaseConfig(service, root));

  int fd = Connect(service.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, "GET /large.bin HTTP/1.0\r\n\r\n"));
  std::string start = ReadToClose(fd, 15000, 256 * 1024);
  EXPECT_NE(start.find("\r\nContent-Length: 268435456\r\n"), std::string::npos);
  CloseWithReset(fd);

  ASSERT_TRUE(server.WaitForLog("[W] Failed send() errno=")) << server.Stdout();
  EXPECT_EQ(Get(service.port(), "/a.txt").body, "plain text\n");
  EXPECT_TRUE(server.WaitForLog("Body was sended.", 10000, 1));
  std::string out = server.Stdout();
  EXPECT_EQ(Count(out, "Failed"), 1) << out;
  EXPECT_EQ(Count(out, "[E]"), 0) << out;
  EXPECT_EQ(server.Stop(), 0);
}

// A request longer than one receive leaves bytes unread, and the close then
// resets the connection: the whole answer must still have gone out first.
TEST_F(Http, AnswersToRequestsLongerThanOneReceiveArriveWhole) {
  std::string config = BaseConfig(service, root);
  config.replace(config.find("buffer-size = 8192"), 18, "buffer-size = 64");
  Start(config);
  std::string padding = "X-Padding: " + std::string(400, 'p') + "\r\n";
  std::string answer =
      Exchange(service.port(), "GET /a.txt HTTP/1.0\r\n" + padding + padding + "\r\n");
  EXPECT_EQ(HeaderOf(answer), Expected("200 OK", "GET, HEAD, POST", "text/plain", 11));
  EXPECT_EQ(Parse(answer).body, "plain text\n");
  answer = Exchange(service.port(), "GET /missing.txt HTTP/1.0\r\n" + padding + "\r\n");
  EXPECT_EQ(HeaderOf(answer), Expected("404 Not Found", "GET, HEAD, POST", "", 0));
  EXPECT_EQ(server.Stop(), 0);
}
