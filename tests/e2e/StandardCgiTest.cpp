// Programs run through the standard CGI interface by the real server:
// unmodified Python, Perl (CGI.pm) and PHP (php-cgi) programs from Debian's
// packages, the requests the server refuses before a run, programs whose
// header is bad, the limits before and after the header, the error output
// and the outcome line. After every test no process of a run is left.
// Against the Windows build the ".std" scripts are run by the Windows
// stand-in of the tests' shell scripts (ShellCgiPath), which acts by the
// script's name; the interpreters' cases need Linux.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e/Harness.h"

using namespace e2e;

namespace {

const std::string TimeoutText = "SERVER ERROR: CGI TIMEOUT.";
const std::string BadHeaderText = "SERVER ERROR: BAD CGI HEADER.";

// A Python 3 program as people write them: the standard library's parsing
// of the query and of a form body.
const char PythonApp[] = R"(#!/usr/bin/python3
import os, sys, urllib.parse
query = urllib.parse.parse_qs(os.environ.get("QUERY_STRING", ""))
if "status" in query:
    sys.stdout.write("Status: 404 Not Found\r\nContent-Type: text/plain\r\n\r\nno such user\n")
    sys.exit(0)
if "go" in query:
    sys.stdout.write("Location: http://127.0.0.1/elsewhere\r\n\r\n")
    sys.exit(0)
if "big" in query:
    sys.stdout.write("Content-Type: application/octet-stream\r\n\r\n")
    sys.stdout.flush()
    block = b"0123456789abcdef" * 65536
    for _ in range(10):
        sys.stdout.buffer.write(block)
    sys.exit(0)
form = {}
if os.environ["REQUEST_METHOD"] == "POST":
    form = urllib.parse.parse_qs(sys.stdin.read(int(os.environ["CONTENT_LENGTH"])))
print("Content-Type: text/plain")
print("X-App: python")
print()
print("method=" + os.environ["REQUEST_METHOD"])
print("query=" + os.environ["QUERY_STRING"])
print("x=" + ",".join(query.get("x", [])))
print("name=" + ",".join(form.get("name", [])))
print("type=" + os.environ.get("CONTENT_TYPE", "-"))
print("script=" + os.environ["SCRIPT_NAME"])
print("path_info=" + os.environ.get("PATH_INFO", "-"))
print("uri=" + os.environ["REQUEST_URI"])
)";

// A Perl program with CGI.pm (libcgi-pm-perl) reading a POST form.
const char PerlApp[] = R"(#!/usr/bin/perl
use strict;
use CGI;
my $q = CGI->new;
print $q->header(-type => 'text/plain', -charset => 'utf-8');
print "method=", $q->request_method, "\n";
print "name=", scalar $q->param('name'), "\n";
print "colour=", scalar $q->param('colour'), "\n";
)";

// A PHP page under php-cgi.
const char PhpPage[] = R"(<?php
header("Content-Type: text/plain");
echo "get=", $_GET["a"] ?? "-", "\n";
echo "post=", $_POST["b"] ?? "-", "\n";
echo "method=", $_SERVER["REQUEST_METHOD"], "\n";
echo "script=", $_SERVER["SCRIPT_NAME"], "\n";
)";

class StandardCgi : public ::testing::Test {
 protected:
  void SetUp() override {
    root = dir.Path("www");
    dir.Write("www/index.html", "<p>index</p>\n");
    // The Windows stand-in acts by these names; the scripts are Linux's.
    dir.Write("www/stdecho.std",
              "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
              "printf 'method=%s\\nquery=%s\\nlength=%s\\nbody=' \"$REQUEST_METHOD\" "
              "\"$QUERY_STRING\" \"$CONTENT_LENGTH\"\ncat\nprintf '\\n'\n");
    dir.Write("www/stdtree.std",
              "echo $$ >&2\nsh -c 'echo $$ >&2; sleep 30 & echo $! >&2; exec sleep 30' &\n"
              "exec sleep 30\n");
  }

  void TearDown() override {
    if (server.pid() > 0 && server.Running()) {
      if (!UnderWine()) {
        bool none = WaitFor([this] { return ChildProcesses(server.pid()).empty(); });
        EXPECT_TRUE(none) << "children left: " << ChildProcesses(server.pid()).size();
        if (!none) KillDescendants(server.pid());
      }
      EXPECT_EQ(server.Stop(), 0);
    }
  }

