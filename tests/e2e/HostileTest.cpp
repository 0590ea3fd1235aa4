// Hostile clients and misbehaving CGI programs against the real server:
// malformed and oversized requests, traversal attempts, idle clients beyond
// max-connect, clients that reset the connection (also while a CGI program
// sleeps) or never read, and CGI programs that end at once, go silent,
// flood, ignore their input, leave a process tree or an orphan behind or
// crash. After every case the server must answer a
// normal request, and (Linux build) its descriptors, threads and child
// processes must come back to where they were before the case.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/Harness.h"

using namespace e2e;

namespace {

using Clock = std::chrono::steady_clock;

const std::string Index = "<html>index</html>\n";
const std::string TimeoutText = "SERVER ERROR: CGI TIMEOUT.";
const char Secret[] = "SECRET-BESIDE-THE-ROOT";

struct Figures {
  int descriptors = -1;
  int threads = -1;
  size_t children = 0;
  bool operator==(const Figures &other) const {
    return descriptors == other.descriptors && threads == other.threads &&
           children == other.children;
  }
};

std::ostream &operator<<(std::ostream &out, const Figures &f) {
  return out << f.descriptors << " descriptors, " << f.threads << " threads, " << f.children
             << " child processes";
}

Figures Measure(pid_t pid) {
  Figures f;
  f.descriptors = OpenDescriptors(pid);
  f.threads = ThreadCount(pid);
  f.children = ChildProcesses(pid).size();
  return f;
}

// The status number of an answer, 0 when there is no complete header.
int StatusOf(const std::string &raw) {
  Response response = Parse(raw);
  return response.complete ? response.status : 0;
}

// A request of exactly `size` bytes: the request line, one header line
// padded to fit, and the empty line. The header line ends the test CGI
// program's reading of its input ("TEST="). Its lines end in LF alone: a
// request cut after a CR would leave the Windows build's program waiting
// for what follows the CR.
std::string RequestOfSize(const std::string &requestLine, size_t size) {
  std::string head = requestLine + "X-Pad: TEST=";
  std::string tail = "\n\n";
  return head + std::string(size - head.size() - tail.size(), 'p') + tail;
}

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    root = dir.Path("www");
    dir.Write("www/index.html", Index);
    dir.Write("www/sub/index.html", "<html>sub</html>\n");
    dir.Write("www/test.cgi", "run by testcgi\n");
    // Beside the root: its parent, a sibling that starts with the root's
    // name, a file whose name does, and a CGI program outside it.
    dir.Write("secret.txt", Secret);
    dir.Write("www2/secret.txt", Secret);
    dir.Write("wwwsecret.txt", Secret);
    dir.Write("evil.sh", std::string("echo ") + Secret + "\n");
    // CGI programs that misbehave.
    dir.Write("www/exit.sh", "exit 0\n");
    dir.Write("www/closeout.sh", "exec >&-\nexec sleep 30\n");
    dir.Write("www/flood.sh", "exec head -c 10485760 /dev/zero\n");
    dir.Write("www/ignore.sh", "echo ignored\n");
    dir.Write("www/orphans.sh", "sh -c 'sleep 1' &\nsh -c 'sleep 1 & exit 0' &\necho forked\n");
    dir.Write("www/crash.sh", "echo before\nkill -SEGV $$\nsleep 30\n");
    // Writes its pid and a first part, then sleeps long after a second part.
    dir.Write("www/pause.sh",
              "echo $$\nhead -c 2000 /dev/zero\nsleep 0.2\nhead -c 2000 /dev/zero\nexec sleep 30\n");
    // Leaves an orphan (its parent ends at once), writes both pids, sleeps.
    dir.Write("www/doublefork.sh", "echo $$\nsh -c 'sleep 30 & echo $!'\nexec sleep 30\n");
    // 256 MiB, sparse: more than the sockets of both ends can hold.
    std::string large = dir.Write("www/large.bin", "");
    if (truncate(large.c_str(), 256LL * 1024 * 1024) != 0) ADD_FAILURE() << "truncate";
  }

  void TearDown() override {
    if (server.pid() <= 0 || !server.Running()) return;
    // Nothing a failed case started may outlive the test.
    if (!UnderWine()) KillDescendants(server.pid());
    EXPECT_EQ(server.Stop(), 0);
  }

  // The processes whose ids a CGI program wrote, one a line, at the start
  // of a body.
  static std::vector<pid_t> WrittenPids(const std::string &body) {
    std::vector<pid_t> pids;
    for (size_t at = 0; at < body.size() && isdigit(static_cast<unsigned char>(body[at]));) {
      pids.push_back(static_cast<pid_t>(atoi(body.c_str() + at)));
      at = body.find('\n', at);
      if (at == std::string::npos) break;
      ++at;
    }
    return pids;
  }

  // Every process of a run is gone soon after the run has ended (Linux
  // build: Windows process ids are not in /proc).
  static void ExpectGone(const std::vector<pid_t> &pids, const std::string &after) {
    if (UnderWine()) return;
    EXPECT_FALSE(pids.empty()) << after;
    for (pid_t pid : pids)
      EXPECT_TRUE(WaitFor([pid] { return ProcessGone(pid); }))
          << "process " << pid << " still runs after " << after;
  }

  // Starts the server and takes its figures once a first request is done.
  void Start(const std::string &extra = "", const std::string &wwwRoute = "") {
    std::string config = BaseConfig(service, root) + "cgi-type = cgi | " + TestCgiPath() +
                         " |\ncgi-type = sh | " + ShellCgiPath() + " |\n" + extra;
    if (!wwwRoute.empty()) config += "www-route = " + wwwRoute + "\n";
    ASSERT_TRUE(server.StartWith(config)) << server.Stdout();
    ASSERT_EQ(Get(service.port(), "/index.html").body, Index);
    if (UnderWine()) return;
    // The first transaction's thread may still be ending, or waiting a
    // quarter of a second for a next transaction: the figures count once
    // they have held for longer than that.
    Figures last = Measure(server.pid());
    int steady = 0;
    for (int i = 0; i < 500 && steady < 30; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      Figures now = Measure(server.pid());
      steady = now == last && now.children == 0 ? steady + 1 : 0;
      last = now;
    }
    baseline = last;
  }

  // The server answers a normal request, and its figures come back to the
  // baseline within a bounded time (finished threads and reaped children).
  void ExpectRecovered(const std::string &after) {
    Response normal = Get(service.port(), "/index.html");
    EXPECT_EQ(normal.status, 200) << "after " << after;
    EXPECT_EQ(normal.body, Index) << "after " << after;
    if (UnderWine()) return;  // /proc describes the Linux build only
    Figures now;
    if (!WaitFor([&] { return (now = Measure(server.pid())) == baseline; }, 20000))
      ADD_FAILURE() << "after " << after << ": " << now << ", before: " << baseline;
  }

  TempDir dir;
  Service service;
  Server server{dir};
  std::string root;
  Figures baseline;
};

}  // namespace

