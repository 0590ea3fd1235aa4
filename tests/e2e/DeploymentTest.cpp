// The keys of a deployment through the real server: validators of static
// documents (last-modified), the access log in the Combined Log Format
// (access-log-file) read back by GoAccess, and clients behind a load
// balancer (proxy-protocol, proxy-from) in both PROXY header versions.
// Each runs against the Windows build as well; what needs a signal that
// Wine keeps for itself is skipped there.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/Harness.h"

using namespace e2e;

namespace {

const time_t Modified = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

std::string HttpDate(time_t moment) {
  struct tm utc;
  gmtime_r(&moment, &utc);
  char text[64];
  strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return text;
}

std::string GetSince(const std::string &uri, const std::string &since) {
  return "GET " + uri + " HTTP/1.0\r\nIf-Modified-Since: " + since + "\r\n\r\n";
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

class Deployment : public ::testing::Test {
 protected:
  void SetUp() override {
    root = dir.Path("www");
    index = dir.Write("www/index.html", "<html>index</html>\n");
    struct utimbuf times = {Modified, Modified};
    ASSERT_EQ(utime(index.c_str(), &times), 0);
    dir.Write("www/test.cgi", "stands for testcgi\n");
    dir.Write("secret.txt", "SECRET");
    accessLog = dir.Path("access.log");
  }

  std::string Config(const std::string &extra) {
    return BaseConfig(service, root) + "cgi-type = cgi | " + TestCgiPath() + " |\n" + extra;
  }

  void Start(const std::string &extra) {
    ASSERT_TRUE(server.StartWith(Config(extra))) << server.Stdout();
  }

  // Waits until the access log holds this many lines.
  std::vector<std::string> AccessLines(size_t count) {
    WaitFor([&] { return Lines(ReadFile(accessLog)).size() >= count; }, 10000);
    return Lines(ReadFile(accessLog));
  }

  TempDir dir;
  Service service;
  Server server{dir};
  std::string root, index, accessLog;
};

}  // namespace

// ------------------------------------------------------------ validators

TEST_F(Deployment, ValidatorsOfStaticDocuments) {
  Start("last-modified = on\n");
  const std::string lastModified = "Last-Modified: " + HttpDate(Modified) + "\r\n";
  Response full = Parse(Exchange(service.port(), "GET /index.html HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(full.status, 200);
  EXPECT_NE(full.raw.find("\r\nContent-Length: 19\r\n" + lastModified + "\r\n"), std::string::npos)
      << full.raw;
  EXPECT_EQ(full.body, "<html>index</html>\n");

  // At or after the modification time, in each of the three forms: 304, no
  // body, no length.
  for (const std::string &since :
       {HttpDate(Modified), HttpDate(Modified + 3600), std::string("Sunday, 06-Nov-94 08:49:37 GMT"),
        std::string("Sun Nov  6 08:49:37 1994"), HttpDate(time(nullptr))}) {
    std::string raw = Exchange(service.port(), GetSince("/index.html", since));
    Response answer = Parse(raw);
    EXPECT_EQ(answer.status, 304) << since << "\n" << raw;
    EXPECT_TRUE(answer.complete);
    EXPECT_EQ(answer.body, "") << since;
    EXPECT_EQ(answer.Header("Content-Length"), nullptr) << since;
    EXPECT_EQ(support::HeaderWithoutDate(raw),
              "HTTP/1.0 304 Not Modified\r\nConnection: close\r\nDate: DATE\r\n"
              "Allow: GET, HEAD, POST\r\nServer: Tarvel-Server\r\n" + lastModified + "\r\n");
  }
  // Before it, in the future, unparsable: the whole document.
  for (const std::string &since :
       {HttpDate(Modified - 1), HttpDate(time(nullptr) + 86400), std::string("yesterday"),
        std::string("Sun, 06 Nov 1994 08:49:37"), std::string("")}) {
    Response answer = Parse(Exchange(service.port(), GetSince("/index.html", since)));
    EXPECT_EQ(answer.status, 200) << since;
    EXPECT_EQ(answer.body, "<html>index</html>\n") << since;
  }
  // A POST is answered in full; HEAD keeps its bare 200; a CGI answer is
  // the program's, with no date of its own; errors name no date.
  Response post = Parse(Exchange(service.port(), "POST /index.html HTTP/1.0\r\nIf-Modified-Since: " +
                                                     HttpDate(Modified) + "\r\n\r\n"));
  EXPECT_EQ(post.status, 200);
  EXPECT_EQ(post.body, "<html>index</html>\n");
  std::string head = Exchange(service.port(), "HEAD /index.html HTTP/1.0\r\n\r\n");
  EXPECT_EQ(support::HeaderWithoutDate(head),
            "HTTP/1.0 200 OK\r\nConnection: close\r\nDate: DATE\r\nAllow: GET, HEAD, POST\r\n"
            "Server: Tarvel-Server\r\nContent-Length: 0\r\n\r\n");
  Response cgi = Parse(Exchange(service.port(), GetSince("/test.cgi", HttpDate(time(nullptr)))));
  EXPECT_EQ(cgi.status, 200);
  EXPECT_EQ(cgi.Header("Last-Modified"), nullptr);
  EXPECT_NE(cgi.body.find("CONTENT_LENGTH"), std::string::npos) << cgi.raw;
  Response missing = Parse(Exchange(service.port(), GetSince("/none.html", HttpDate(Modified))));
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.Header("Last-Modified"), nullptr);
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Deployment, WithoutLastModifiedTheHeaderIsAsBeforeAndDatesAreIgnored) {
  Start("last-modified = off\n");
  std::string raw = Exchange(service.port(), GetSince("/index.html", HttpDate(time(nullptr))));
  EXPECT_EQ(support::HeaderWithoutDate(raw),
            "HTTP/1.0 200 OK\r\nConnection: close\r\nDate: DATE\r\nAllow: GET, HEAD, POST\r\n"
            "Content-Type: text/html\r\nServer: Tarvel-Server\r\nContent-Length: 19\r\n\r\n");
  EXPECT_EQ(Parse(raw).body, "<html>index</html>\n");
  EXPECT_TRUE(server.WaitForLog("[I] last-modified: [off]\n"));
  EXPECT_EQ(server.Stop(), 0);
}

// ------------------------------------------------------------ access log

TEST_F(Deployment, AccessLogThatLogToolsRead) {
  Start("last-modified = on\naccess-log-file = " + NativePath(accessLog) + "\n");
  struct Case {
    std::string request;
    std::string line;  // the line's pattern after the time
  };
  const std::vector<Case> cases = {
      {"GET /index.html HTTP/1.0\r\nReferer: http://127.0.0.1/start\r\nUser-Agent: e2e \"agent\"\r\n\r\n",
       R"("GET /index.html HTTP/1.0" 200 19 "http://127.0.0.1/start" "e2e \\x22agent\\x22")"},
      {GetSince("/index.html", HttpDate(Modified)), R"("GET /index.html HTTP/1.0" 304 0 "-" "-")"},
      {"GET /missing.html HTTP/1.0\r\n\r\n", R"("GET /missing.html HTTP/1.0" 404 0 "-" "-")"},
      {"GET /../secret.txt HTTP/1.0\r\n\r\n", R"("GET /../secret.txt HTTP/1.0" 403 0 "-" "-")"},
      {"HEAD / HTTP/1.0\r\n\r\n", R"("HEAD / HTTP/1.0" 200 0 "-" "-")"},
      {"PUT /index.html HTTP/1.0\r\n\r\n", R"("PUT /index.html HTTP/1.0" 501 0 "-" "-")"},
      {"GET /test.cgi?a=1 HTTP/1.0\r\n\r\n", R"("GET /test.cgi\?a=1 HTTP/1.0" 200 [1-9][0-9]* "-" "-")"},
      // A request that tries to end its field and write a line of its own.
      {"GET /\" 200 1 \"-\" \"-\"\r127.0.0.9 - - [x] \"GET /forged HTTP/1.0\r\n\r\n",
       R"("GET /\\x22 200 1 \\x22-\\x22 \\x22-\\x22\\x0D127\.0\.0\.9 - - \[x\] \\x22GET /forged HTTP/1\.0" 404 0 "-" "-")"},
      {std::string("\x16\x03\x01\x00\xff\x01", 6) + "\r\n\r\n", R"("\\x16\\x03\\x01\\x00\\xFF\\x01" 501 0 "-" "-")"},
      {"\r\n", R"("" 501 0 "-" "-")"},
  };
  for (const Case &c : cases) Exchange(service.port(), c.request);
  // A client that sends nothing was never answered: no line.
  int silent = Connect(service.port());
  ASSERT_GE(silent, 0);
  close(silent);
  ASSERT_TRUE(server.WaitForLog("Failed recv() errno=0"));
  Exchange(service.port(), "GET /index.html HTTP/1.0\r\n\r\n");  // the last line

  // Each line is written once its connection is closed: two of them may
  // come in either order.
  std::vector<std::string> lines = AccessLines(cases.size() + 1);
  ASSERT_EQ(lines.size(), cases.size() + 1) << ReadFile(accessLog);
  const std::string start = R"(127\.0\.0\.1 - - \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] )";
  auto matching = [&](const std::string &pattern) {
    int count = 0;
    for (const std::string &line : lines) count += std::regex_match(line, std::regex(start + pattern));
    return count;
  };
  for (const Case &c : cases) EXPECT_EQ(matching(c.line), 1) << c.line << "\n" << ReadFile(accessLog);
  EXPECT_EQ(matching(R"("GET /index.html HTTP/1.0" 200 19 "-" "-")"), 1);

  // GoAccess's stock COMBINED format reads every line.
  std::string report = dir.Path("report.json");
  std::string command = "goaccess '" + accessLog + "' --log-format=COMBINED --no-global-config -o '" +
                        report + "' > '" + dir.Path("goaccess.out") + "' 2>&1";
  ASSERT_EQ(system(command.c_str()), 0) << ReadFile(dir.Path("goaccess.out"));
  std::string json = ReadFile(report);
  EXPECT_TRUE(std::regex_search(json, std::regex("\"total_requests\": " + std::to_string(lines.size()) + ",")))
      << json.substr(0, 600);
  EXPECT_TRUE(std::regex_search(json, std::regex("\"failed_requests\": 0,"))) << json.substr(0, 600);
  // The console log stays as it is: no line of the access log in it.
  EXPECT_EQ(server.Stdout().find("\"GET /index.html HTTP/1.0\""), std::string::npos);
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Deployment, AccessLogIsReopenedBySigusr2) {
  E2E_SKIP_UNDER_WINE("Wine delivers no SIGUSR2 to a Windows program");
  Start("access-log-file = " + accessLog + "\n");
  Exchange(service.port(), "GET /index.html HTTP/1.0\r\n\r\n");
  ASSERT_EQ(AccessLines(1).size(), 1u);
  ASSERT_EQ(rename(accessLog.c_str(), (accessLog + ".1").c_str()), 0);
  Exchange(service.port(), "GET /rotated HTTP/1.0\r\n\r\n");  // into the renamed file
  ASSERT_TRUE(WaitFor([&] { return Lines(ReadFile(accessLog + ".1")).size() == 2; }));
  server.Signal(SIGUSR2);
  ASSERT_TRUE(server.WaitForLog("[I] access-log-file " + accessLog + " was reopened.\n"))
      << server.Stdout();
  Exchange(service.port(), "GET /after HTTP/1.0\r\n\r\n");
  std::vector<std::string> lines = AccessLines(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"GET /after HTTP/1.0\" 404"), std::string::npos) << lines[0];
  EXPECT_TRUE(server.Running());
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Deployment, AnAccessLogThatCannotBeOpenedStopsTheStart) {
  std::string config = Config("access-log-file = " + NativePath(dir.Path("no/such/folder/access.log")) + "\n");
  dir.Write("tarveld.conf", config);
  server.Start({"--check", "tarveld.conf"});
  EXPECT_EQ(server.WaitExit(), 255);
  EXPECT_NE(server.Stdout().find("cannot be opened for appending"), std::string::npos) << server.Stdout();
  server.Start({"tarveld.conf"});
  EXPECT_EQ(server.WaitExit(), 255);
  EXPECT_NE(server.Stdout().find("could not be opened!"), std::string::npos) << server.Stdout();
  EXPECT_EQ(server.Stdout().find("Tarvel server is started."), std::string::npos);
}

// ------------------------------------------------------------ PROXY headers

namespace {

// 198.51.100.23:40000 to 127.0.0.1:80.
const std::string ClientV4("\xC6\x33\x64\x17\x7F\x00\x00\x01\x9C\x40\x00\x50", 12);

}  // namespace

TEST_F(Deployment, ClientAddressFromPROXYHeadersOfTheBalancer) {
  dir.Write("www/stdremote.std", "printf 'Content-Type: text/plain\\r\\n\\r\\n%s %s\\n' \"$REMOTE_ADDR\" \"$REMOTE_PORT\"\n");
  Start("proxy-protocol = on\nproxy-from = 127.0.0.1\naccess-log-file = " + NativePath(accessLog) +
        "\ncgi-standard-type = std | " + ShellCgiPath() + " |\n");
  // Version 1, the header and the request in one send.
  std::string answer = Exchange(service.port(),
                                "PROXY TCP4 203.0.113.7 127.0.0.1 51000 80\r\nGET /index.html HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Parse(answer).status, 200) << answer;
  EXPECT_EQ(Parse(answer).body, "<html>index</html>\n");
  EXPECT_TRUE(server.WaitForLog("[I] Connected from 203.0.113.7 (ID=")) << server.Stdout();
  // Version 2, the header first and the request in a send of its own; a
  // standard CGI program gets the client as REMOTE_ADDR and REMOTE_PORT.
  int fd = Connect(service.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, ProxyVersion2(1, 0x11, ClientV4)));
  ASSERT_TRUE(SendAll(fd, "GET /stdremote.std HTTP/1.0\r\n\r\n"));
  Response cgi = Parse(ReadToClose(fd));
  close(fd);
  EXPECT_EQ(cgi.status, 200) << cgi.raw;
  EXPECT_EQ(cgi.body, CgiText("198.51.100.23 40000\n"));
  EXPECT_TRUE(server.WaitForLog("[I] Connected from 198.51.100.23 (ID=")) << server.Stdout();
  // IPv6 clients, and the balancer's own health check (LOCAL), which keeps
  // the connection's address.
  answer = Exchange(service.port(), "PROXY TCP6 2001:db8::7 ::1 443 80\r\nHEAD / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Parse(answer).status, 200);
  EXPECT_TRUE(server.WaitForLog("[I] Connected from 2001:db8::7 (ID="));
  answer = Exchange(service.port(), ProxyVersion2(0, 0, "") + "HEAD / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Parse(answer).status, 200);
  EXPECT_TRUE(server.WaitForLog("[I] Connected from 127.0.0.1 (ID="));

  // Without a valid header the connection is refused, unanswered.
  for (const char *request : {"GET /index.html HTTP/1.0\r\n\r\n", "PROXY TCP4 1.2.3 127.0.0.1 1 80\r\n\r\n"}) {
    EXPECT_EQ(Exchange(service.port(), request), "") << request;
  }
  EXPECT_TRUE(server.WaitForLog("): no valid PROXY header.\n", 10000, 2)) << server.Stdout();
  int closed = Connect(service.port());
  ASSERT_GE(closed, 0);
  close(closed);
  EXPECT_TRUE(server.WaitForLog("): closed before its PROXY header.\n")) << server.Stdout();
  std::string out = server.Stdout();
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\[W\] Refused a connection from 127\.0\.0\.1 \(ID=[0-9A-F]+\): no valid PROXY header\.)")))
      << out;
  EXPECT_EQ(Count(out, "[I] Connected from"), 4) << out;  // the refused ones never were

  // The access log names the clients too.
  std::vector<std::string> lines = AccessLines(4);
  ASSERT_EQ(lines.size(), 4u) << ReadFile(accessLog);
  std::string log = ReadFile(accessLog);
  for (const char *client : {"203.0.113.7 - - [", "198.51.100.23 - - [", "2001:db8::7 - - [",
                             "127.0.0.1 - - ["})
    EXPECT_EQ(Count("\n" + log, std::string("\n") + client), 1) << client << "\n" << log;
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Deployment, HeadersFromOtherAddressesAreNeverBelievedAndSlowOnesTimeOut) {
  // Only 127.0.0.2 is a balancer: the tests' own connections are clients.
  Start("proxy-protocol = on\nproxy-from = 127.0.0.2\nsession-timeout = 1\n");
  std::string answer = Exchange(service.port(),
                                "PROXY TCP4 203.0.113.7 127.0.0.1 51000 80\r\nGET /index.html HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Parse(answer).status, 501) << answer;
  EXPECT_TRUE(server.WaitForLog("[I] Connected from 127.0.0.1 (ID="));
  EXPECT_EQ(server.Stdout().find("203.0.113.7"), std::string::npos);
  EXPECT_EQ(server.Stop(), 0);

  Start("proxy-protocol = on\nproxy-from = 127.0.0.1\nsession-timeout = 1\n");
  int fd = Connect(service.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, "PROXY TCP4 203.0.113.7"));
  EXPECT_EQ(ReadToClose(fd, 10000), "");
  close(fd);
  EXPECT_TRUE(server.WaitForLog("): no PROXY header within session-timeout.\n")) << server.Stdout();
  EXPECT_EQ(Parse(Exchange(service.port(), "PROXY UNKNOWN\r\nGET /index.html HTTP/1.0\r\n\r\n")).status, 200);
  EXPECT_EQ(server.Stop(), 0);
}