  void Start(const std::string &extra = "") {
    std::string config = BaseConfig(service, root) + "cgi-standard-type = std | " +
                         ShellCgiPath() + " |\n" + extra;
    ASSERT_TRUE(server.StartWith(config)) << server.Stdout();
  }

  // The Linux interpreters' programs, each run as the script itself.
  void StartInterpreters(const std::string &extra = "") {
    dir.Write("www/app.py", PythonApp);
    dir.Write("www/form.pl", PerlApp);
    dir.Write("www/page.php", PhpPage);
    chmod(dir.Path("www/app.py").c_str(), 0755);
    chmod(dir.Path("www/form.pl").c_str(), 0755);
    Start("cgi-standard-type = py | |\ncgi-standard-type = pl | |\n"
          "cgi-standard-type = php | /usr/bin/php-cgi |\ncgi-env = PATH=/usr/bin:/bin\n" + extra);
  }

  Response Request(const std::string &request) {
    return Parse(Exchange(service.port(), request));
  }

  // The header lines after the status line, Date left out (it changes).
  static std::string LinesBesidesDate(const Response &response) {
    std::string header = response.raw.substr(0, response.raw.find("\r\n\r\n") + 2);
    std::string lines;
    size_t at = header.find("\r\n") + 2;
    while (at < header.size()) {
      size_t end = header.find("\r\n", at);
      std::string line = header.substr(at, end - at);
      if (line.rfind("Date: ", 0) != 0) lines += line + "\n";
      at = end + 2;
    }
    return lines;
  }

  TempDir dir;
  Service service;
  Server server{dir};
  std::string root;
};

}  // namespace

TEST_F(StandardCgi, PythonProgramAnswersGetPostPathInfoStatusAndRedirect) {
  E2E_SKIP_UNDER_WINE("the interpreters are Linux programs");
  StartInterpreters();
  Response get = Get(service.port(), "/app.py?x=1&x=2");
  EXPECT_EQ(get.statusLine, "HTTP/1.0 200 OK");
  EXPECT_EQ(LinesBesidesDate(get),
            "Connection: close\nServer: Tarvel-Server\nContent-Type: text/plain\nX-App: python\n");
  EXPECT_EQ(get.body,
            "method=GET\nquery=x=1&x=2\nx=1,2\nname=\ntype=-\nscript=/app.py\npath_info=-\n"
            "uri=/app.py?x=1&x=2\n");

  const std::string form = "name=J%C3%BCrgen+M&other=1";
  Response post = Request("POST /app.py HTTP/1.0\r\nContent-Type: "
                          "application/x-www-form-urlencoded\r\nContent-Length: " +
                          std::to_string(form.size()) + "\r\n\r\n" + form);
  EXPECT_EQ(post.body,
            "method=POST\nquery=\nx=\nname=J\xC3\xBCrgen M\ntype=application/x-www-form-urlencoded\n"
            "script=/app.py\npath_info=-\nuri=/app.py\n");

  Response info = Get(service.port(), "/app.py/users/7?x=3");
  EXPECT_EQ(info.body,
            "method=GET\nquery=x=3\nx=3\nname=\ntype=-\nscript=/app.py\npath_info=/users/7\n"
            "uri=/app.py/users/7?x=3\n");

  Response missing = Get(service.port(), "/app.py?status=1");
  EXPECT_EQ(missing.statusLine, "HTTP/1.0 404 Not Found");
  EXPECT_EQ(missing.body, "no such user\n");

  Response moved = Get(service.port(), "/app.py?go=1");
  EXPECT_EQ(moved.statusLine, "HTTP/1.0 302 Found");
  EXPECT_EQ(LinesBesidesDate(moved),
            "Connection: close\nServer: Tarvel-Server\nLocation: http://127.0.0.1/elsewhere\n");
  EXPECT_EQ(moved.body, "");

  // A path below a document that is no script stays not found.
  EXPECT_EQ(Get(service.port(), "/index.html/x").status, 404);
  EXPECT_EQ(Get(service.port(), "/nothing.py/x").status, 404);
  EXPECT_TRUE(server.WaitForLog("[I] CGI outcome (ID=", 5000, 5)) << server.Stdout();
}

