// CGI programs run by the real server: testcgi with and without a query and
// with POST data, both time limits, limits of 0 and below, the termination
// of a whole process tree, a missing program, a large POST that is never
// read, the descriptors a child receives, and runs at the same time. Every
// test ends with no child process of the server left, zombies included.
// Against the Windows build the ".sh" scripts are run by a Windows stand-in
// (ShellCgiPath) and the programs' output is in text mode (CgiText).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "e2e/Harness.h"

using namespace e2e;

namespace {

const std::string TimeoutText = "SERVER ERROR: CGI TIMEOUT.";

std::string Page(const std::string &query, const std::string &length, const std::string &echo = "") {
  return CgiText("<HTML>\n<HEAD>\n<TITLE>TEST CGI RESULT</TITLE>\n</HEAD>\n<BODY>\n<HR>" + query +
                 "<HR>" + length + echo + "<HR>\n</BODY>\n</HTML>\n");
}

class Cgi : public ::testing::Test {
 protected:
  void SetUp() override {
    root = dir.Path("www");
    dir.Write("www/test.cgi", "run by testcgi\n");
    dir.Write("www/missing.bad", "run by a program that does not exist\n");
    dir.Write("www/silent.sh", "echo started\nexec sleep 30\n");
    dir.Write("www/ticker.sh", "while :; do echo tick; sleep 0.05; done\n");
    dir.Write("www/hello.sh", "echo hi\nexec sleep 30\n");
    dir.Write("www/tree.sh", "echo $$\nsh -c 'echo $$; sleep 30 & echo $!; exec sleep 30' &\nexec sleep 30\n");
    dir.Write("www/fds.sh", "ls -l /proc/$$/fd\n");
  }

  void TearDown() override {
    // No run may leave a child of the server behind, not even a zombie. The
    // children are read from /proc: Linux build only (Wine starts a Windows
    // program's children apart from the server's Linux process).
    if (server.pid() > 0 && server.Running()) {
      if (!UnderWine()) {
        bool none = NoChildren();
        EXPECT_TRUE(none) << "children left: " << ChildProcesses(server.pid()).size();
        if (!none) KillDescendants(server.pid());  // the server still reaps them
        NoChildren();
      }
      EXPECT_EQ(server.Stop(), 0);
    }
  }

  void Start(const std::string &extra = "") {
    std::string config = BaseConfig(service, root) + "cgi-type = cgi | " + TestCgiPath() +
                         " |\n"
                         "cgi-type = sh | " + ShellCgiPath() + " |\n"
                         "cgi-type = bad | " + NativePath("/nonexistent/cgi-program") + " |\n" +
                         extra;
    ASSERT_TRUE(server.StartWith(config)) << server.Stdout();
  }

  bool NoChildren() {
    return WaitFor([this] { return ChildProcesses(server.pid()).empty(); });
  }

  Response Request(const std::string &request) {
    return Parse(Exchange(service.port(), request));
  }

  TempDir dir;
  Service service;
  Server server{dir};
  std::string root;
};

void ExpectCgiHeader(const Response &response) {
  EXPECT_EQ(response.statusLine, "HTTP/1.0 200 OK") << response.raw;
  ASSERT_NE(response.Header("Content-Type"), nullptr);
  EXPECT_EQ(*response.Header("Content-Type"), "text/html");
  EXPECT_EQ(response.Header("Content-Length"), nullptr) << response.raw;
}

}  // namespace

TEST_F(Cgi, GetWithAndWithoutQuery) {
  Start();
  Response with = Get(service.port(), "/test.cgi?a=1&b=%41");
  ExpectCgiHeader(with);
  EXPECT_EQ(with.body, Page("QUERY_STRING=\"a=1&b=%41\"<BR>\n", "CONTENT_LENGTH=0<BR>\n"));

  Response empty = Get(service.port(), "/test.cgi?");
  EXPECT_EQ(empty.body, Page("QUERY_STRING=\"\"<BR>\n", "CONTENT_LENGTH=0<BR>\n"));

  Response without = Get(service.port(), "/test.cgi");
  EXPECT_EQ(without.body, Page("QUERY_STRING NOT DEFINED!<BR>\n", "CONTENT_LENGTH=0<BR>\n"));
  EXPECT_TRUE(server.WaitForLog("[D] CGI executed time=", 5000, 3)) << server.Stdout();
}