TEST_F(Hostile, MalformedAndOversizedRequests) {
  Start();
  const int port = service.port();

  std::string garbage(4096, '\0');
  std::mt19937 generator(6);
  for (char &byte : garbage) byte = static_cast<char>(generator());
  EXPECT_EQ(StatusOf(Exchange(port, garbage)), 501);
  ExpectRecovered("binary garbage");

  // A NUL ends the token it stands in.
  using namespace std::string_literals;
  Response cut = Parse(Exchange(port, "GET /index.html\0/../../secret.txt HTTP/1.0\r\n\r\n"s));
  EXPECT_EQ(cut.status, 200);
  EXPECT_EQ(cut.body, Index);
  EXPECT_EQ(StatusOf(Exchange(port, "GET /ind\0ex.html HTTP/1.0\r\n\r\n"s)), 404);
  EXPECT_EQ(StatusOf(Exchange(port, "GE\0T /index.html HTTP/1.0\r\n\r\n"s)), 501);
  EXPECT_EQ(StatusOf(Exchange(port, "\0GET /index.html HTTP/1.0\r\n\r\n"s)), 501);
  ExpectRecovered("NUL bytes in the request line");

  // Only the first buffer-size - 1 bytes are read: the URI is cut there,
  // and its full path is longer than any path buffer.
  std::string huge = "GET /" + std::string(1 << 20, 'a') + " HTTP/1.0\r\n\r\n";
  EXPECT_EQ(StatusOf(ExchangeLarge(port, huge)), 404);
  ExpectRecovered("a request line of 1 MiB");

  // buffer-size is 8192: 8191 bytes fit, the 8192nd is never read. The CGI
  // program's CONTENT_LENGTH shows exactly what was taken.
  const std::string post = "POST /test.cgi HTTP/1.0\r\n";
  const size_t bufferSize = 8192;
  for (size_t size : {bufferSize - 2, bufferSize - 1, bufferSize}) {
    std::string request = RequestOfSize(post, size);
    size_t taken = std::min(size, bufferSize - 1) - post.size();
    std::string answer = ExchangeLarge(port, request);
    EXPECT_EQ(StatusOf(answer), 200) << size;
    EXPECT_EQ(answer.find(TimeoutText), std::string::npos) << size;
    EXPECT_NE(answer.find(CgiText("CONTENT_LENGTH=" + std::to_string(taken) + "<BR>\n")),
              std::string::npos)
        << size << ": " << answer.substr(0, 400);
    Response document = Parse(ExchangeLarge(port, RequestOfSize("GET /index.html HTTP/1.0\r\n", size)));
    EXPECT_EQ(document.body, Index) << size;
  }
  ExpectRecovered("requests of buffer-size - 2, - 1 and buffer-size bytes");

  // No line end at all, the connection left open: the one receive is the
  // request all the same.
  for (const char *request : {"GET /index.html HTTP/1.0", "GET /index.html"}) {
    int fd = Connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, request));
    Response response = Parse(ReadToClose(fd, 15000));
    close(fd);
    EXPECT_EQ(response.body, Index) << request;
  }
  EXPECT_EQ(StatusOf(Exchange(port, "GET")), 404);  // the empty URI: the root folder
  ExpectRecovered("requests without a line end");

  for (const char *request : {" ", "                ", "\r\n\r\n", " \t \r\n"})
    EXPECT_EQ(StatusOf(Exchange(port, request)), 501) << "[" << request << "]";
  ExpectRecovered("requests of blanks only");
}

