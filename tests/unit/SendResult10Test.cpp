// Document responses: the containment test, the mapping of URIs to
// documents and the streaming of their bodies.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "config/ConfigTbl.h"
#include "http/Http.h"
#include "support/Basics.h"
#include "unit/HttpSupport.h"
#include "unit/TestSupport.h"

using unit::Capture;
using unit::Collect;
using unit::ConfigScope;

TEST(PathWithinRoot, OnlyTheRootAndBelow) {
  EXPECT_TRUE(PathWithinRoot("/srv/www", "/srv/www"));
  EXPECT_TRUE(PathWithinRoot("/srv/www/", "/srv/www"));
  EXPECT_TRUE(PathWithinRoot("/srv/www/a/b.html", "/srv/www"));
  EXPECT_TRUE(PathWithinRoot("/srv/www/a", "/srv/www/"));
  EXPECT_TRUE(PathWithinRoot("/srv/www", "/srv/www/"));
  EXPECT_FALSE(PathWithinRoot("/srv/www2/secret", "/srv/www"));
  EXPECT_FALSE(PathWithinRoot("/srv/www-old/secret", "/srv/www"));
  EXPECT_FALSE(PathWithinRoot("/srv/ww", "/srv/www"));
  EXPECT_FALSE(PathWithinRoot("/srv", "/srv/www"));
  EXPECT_FALSE(PathWithinRoot("/", "/srv/www"));
  EXPECT_FALSE(PathWithinRoot("/x/srv/www/a", "/srv/www"));  // inside the text, not below
  EXPECT_FALSE(PathWithinRoot("/SRV/WWW/a", "/srv/www"));
  // A resolution that left a dot component behind is never trusted.
  EXPECT_FALSE(PathWithinRoot("/srv/www/../secret", "/srv/www"));
  EXPECT_FALSE(PathWithinRoot("/srv/www/a/..", "/srv/www"));
  EXPECT_FALSE(PathWithinRoot("/srv/www/./a", "/srv/www"));
  EXPECT_TRUE(PathWithinRoot("/srv/www/.../a", "/srv/www"));  // a name like any other
  EXPECT_TRUE(PathWithinRoot("/srv/www/.a/b..", "/srv/www"));
  // The file system's root holds everything.
  EXPECT_TRUE(PathWithinRoot("/", "/"));
  EXPECT_TRUE(PathWithinRoot("/etc/passwd", "/"));
}

namespace {

// A document root with documents, and siblings of it that must stay out of reach.
class Documents : public ::testing::Test {
 protected:
  void SetUp() override {
    root = top.path() + "/www";
    top.Write("www/index.html", "<p>index</p>");
    top.Write("www/docs/index.html", "<p>docs</p>");
    top.Write("www/a.txt", "plain");
    top.Write("www/empty.txt", "");
    top.Write("www/..%2Fsecret.txt", "encoded name");
    top.Write("www2/secret.txt", "SECRET2");
    top.Write("www-old/secret.txt", "SECRET-OLD");
    top.Write("secret.txt", "SECRET");
    Use(root);
    snprintf(config->default_html, sizeof config->default_html, "index.html");
    config->buffer_size = 8192;
    char html[] = "html:text/html", txt[] = "txt:text/plain";
    ContentTypeAdd(&config->content_type, html);
    ContentTypeAdd(&config->content_type, txt);
  }

  void Use(const std::string &wwwRoute) {
    snprintf(config->www_route, sizeof config->www_route, "%s", wwwRoute.c_str());
  }

  // Answers one GET for the URI with a request of its own length.
  unit::Sent Get(const std::string &uri, int *result = nullptr) {
    std::string request = "GET " + uri + " HTTP/1.0\r\n\r\n";
    std::string buffer(static_cast<size_t>(config->buffer_size), '\0');
    memcpy(buffer.data(), request.data(), request.size());
    // The URI token is cut out of the buffer the way the request line scan does.
    char *uriInBuffer = buffer.data() + 4;
    uriInBuffer[uri.size()] = '\0';
    Capture out;
    unit::Sent sent = Collect([&](PlatSocket sock) {
      Connection conn = {};
      conn.sock = sock;
      conn.buffer = buffer.data();
      conn.bufferSize = config->buffer_size;
      conn.received = static_cast<int>(request.size());
      conn.request.uri = uriInBuffer;
      conn.request.data = buffer.data() + request.size();
      int r = SendResult10(&conn);
      if (result) *result = r;
    });
    log = out.Text();
    return sent;
  }

  std::string Status(const std::string &uri) {
    std::string all = Get(uri).All();
    return all.substr(9, 3);
  }

  std::string Body(const std::string &uri) {
    std::string all = Get(uri).All();
    size_t end = all.find("\r\n\r\n");
    return end == std::string::npos ? "" : all.substr(end + 4);
  }

  ConfigScope config;
  support::TempDir top;
  std::string root;
  std::string log;
};

}  // namespace