TEST_F(Cgi, PostIsEchoedUpToTheTestLine) {
  Start();
  // The request data starts behind the request line: header lines, the
  // empty line and the body. Lines after the one holding TEST= are not read.
  const std::string data =
      "Host: localhost\r\nContent-Length: 22\r\n\r\nname=x&TEST=1&last=2\r\nmore=3\r\n";
  Response response = Request("POST /test.cgi?q=2 HTTP/1.0\r\n" + data);
  ExpectCgiHeader(response);
  EXPECT_EQ(response.body,
            Page("QUERY_STRING=\"q=2\"<BR>\n",
                 "CONTENT_LENGTH=" + std::to_string(data.size()) + "<BR>\n",
                 "<pre>\nHost: localhost\r\n\nContent-Length: 22\r\n\n\r\n\n"
                 "name=x&TEST=1&last=2\r\n\n</pre>\n"));
}

TEST_F(Cgi, IoLimitCutsASilentProgramRunLimitOneThatKeepsWriting) {
  Start("cgi-exe-timeout = 2000\ncgi-io-timeout = 600\n");
  Response silent = Get(service.port(), "/silent.sh");
  ExpectCgiHeader(silent);
  EXPECT_EQ(silent.body, CgiText("started\n") + TimeoutText);
  EXPECT_TRUE(server.WaitForLog("[I] Terminating the CGI process.\n[I] Terminated child process. ("));
  EXPECT_NE(server.Stdout().find("[E] CGI I/O timeout! (610msec/"), std::string::npos);

  Response ticker = Get(service.port(), "/ticker.sh");
  ExpectCgiHeader(ticker);
  ASSERT_GT(ticker.body.size(), TimeoutText.size());
  size_t outputSize = ticker.body.size() - TimeoutText.size();
  EXPECT_EQ(ticker.body.substr(outputSize), TimeoutText);
  std::string output = ticker.body.substr(0, outputSize);
  EXPECT_EQ(output.rfind(CgiText("tick\ntick\n"), 0), 0u) << output;
  EXPECT_EQ(output.find_first_not_of(CgiText("tick\n")), std::string::npos) << output;
  EXPECT_NE(server.Stdout().find("[E] CGI EXE timeout! (2010msec)\n"), std::string::npos);
}

TEST_F(Cgi, ZeroAndNegativeLimitsAsWritten) {
  // 0 cuts the run at its second pass, after at most the first pass's output.
  Start("cgi-exe-timeout = 0\n");
  Response zero = Get(service.port(), "/hello.sh");
  ExpectCgiHeader(zero);
  EXPECT_TRUE(zero.body == TimeoutText || zero.body == CgiText("hi\n") + TimeoutText) << zero.body;
  EXPECT_NE(server.Stdout().find("[E] CGI EXE timeout! (10msec)\n"), std::string::npos);
  if (!UnderWine()) {
    EXPECT_TRUE(NoChildren());  // from /proc: Linux build only
  }
  ASSERT_EQ(server.Stop(), 0);

  // Below 0 cuts it at the first check, before anything is relayed.
  Start("cgi-io-timeout = -1\n");
  Response negative = Get(service.port(), "/hello.sh");
  ExpectCgiHeader(negative);
  EXPECT_EQ(negative.body, TimeoutText);
  EXPECT_NE(server.Stdout().find("[E] CGI I/O timeout! (0msec/0msec)\n"), std::string::npos);
}