// Every traversal answer is a bare 403 or 404, and nothing beside the root
// is ever read or run; with the root written absolute, and relative with a
// dot segment and a final separator.
TEST_F(Hostile, TraversalNeverLeavesTheDocumentRoot) {
  std::string up;
  for (int i = 0; i < 40; ++i) up += "../";
  std::string detour;
  for (int i = 0; i < 900; ++i) detour += "a/../";
  const std::string fromTop = "/" + up + dir.path().substr(1) + "/secret.txt";
  const std::vector<std::string> uris = {
      "/../secret.txt", "/..//secret.txt", "/./../secret.txt", "/sub/../../secret.txt",
      "//../secret.txt", "////..////secret.txt", "/sub/./.././../secret.txt",
      "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt", "/..%2fsecret.txt", "/..%5csecret.txt",
      "/..\\secret.txt", "/sub\\..\\..\\secret.txt", "2/secret.txt", "secret.txt",
      "/../www2/secret.txt", "/../wwwsecret.txt", "/..", "..", "/../evil.sh",
      "/sub/../../evil.sh?x=1", "/../secret.txt?/www/index.html", fromTop,
      "/" + detour + "../secret.txt", "/" + std::string(6000, 'a') + "/../../secret.txt",
      "/.../secret.txt"};
  for (const std::string &wwwRoute : {std::string(""), std::string("./www/")}) {
    Start("", wwwRoute);
    for (const std::string &uri : uris) {
      for (const char *method : {"GET ", "POST "}) {
        std::string answer = Exchange(service.port(), method + uri + " HTTP/1.0\r\n\r\nx=1");
        Response response = Parse(answer);
        EXPECT_TRUE(response.status == 403 || response.status == 404)
            << method << uri << ": " << response.statusLine;
        EXPECT_EQ(response.body, "") << method << uri;
        EXPECT_EQ(answer.find(Secret), std::string::npos) << method << uri;
      }
    }
    EXPECT_EQ(server.Stdout().find("CGI executed"), std::string::npos);
    ExpectRecovered("traversal attempts, www-route " + (wwwRoute.empty() ? root : wwwRoute));
    ASSERT_EQ(server.Stop(), 0);
  }
}