TEST_F(Documents, TraversalAttemptsAreForbidden) {
  for (const char *uri : {"/../secret.txt", "/../www2/secret.txt", "-old/secret.txt",
                          "2/secret.txt", "/a/../../secret.txt", "//..//secret.txt",
                          "/./../www-old/secret.txt", "/..", "/docs/../../www2/secret.txt",
                          "/../../../../../../../../etc/passwd"}) {
    EXPECT_EQ(Status(uri), "403") << uri;
    EXPECT_EQ(log.find("SECRET"), std::string::npos);
  }
  // The 403 leaves nothing in the log but the header line.
  Get("/../secret.txt");
  EXPECT_NE(log.find("[D] Result Header : 403 Forbidden\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Failed"), std::string::npos) << log;

  // Not decoded: an encoded ".." is a name like any other.
  EXPECT_EQ(Body("/..%2Fsecret.txt"), "encoded name");
  EXPECT_EQ(Status("/..%2F..%2Fsecret.txt"), "404");
  // Ways back into the root are fine, the root itself is no document.
  EXPECT_EQ(Body("/docs/../a.txt"), "plain");
  EXPECT_EQ(Body("//docs///..//./a.txt"), "plain");
  EXPECT_EQ(Body("/../www/a.txt"), "plain");
  EXPECT_EQ(Status(""), "404");
  EXPECT_EQ(Status("/."), "404");
}

TEST_F(Documents, RootsWrittenInOtherWays) {
  // A root with a separator at its end, or repeated ones, resolves the same.
  Use(root + "/");
  EXPECT_EQ(Body("index.html"), "<p>index</p>");
  EXPECT_EQ(Status("/../www2/secret.txt"), "403");
  Use(top.path() + "//www/./");
  EXPECT_EQ(Body("/a.txt"), "plain");
  EXPECT_EQ(Status("/../www-old/secret.txt"), "403");

  // A relative root is taken against the current directory.
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(top.path().c_str()), 0);
  Use("www");
  std::string inside = Body("/a.txt");
  std::string outside = Status("/../www2/secret.txt");
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_EQ(inside, "plain");
  EXPECT_EQ(outside, "403");

  // No root: the whole file system, "/" likewise.
  Use("");
  EXPECT_EQ(Body(top.path() + "/secret.txt"), "SECRET");
  Use("/");
  EXPECT_EQ(Body(top.path() + "/www2/secret.txt"), "SECRET2");
}

TEST_F(Documents, NotFound) {
  // A folder is no document.
  int result = 1;
  EXPECT_EQ(Get("/docs", &result).All().substr(0, 22), "HTTP/1.0 404 Not Found");
  EXPECT_EQ(result, 0);
  EXPECT_NE(log.find("[D] Failed open() errno=21\n"), std::string::npos) << log;
  EXPECT_EQ(Status("/missing.html"), "404");
  EXPECT_NE(log.find("[D] Failed open() errno=2\n"), std::string::npos) << log;

  // A FIFO is refused without waiting for a writer.
  ASSERT_EQ(mkfifo((root + "/pipe.txt").c_str(), 0644), 0);
  EXPECT_EQ(Status("/pipe.txt"), "404");
}

TEST_F(Documents, PathTooLongForTheBufferIsNotFound) {
  std::string uri = "/" + std::string(PLAT_MAX_PATH, 'a');
  EXPECT_EQ(Status(uri), "404");
  EXPECT_NE(log.find("[D] Failed GetFullPathName() errno=36\n"), std::string::npos) << log;
  // What counts is the resolved length.
  EXPECT_EQ(Body(uri + "/../a.txt"), "plain");
}

TEST_F(Documents, BodyGoesOutInPiecesOfTheWholeBuffer) {
  config->buffer_size = 4096;
  std::string content;
  for (int i = 0; i < 10000; ++i) content += static_cast<char>('a' + i * 7 % 26);
  top.Write("www/big.txt", content);
  int result = -1;
  unit::Sent sent = Get("/big.txt", &result);  // a request of 28 bytes
  EXPECT_EQ(result, 0);
  ASSERT_GE(sent.records.size(), 2u);
  EXPECT_NE(sent.records[0].find("\r\nContent-Length: 10000\r\n"), std::string::npos);
  // A document larger than the buffer goes from the file to the socket at
  // once: no piece as small as the request.
  std::string body;
  for (size_t i = 1; i < sent.records.size(); ++i) {
    EXPECT_GE(sent.records[i].size(), 4096u) << i;
    body += sent.records[i];
  }
  EXPECT_EQ(body, content);

  // A document that fits into one piece leaves in one send with its header.
  top.Write("www/piece.txt", content.substr(0, 4096));
  sent = Get("/piece.txt", &result);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(sent.records.size(), 1u);
  size_t end = sent.records[0].find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos);
  EXPECT_NE(sent.records[0].find("\r\nContent-Length: 4096\r\n"), std::string::npos);
  EXPECT_EQ(sent.records[0].substr(end + 4), content.substr(0, 4096));
}

TEST_F(Documents, CgiDocumentsAreNeverServedAsFiles) {
  top.Write("www/t.cgi", "#!/bin/sh\necho SOURCE\n");
  char entry[] = "cgi | /nonexistent/interpreter | -x";
  CgiTypeAdd(&config->cgi_type, entry);
  // Without the look-up every CGI document would be sent as a file.
  ASSERT_STREQ(CgiTypeProgram("/www/t.cgi"), "/nonexistent/interpreter");
  // The program cannot start, so nothing may be answered at all; the
  // script's text must never reach the client, however it is named.
  for (const char *uri : {"/t.cgi", "/t.cgi/.", "/x/../t.cgi", "/t.cgi/x/..", "//t.cgi?q"}) {
    EXPECT_EQ(Get(uri).All().find("SOURCE"), std::string::npos) << uri;
  }
  EXPECT_EQ(Status("/missing.cgi"), "404");
}