TEST_F(Cgi, TimeoutEndsTheWholeProcessTree) {
  Start("cgi-io-timeout = 2000\n");
  Response response = Get(service.port(), "/tree.sh");
  int child = 0, grandchild = 0, greatGrandchild = 0;
  ASSERT_EQ(sscanf(response.body.c_str(), "%d %d %d", &child, &grandchild, &greatGrandchild), 3)
      << response.body;
  EXPECT_EQ(response.body.substr(response.body.size() - TimeoutText.size()), TimeoutText);
  std::string expected = "[I] Terminated child process. (" + std::to_string(greatGrandchild) +
                         ")\n[I] Terminated child process. (" + std::to_string(grandchild) +
                         ")\n[I] Terminated child process. (" + std::to_string(child) + ")\n";
  std::string out = server.Stdout();
  EXPECT_NE(out.find(expected), std::string::npos) << out;
  EXPECT_EQ(Count(out, "Terminated child process."), 3);
  // Windows process ids are not Linux ones: /proc can tell only natively.
  if (UnderWine()) return;
  // Gone for good: the descendants handed to the server are reaped, not
  // left as zombies.
  EXPECT_TRUE(NoChildren());
  for (int pid : {child, grandchild, greatGrandchild})
    EXPECT_TRUE(WaitFor([pid] { return ProcessReaped(pid); })) << pid;
}

// A server started with SIGCHLD ignored takes the signal back: its children
// are its own to reap, and its programs get the default handling (a shell
// script's "wait" works).
TEST_F(Cgi, ServerStartedWithTheChildSignalIgnoredStillOwnsItsChildren) {
  E2E_SKIP_UNDER_WINE("POSIX signals");
  dir.Write("www/waits.sh", "sleep 0.2 &\nwait $!\necho waited $?\n");
  server.ignoreChildSignal = true;
  Start();
  EXPECT_EQ(Get(service.port(), "/waits.sh").body, "waited 0\n");
  EXPECT_TRUE(server.WaitForLog("[D] CGI executed time=")) << server.Stdout();
  EXPECT_EQ(Count(server.Stdout(), "Failed GetExitCodeProcess()"), 0) << server.Stdout();
}

TEST_F(Cgi, MissingProgramGetsNoAnswer) {
  Start();
  EXPECT_EQ(Exchange(service.port(), "GET /missing.bad HTTP/1.0\r\n\r\n"), "");
  EXPECT_TRUE(server.WaitForLog("[E] Failed CreateProcess() errno=" +
                                std::to_string(NoSuchProgramError()) + "\n"))
      << server.Stdout();
}

TEST_F(Cgi, LargePostToAProgramThatNeverReadsEndsWithinItsLimits) {
  Start("buffer-size = 2097152\ncgi-io-timeout = 1000\n");
  std::string request = "POST /silent.sh HTTP/1.0\r\nContent-Length: 1048576\r\n\r\n" +
                        std::string(1048576, 'p');
  // The server takes what one receive brings; the rest may never be read.
  Response response = Parse(ExchangeLarge(service.port(), request, 20000));
  ExpectCgiHeader(response);
  EXPECT_EQ(response.body, CgiText("started\n") + TimeoutText);
  EXPECT_TRUE(server.WaitForLog("[E] CGI I/O timeout! (1010msec/")) << server.Stdout();
}

// Pipes and sockets the process holds, by descriptor.
std::map<int, std::string> PipesAndSockets(pid_t pid) {
  std::map<int, std::string> held;
  for (const auto &[fd, kind] : Descriptors(pid))
    if (fd >= 3 && (kind.rfind("socket:", 0) == 0 || kind.rfind("pipe:", 0) == 0)) held[fd] = kind;
  return held;
}