// Idle clients hold their slots only until session-timeout: never more than
// max-connect at once, every one closed without an answer in the end, and
// the server serves again.
TEST_F(Hostile, IdleClientsBeyondMaxConnect) {
  Start("max-connect = 3\nsession-timeout = 1\n");
  const int idle = 8;
  std::vector<int> clients;
  for (int i = 0; i < idle; ++i) {
    int fd = Connect(service.port());
    ASSERT_GE(fd, 0);
    clients.push_back(fd);
  }
  int mostAtOnce = 0;
  auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    std::string out = server.Stdout();
    int timedOut = Count(out, "[E] Session timeout.");
    int open = Count(out, "Connected from") - 1 - timedOut;  // the first request aside
    mostAtOnce = std::max(mostAtOnce, open);
    ASSERT_LE(open, 3) << out;
    if (timedOut == idle) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(mostAtOnce, 3);
  EXPECT_EQ(Count(server.Stdout(), "[E] Session timeout."), idle);
  for (int fd : clients) {
    EXPECT_EQ(ReadToClose(fd, 5000), "");  // closed without an answer
    close(fd);
  }
  ExpectRecovered("idle clients beyond max-connect");
}

// Out of descriptors, an accept fails and leaves its connection waiting.
// With retry-seconds 0 nothing else pauses the loop: it must still wait a
// cycle time before the next attempt, not spin, and serve again by itself
// once the clients are gone.
TEST_F(Hostile, MoreClientsThanDescriptors) {
  E2E_SKIP_UNDER_WINE("the descriptor limit is set through Linux");
  Start("retry-seconds = 0\nsession-timeout = 30\n");  // a cycle of 50 ms
  rlimit limit;
  ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
  limit.rlim_cur = static_cast<rlim_t>(baseline.descriptors + 4);
  ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
  std::vector<int> clients;
  for (int i = 0; i < 12; ++i) {
    int fd = Connect(service.port());
    ASSERT_GE(fd, 0);
    clients.push_back(fd);
  }
  ASSERT_TRUE(server.WaitForLog("[E] Failed accept() errno=24\n")) << server.Stdout();
  int linesBefore = Count(server.Stdout(), "Failed accept()");
  double cpuBefore = CpuSeconds(server.pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  int lines = Count(server.Stdout(), "Failed accept()") - linesBefore;
  double cpu = CpuSeconds(server.pid()) - cpuBefore;
  EXPECT_LE(lines, 40) << "one failed accept per cycle of 50 ms at most";
  EXPECT_LT(cpu, 0.15) << "seconds of CPU in one second";
  for (int fd : clients) close(fd);
  ExpectRecovered("more clients than descriptors");
}

// A client that sends its request and never reads the answer holds its
// transaction only until a send has waited session-timeout seconds: with
// max-connect 1 the next client is served while the first still holds its
// end open.
TEST_F(Hostile, ClientThatNeverReadsIsCutOffAfterSessionTimeout) {
  Start("max-connect = 1\nsession-timeout = 1\n");
  int stalled = Connect(service.port());
  ASSERT_GE(stalled, 0);
  ASSERT_TRUE(SendAll(stalled, "GET /large.bin HTTP/1.0\r\n\r\n"));
  EXPECT_TRUE(server.WaitForLog("[W] Failed send() errno=", 20000)) << server.Stdout();
  EXPECT_EQ(Count(server.Stdout(), "Failed send() errno=0\n"), 0);  // the time-out's own code
  ExpectRecovered("a client that never reads");
  close(stalled);
}

TEST_F(Hostile, ResetDuringALargeBodyAndDuringACgiRelay) {
  Start("cgi-exe-timeout = 20000\n");
  std::vector<std::string> uris = {"/large.bin", "/flood.sh"};
  for (const std::string &uri : uris) {
    int fd = Connect(service.port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, "GET " + uri + " HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(StatusOf(ReadToClose(fd, 15000, 64 * 1024)), 200) << uri;
    CloseWithReset(fd);
    ExpectRecovered("a reset during " + uri);
  }

  // A program that sleeps between two parts: the client reads the first and
  // resets; the failed send of the second ends the run and the program with
  // it, long before its limits would.
  int fd = Connect(service.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, "GET /pause.sh HTTP/1.0\r\n\r\n"));
  std::string start;
  char chunk[4096];
  while (Parse(start).body.find('\n') == std::string::npos) {
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    start.append(chunk, static_cast<size_t>(n));
  }
  CloseWithReset(fd);
  // The second run ended by its client: the flood's and this one.
  EXPECT_TRUE(server.WaitForLog("[I] Terminating the CGI process.", 10000, 2)) << server.Stdout();
  ExpectGone(WrittenPids(Parse(start).body), "a reset during a CGI run that then sleeps");
  ExpectRecovered("a reset during a CGI run that then sleeps");

  // Each ended at a failed send (under Wine nothing above waited for the
  // first two runs to end); none by a time limit.
  const int runs = static_cast<int>(uris.size()) + 1;
  server.WaitForLog("Failed send() errno=", 10000, runs);
  std::string out = server.Stdout();
  EXPECT_EQ(Count(out, "Failed send() errno="), runs) << out;
  EXPECT_EQ(Count(out, "CGI EXE timeout!") + Count(out, "CGI I/O timeout!"), 0) << out;
}

TEST_F(Hostile, MisbehavingCgiPrograms) {
  Start("cgi-exe-timeout = 2000\ncgi-io-timeout = 500\nbuffer-size = 65536\n");
  const int port = service.port();

  Response exited = Get(port, "/exit.sh");
  EXPECT_EQ(exited.status, 200);
  EXPECT_EQ(exited.body, "");
  ExpectRecovered("a program that ends at once");

  // Its own output closed, the program lives on: cut by the I/O limit.
  EXPECT_EQ(Get(port, "/closeout.sh").body, TimeoutText);
  ExpectRecovered("a program that closes its output and keeps running");

  // 10 MiB of output: relayed until the run-time limit cuts it (or whole).
  Response flood = Get(port, "/flood.sh");
  std::string output = flood.body;
  bool cut = output.size() >= TimeoutText.size() &&
             output.compare(output.size() - TimeoutText.size(), TimeoutText.size(), TimeoutText) == 0;
  if (cut) output.resize(output.size() - TimeoutText.size());
  EXPECT_EQ(output.find_first_not_of('\0'), std::string::npos);
  EXPECT_TRUE(cut || output.size() == 10485760u) << output.size() << " bytes";
  EXPECT_GT(output.size(), 0u);
  ExpectRecovered("a program that writes 10 MiB");

  // 60 KB of request data that the program never reads.
  Response ignored = Parse(ExchangeLarge(
      port, "POST /ignore.sh HTTP/1.0\r\nContent-Length: 60000\r\n\r\n" + std::string(60000, 'd')));
  EXPECT_EQ(ignored.body, CgiText("ignored\n"));
  ExpectRecovered("a program that ignores its input");

  // Ends at once, leaving two processes that end a second later: they are
  // the server's to reap once their parent is gone.
  EXPECT_EQ(Get(port, "/orphans.sh").body, CgiText("forked\n"));
  ExpectRecovered("a program that forks a tree and ends");

  EXPECT_EQ(Get(port, "/crash.sh").body, CgiText("before\n"));
  ExpectRecovered("a program that crashes");

  // Its orphan is no longer below it, but still in its process group: the
  // I/O limit ends both.
  Response doubleFork = Get(port, "/doublefork.sh");
  EXPECT_EQ(doubleFork.body.substr(doubleFork.body.size() - std::min(doubleFork.body.size(),
                                                                     TimeoutText.size())),
            TimeoutText);
  std::vector<pid_t> pids = WrittenPids(doubleFork.body);
  EXPECT_EQ(pids.size(), 2u) << doubleFork.body;
  ExpectGone(pids, "a program that leaves an orphan");
  ExpectRecovered("a program that leaves an orphan");

  std::string out = server.Stdout();
  EXPECT_EQ(Count(out, "CGI EXE timeout!") + Count(out, "CGI I/O timeout!"), cut ? 3 : 2) << out;
}