TEST_F(StandardCgi, TenMiBOfOutputArriveWhole) {
  E2E_SKIP_UNDER_WINE("the interpreters are Linux programs");
  StartInterpreters();
  Response big = Parse(ExchangeLarge(service.port(), "GET /app.py?big=1 HTTP/1.0\r\n\r\n", 20000));
  EXPECT_EQ(big.status, 200);
  ASSERT_EQ(big.body.size(), 10u << 20);
  std::string block;
  for (int i = 0; i < 65536; ++i) block += "0123456789abcdef";
  EXPECT_EQ(big.body.substr(0, block.size()), block);
  EXPECT_EQ(big.body.substr(big.body.size() - 16), "0123456789abcdef");
  EXPECT_TRUE(server.WaitForLog(", 10485760 bytes relayed\n")) << server.Stdout();
}

TEST_F(StandardCgi, PerlAndPhpProgramsReadTheirForms) {
  E2E_SKIP_UNDER_WINE("the interpreters are Linux programs");
  StartInterpreters();
  const std::string form = "name=Ada&colour=green";
  Response perl = Request("POST /form.pl HTTP/1.0\r\nContent-Type: "
                          "application/x-www-form-urlencoded\r\nContent-Length: " +
                          std::to_string(form.size()) + "\r\n\r\n" + form);
  EXPECT_EQ(perl.statusLine, "HTTP/1.0 200 OK");
  ASSERT_NE(perl.Header("Content-Type"), nullptr) << perl.raw;
  EXPECT_EQ(*perl.Header("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_EQ(perl.body, "method=POST\nname=Ada\ncolour=green\n");

  const std::string body = "b=two";
  Response php = Request("POST /page.php?a=one HTTP/1.0\r\nContent-Type: "
                         "application/x-www-form-urlencoded\r\nContent-Length: 5\r\n\r\n" + body);
  EXPECT_EQ(php.statusLine, "HTTP/1.0 200 OK") << php.raw;
  EXPECT_EQ(php.body, "get=one\npost=two\nmethod=POST\nscript=/page.php\n");
}

TEST_F(StandardCgi, QueryBodyAndTheVariablesAProgramGets) {
  dir.Write("www/env.std", "printf 'Content-Type: text/plain\\n\\n'\nenv | sort\n");
  Start("cgi-env = PATH=/usr/bin:/bin\ncgi-env = LANG=C.UTF-8\n");
  Response echo = Request("POST /stdecho.std?a=1 HTTP/1.0\r\nContent-Length: 11\r\n\r\nhello=world");
  EXPECT_EQ(echo.statusLine, "HTTP/1.0 200 OK") << echo.raw;
  EXPECT_EQ(echo.body, "method=POST\nquery=a=1\nlength=11\nbody=hello=world\n");
  Response get = Get(service.port(), "/stdecho.std");
  EXPECT_EQ(get.body, "method=GET\nquery=\nlength=\nbody=\n");
  if (UnderWine()) return;

  Response env = Request(
      "GET /env.std/a/b?q=1 HTTP/1.1\r\nHost: example.org:8080\r\nUser-Agent: t\r\n"
      "Accept: a\r\nAccept: b\r\nProxy: http://evil/\r\nAuthorization: Basic eA==\r\n"
      "X_Forwarded_For: 6.6.6.6\r\nCookie: a=1\r\nCookie: b=2\r\n\r\n");
  std::vector<std::string> expected = {
      "GATEWAY_INTERFACE=CGI/1.1\n", "SERVER_SOFTWARE=tarveld/" TARVELD_VERSION "\n",
      "SERVER_NAME=example.org\n", "SERVER_PORT=" + std::to_string(service.port()) + "\n",
      "SERVER_PROTOCOL=HTTP/1.1\n", "REQUEST_METHOD=GET\n", "SCRIPT_NAME=/env.std\n",
      "SCRIPT_FILENAME=" + root + "/env.std\n", "PATH_INFO=/a/b\n",
      "PATH_TRANSLATED=" + root + "/a/b\n", "QUERY_STRING=q=1\n", "DOCUMENT_ROOT=" + root + "\n",
      "REQUEST_URI=/env.std/a/b?q=1\n", "REMOTE_ADDR=127.0.0.1\n", "REDIRECT_STATUS=200\n",
      "HTTP_HOST=example.org:8080\n", "HTTP_USER_AGENT=t\n", "HTTP_ACCEPT=a, b\n",
      "HTTP_COOKIE=a=1; b=2\n", "PATH=/usr/bin:/bin\n", "LANG=C.UTF-8\n"};
  for (const std::string &line : expected) EXPECT_NE(env.body.find(line), std::string::npos) << line << env.body;
  for (const char *absent : {"HTTP_PROXY", "HTTP_AUTHORIZATION", "HTTP_X_FORWARDED_FOR",
                             "CONTENT_LENGTH", "HOME=", "TARVELD"})
    EXPECT_EQ(env.body.find(absent), std::string::npos) << absent << env.body;
  EXPECT_NE(env.body.find("REMOTE_PORT="), std::string::npos) << env.body;
}

TEST_F(StandardCgi, RequestsARunCannotTakeAreRefusedBeforeItStarts) {
  Start("cgi-max-body = 16\n");
  Response noLength = Request("POST /stdecho.std HTTP/1.0\r\n\r\nabc");
  EXPECT_EQ(noLength.statusLine, "HTTP/1.0 411 Length Required");
  Response tooLarge =
      Request("POST /stdecho.std HTTP/1.0\r\nContent-Length: 17\r\n\r\n" + std::string(17, 'x'));
  EXPECT_EQ(tooLarge.statusLine, "HTTP/1.0 413 Request Entity Too Large");
  Response badLength = Request("POST /stdecho.std HTTP/1.0\r\nContent-Length: -1\r\n\r\n");
  EXPECT_EQ(badLength.statusLine, "HTTP/1.0 400 Bad Request");
  Response badLine = Request("GET /stdecho.std HTTP/1.0\r\nno colon here\r\n\r\n");
  EXPECT_EQ(badLine.statusLine, "HTTP/1.0 400 Bad Request");
  // A body that fits arrives whole, also when it comes after the header.
  int fd = Connect(service.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, "POST /stdecho.std HTTP/1.0\r\nContent-Length: 16\r\n\r\n"));
  usleep(100000);
  ASSERT_TRUE(SendAll(fd, "0123456789abcdef"));
  Response late = Parse(ReadToClose(fd));
  close(fd);
  EXPECT_EQ(late.body, "method=POST\nquery=\nlength=16\nbody=0123456789abcdef\n");
  std::string out = server.Stdout();
  EXPECT_EQ(Count(out, "[I] CGI outcome (ID="), 1) << out;  // none of the refused ran
  EXPECT_NE(out.find("[W] POST without Content-Length.\n"), std::string::npos);
  EXPECT_NE(out.find("[W] Request body of 17 bytes above cgi-max-body 16.\n"), std::string::npos);
}

TEST_F(StandardCgi, BadProgramHeadersGive502) {
  E2E_SKIP_UNDER_WINE("shell scripts");
  dir.Write("www/nocolon.std", "printf 'Content-Type text/plain\\n\\nbody'\n");
  dir.Write("www/noend.std", "printf 'Content-Type: text/plain\\nbody without end'\n");
  dir.Write("www/huge.std", "head -c 70000 /dev/zero | tr '\\0' x\n");
  dir.Write("www/nph-raw.std", "printf 'HTTP/1.0 299 Raw\\r\\nX-Nph: 1\\r\\n\\r\\nraw'\n");
  Start();
  for (const char *uri : {"/nocolon.std", "/noend.std", "/huge.std"}) {
    Response response = Get(service.port(), uri);
    EXPECT_EQ(response.statusLine, "HTTP/1.0 502 Bad Gateway") << uri;
    EXPECT_EQ(response.body, BadHeaderText) << uri;
  }
  std::string out = server.Stdout();
  EXPECT_NE(out.find("] CGI header error (ID="), std::string::npos) << out;
  EXPECT_NE(out.find("): a header line without a name and a colon\n"), std::string::npos) << out;
  EXPECT_NE(out.find("): the output ends before the empty line that ends the header\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("): a header longer than 65536 bytes\n"), std::string::npos) << out;
  EXPECT_EQ(Exchange(service.port(), "GET /nph-raw.std HTTP/1.0\r\n\r\n"),
            "HTTP/1.0 299 Raw\r\nX-Nph: 1\r\n\r\nraw");
}

TEST_F(StandardCgi, LimitsEndTheProgramWithItsTreeBeforeAndAfterTheHeader) {
  dir.Write("www/late.std", "printf 'Content-Type: text/plain\\n\\nfirst'\nexec sleep 30\n");
  dir.Write("www/deaf.std", "exec sleep 30\n");
  dir.Write("www/stream.std", "printf 'Content-Type: text/plain\\n\\n'\nexec yes\n");
  Start("cgi-io-timeout = 1000\ncgi-exe-timeout = 2500\n");
  Response tree = Get(service.port(), "/stdtree.std");
  EXPECT_EQ(tree.statusLine, "HTTP/1.0 504 Gateway Time-out");
  EXPECT_EQ(tree.body, TimeoutText);
  std::string out = server.Stdout();
  // The ids came through the error output; each of them was ended.
  std::vector<std::string> ids;
  for (size_t at = 0; (at = out.find("] CGI error output (ID=", at)) != std::string::npos;) {
    at = out.find("): ", at) + 3;
    ids.push_back(out.substr(at, out.find('\n', at) - at));
  }
  ASSERT_EQ(ids.size(), 3u) << out;
  for (const std::string &id : ids)
    EXPECT_NE(out.find("[I] Terminated child process. (" + id + ")\n"), std::string::npos) << id;
  EXPECT_NE(out.find("[E] CGI I/O timeout! ("), std::string::npos) << out;
  EXPECT_NE(out.find("status 504, "), std::string::npos) << out;
  EXPECT_NE(out.find("limit cgi-io-timeout, "), std::string::npos) << out;
  if (UnderWine()) return;  // Windows process ids are no Linux ones
  for (const std::string &id : ids)
    EXPECT_TRUE(WaitFor([&id] { return ProcessReaped(std::stoi(id)); })) << id;

  // After the header the answer ends with what was relayed.
  Response late = Get(service.port(), "/late.std");
  EXPECT_EQ(late.statusLine, "HTTP/1.0 200 OK");
  EXPECT_EQ(late.body, "first");
  // A program that never reads its body cannot hold the run either.
  Response deaf = Parse(ExchangeLarge(
      service.port(),
      "POST /deaf.std HTTP/1.0\r\nContent-Length: 1000000\r\n\r\n" + std::string(1000000, 'd'),
      20000));
  EXPECT_EQ(deaf.statusLine, "HTTP/1.0 504 Gateway Time-out");
  // Nor one that never stops writing: its run time still counts.
  int fd = Connect(service.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, "GET /stream.std HTTP/1.0\r\n\r\n"));
  auto asked = std::chrono::steady_clock::now();
  char chunk[65536];
  int64_t streamed = 0;
  for (ssize_t n; MillisecondsSince(asked) < 20000 && (n = recv(fd, chunk, sizeof chunk, 0)) > 0;)
    streamed += n;
  close(fd);
  EXPECT_LT(MillisecondsSince(asked), 15000) << streamed << " bytes";
  EXPECT_TRUE(server.WaitForLog("[E] CGI EXE timeout! (")) << server.Stdout();
  EXPECT_TRUE(server.WaitForLog("[I] CGI outcome (ID=", 5000, 4)) << server.Stdout();
}

TEST_F(StandardCgi, ErrorOutputIsLoggedEscapedAndCapped) {
  E2E_SKIP_UNDER_WINE("shell scripts");
  dir.Write("www/noisy.std",
            "printf 'Content-Type: text/plain\\n\\nok'\n"
            "printf 'line one\\r\\nforged\\033[2J\\\\ end\\n' >&2\n"
            "head -c 10000 /dev/zero | tr '\\0' e >&2\nexit 3\n");
  Start();
  Response response = Get(service.port(), "/noisy.std");
  EXPECT_EQ(response.body, "ok");
  ASSERT_TRUE(server.WaitForLog("[I] CGI outcome (ID=")) << server.Stdout();
  std::string out = server.Stdout();
  EXPECT_NE(out.find("): line one\n"), std::string::npos) << out;
  EXPECT_NE(out.find("): forged\\x1B[2J\\\\ end\n"), std::string::npos) << out;
  EXPECT_NE(out.find("): 5930 more bytes not logged\n"), std::string::npos) << out;
  EXPECT_NE(out.find("status 200, exit code 3, limit none, real "), std::string::npos) << out;
  EXPECT_NE(out.find(" ms, CPU "), std::string::npos) << out;
  EXPECT_NE(out.find(" KiB, 2 bytes relayed\n"), std::string::npos) << out;
}