TEST_F(Cgi, ChildGetsItsPipesAndNothingElseOfTheServer) {
  E2E_SKIP_UNDER_WINE("descriptors are read from /proc (CgiInherit checks sockets on both builds)");
  Start("cgi-io-timeout = 2000\n");
  // Pipes the server got from its own parent are not its own to mark.
  std::map<int, std::string> atStart = PipesAndSockets(server.pid());
  // Another run holds its pipes and its client's socket meanwhile.
  int other = Connect(service.port());
  ASSERT_GE(other, 0);
  SendAll(other, "GET /silent.sh HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(server.WaitForLog("CGI Result sended"));

  // Every descriptor the server has opened itself is close-on-exec.
  int opened = 0;
  for (const auto &[fd, kind] : PipesAndSockets(server.pid())) {
    auto before = atStart.find(fd);
    if (before != atStart.end() && before->second == kind && kind.rfind("pipe:", 0) == 0) continue;
    ++opened;
    std::string info = ReadFile("/proc/" + std::to_string(server.pid()) + "/fdinfo/" +
                                std::to_string(fd));
    size_t flags = info.find("flags:");
    ASSERT_NE(flags, std::string::npos);
    unsigned long value = strtoul(info.c_str() + flags + 6, nullptr, 8);
    EXPECT_NE(value & 02000000UL, 0u) << fd << " -> " << kind;  // O_CLOEXEC
  }
  EXPECT_GE(opened, 6);  // the listener, two clients, the other run's four pipe ends

  Response response = Get(service.port(), "/fds.sh");
  ReadToClose(other, 10000);
  close(other);
  std::string listing = response.body;
  EXPECT_EQ(Count(listing, "socket:"), 0) << listing;
  EXPECT_EQ(Count(listing, "pipe:"), 2) << listing;  // its standard input and output
  EXPECT_NE(listing.find(" 0 -> pipe:"), std::string::npos) << listing;
  EXPECT_NE(listing.find(" 1 -> pipe:"), std::string::npos) << listing;
  EXPECT_NE(listing.find(" 2 -> /dev/null"), std::string::npos) << listing;
  EXPECT_EQ(listing.find(".log"), std::string::npos) << listing;  // the server's console files
}

TEST_F(Cgi, TenRunsAtOnceAllAnswer) {
  Start();
  std::vector<std::string> answers(10);
  std::vector<std::thread> clients;
  for (int i = 0; i < 10; ++i) {
    clients.emplace_back([this, i, &answers] {
      std::string data = "Host: x\r\n\r\nTEST=" + std::to_string(i) + "\r\n";
      answers[i] = Exchange(service.port(),
                            "POST /test.cgi?n=" + std::to_string(i) + " HTTP/1.0\r\n" + data);
    });
  }
  for (std::thread &client : clients) client.join();
  for (int i = 0; i < 10; ++i) {
    std::string n = std::to_string(i);
    Response response = Parse(answers[i]);
    ExpectCgiHeader(response);
    EXPECT_EQ(response.body, Page("QUERY_STRING=\"n=" + n + "\"<BR>\n", "CONTENT_LENGTH=19<BR>\n",
                                  "<pre>\nHost: x\r\n\n\r\n\nTEST=" + n + "\r\n\n</pre>\n"));
  }
}

// Other spellings of a CGI document's name that reach the same file must run
// it or be refused, never send its text: a case-blind file system opens
// "test.CGI" as test.cgi, a stream name "test.cgi::$DATA" the file itself,
// and dot segments resolve to it.
TEST_F(Cgi, ProgramTextIsNeverSentUnderAnotherSpelling) {
  Start();
  for (const char *uri : {"/test.CGI", "/TEST.cgi", "/test.cgi::$DATA", "/test.cgi/.",
                          "/sub/../test.cgi", "/test.cgi%00.txt"}) {
    Response response = Get(service.port(), uri);
    EXPECT_EQ(response.body.find("run by testcgi"), std::string::npos) << uri;
    if (response.status == 200) {
      const std::string *type = response.Header("Content-Type");
      ASSERT_NE(type, nullptr) << uri;
      EXPECT_EQ(*type, "text/html") << uri;
      EXPECT_EQ(response.Header("Content-Length"), nullptr) << uri;
    }
  }
}
