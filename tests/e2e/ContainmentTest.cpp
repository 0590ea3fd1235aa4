// CGI runs that nothing escapes, and their caps, on the real server: a
// program that leaves its process group (setsid) dies with its run, a fork
// bomb, a memory hog and a CPU spinner are each ended by their cap while the
// server goes on answering, a shutdown ends the programs still running, and
// where no control group can be made the server says so and falls back to
// process groups. Every case is checked through /proc. The control group
// cases need a server that may make groups (root here and in CI).
//
// Against the Windows build a run's group is its job object: the escape is
// a process whose parent has ended (outside the program's process tree),
// and whether a process is gone is asked of the Windows side by a run of
// the stand-in ("alive"). Wine's job objects keep no cap: the server says
// so at its start, and the caps themselves are not run there.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e/Harness.h"

using namespace e2e;

namespace {

const std::string TimeoutText = "SERVER ERROR: CGI TIMEOUT.";

class Containment : public ::testing::Test {
 protected:
  void SetUp() override {
    root = dir.Path("www");
    dir.Write("www/index.html", "<p>index</p>\n");
    // Prints the id of a sleeper that has left the program's process group
    // and session, then sleeps itself.
    dir.Write("www/escape.sh", "sh -c 'setsid sleep 300 & echo $!'\nexec sleep 300\n");
    dir.Write("www/leave.sh", "sh -c 'setsid sleep 300 & echo $!'\n");
    dir.Write("www/bomb.sh", "echo bomb\nb() { b | b & }; b\nexec sleep 300\n");
    dir.Write("www/hog.sh", "echo hog\nexec dd if=/dev/zero of=/dev/null bs=1G count=1\n");
    dir.Write("www/spin.sh", "echo spin\nwhile :; do :; done\n");
    dir.Write("www/nap.sh", "echo $$\nexec sleep 300\n");
    dir.Write("www/alive.sh", "kill -0 \"$QUERY_STRING\" 2>/dev/null && echo alive || echo gone\n");
    dir.Write("www/hog.std", "printf 'Content-Type: text/plain\\n\\n'\n"
                             "exec dd if=/dev/zero of=/dev/null bs=1G count=1\n");
  }

  void TearDown() override {
    if (server.pid() > 0 && server.Running()) {
      if (!UnderWine()) KillDescendants(server.pid());
      EXPECT_EQ(server.Stop(), 0);
    }
  }

  // Starts the server; false (the test skipped) where no control group can
  // be made and groups are asked for.
  bool Start(const std::string &extra = "", bool needGroups = true) {
    std::string config = BaseConfig(service, root) + "cgi-type = sh | " + ShellCgiPath() +
                         " |\ncgi-standard-type = std | " + ShellCgiPath() +
                         " |\ncgi-env = PATH=/usr/bin:/bin\n" + extra;
    EXPECT_TRUE(server.StartWith(config)) << server.Stdout();
    bool groups = server.Stdout().find(UnderWine() ? "[I] CGI containment: job objects\n"
                                                   : "[I] CGI containment: control groups (") !=
                  std::string::npos;
    return groups || !needGroups;
  }

  // Whether a process that a run wrote the id of is gone: from /proc, or,
  // for the Windows build, by a run of the stand-in (the server must serve).
  bool Gone(int id) {
    if (!UnderWine()) return WaitFor([id] { return ProcessGone(id); });
    return WaitFor([this, id] {
      return Get(service.port(), "/alive.sh?" + std::to_string(id)).body == CgiText("gone\n");
    });
  }

  // The folder the server makes its groups of runs in, from its log.
  std::string GroupFolder() {
    std::string out = server.Stdout();
    size_t at = out.find("CGI containment: control groups (cgroup2 ");
    if (at == std::string::npos) return "";
    at += 41;
    return out.substr(at, out.find_first_of(",)", at) - at);
  }

  // The server's own control groups of runs, none once every run has ended.
  std::vector<std::string> RunGroups() {
    std::vector<std::string> groups;
    std::string folder = GroupFolder();
    if (folder.empty()) return groups;
    std::string prefix = "tarveld-" + std::to_string(server.pid()) + "-";
    DIR *entries = opendir(folder.c_str());
    if (!entries) return groups;
    while (dirent *entry = readdir(entries)) {
      std::string name = entry->d_name;
      if (name.rfind(prefix, 0) == 0 && name.find("probe") == std::string::npos)
        groups.push_back(name);
    }
    closedir(entries);
    return groups;
  }

  void ExpectNothingLeft() {
    if (!UnderWine()) {
      EXPECT_TRUE(WaitFor([this] { return ChildProcesses(server.pid()).empty(); }))
          << ChildProcesses(server.pid()).size() << " children left";
      EXPECT_TRUE(WaitFor([this] { return RunGroups().empty(); })) << RunGroups().size();
    }
    Response again = Get(service.port(), "/index.html");
    EXPECT_EQ(again.status, 200);
  }

  TempDir dir;
  Service service;
  Server server{dir};
  std::string root;
};

const char *const CapKeys[] = {"cgi-memory-limit", "cgi-process-limit", "cgi-cpu-limit"};

}  // namespace

TEST_F(Containment, ProcessesThatLeaveTheirGroupDieWithTheRun) {
  if (!Start("cgi-io-timeout = 500\n")) GTEST_SKIP() << "no control group can be made here";
  // Ended by a limit: the escaped sleeper with the rest of the run.
  Response escaped = Get(service.port(), "/escape.sh");
  int sleeper = atoi(escaped.body.c_str());
  ASSERT_GT(sleeper, 0) << escaped.raw;
  EXPECT_EQ(escaped.body.substr(escaped.body.size() - TimeoutText.size()), TimeoutText);
  EXPECT_TRUE(Gone(sleeper)) << sleeper;
  // Ended by its own end: what it started goes all the same.
  Response left = Get(service.port(), "/leave.sh");
  int other = atoi(left.body.c_str());
  ASSERT_GT(other, 0) << left.raw;
  EXPECT_TRUE(Gone(other)) << other;
  ExpectNothingLeft();
}

TEST_F(Containment, WithoutBirthIntoItsGroupTheProgramJoinsItAndAStartRemovesStaleGroups) {
  if (UnderWine()) GTEST_SKIP() << "a job object is joined after the start there anyway";
  dir.Write("tarveld.conf", BaseConfig(service, root) + "cgi-type = sh | " + ShellCgiPath() +
                            " |\ncgi-io-timeout = 500\n");
  server.StartWithFaults({"group-spawn:38:1000000"}, {"tarveld.conf"});
  ASSERT_TRUE(server.WaitForLog("Tarvel server is started.")) << server.Stdout();
  std::string folder = GroupFolder();
  if (folder.empty()) GTEST_SKIP() << "no control group can be made here";
  Response escaped = Get(service.port(), "/escape.sh");
  int sleeper = atoi(escaped.body.c_str());
  ASSERT_GT(sleeper, 0) << escaped.raw;
  EXPECT_TRUE(Gone(sleeper)) << sleeper;
  ExpectNothingLeft();

  // The empty group of a server killed outright goes with the next start.
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  waitpid(gone, nullptr, 0);
  std::string stale = folder + "/tarveld-" + std::to_string(gone) + "-1";
  ASSERT_EQ(mkdir(stale.c_str(), 0755), 0) << stale;
  TempDir other;
  Service again;
  Server next(other);
  ASSERT_TRUE(next.StartWith(BaseConfig(again, root) + "cgi-type = sh | " + ShellCgiPath() + " |\n"))
      << next.Stdout();
  bool removed = access(stale.c_str(), F_OK) != 0;
  if (!removed) rmdir(stale.c_str());
  EXPECT_TRUE(removed) << stale;
  EXPECT_EQ(next.Stop(), 0);
}

TEST_F(Containment, EachCapEndsItsRunAndTheServerGoesOn) {
  if (!Start("cgi-exe-timeout = 20000\ncgi-io-timeout = 20000\ncgi-process-limit = 32\n"
             "cgi-memory-limit = 67108864\ncgi-cpu-limit = 500\n"))
    GTEST_SKIP() << "no control group can be made here";
  if (UnderWine()) {
    // Its job objects take the limits and keep none: the server says so.
    for (const char *key : CapKeys)
      EXPECT_NE(server.Stdout().find(std::string("[W] ") + key +
                                     " is not enforced: the system's job objects take the limit "
                                     "but do not keep it.\n"),
                std::string::npos)
          << server.Stdout();
    GTEST_SKIP() << "Wine's job objects enforce no cap";
  }
  EXPECT_EQ(server.Stdout().find("is not enforced"), std::string::npos) << server.Stdout();
  struct Case {
    const char *uri;
    const char *line;
  };
  const Case cases[] = {
      {"/bomb.sh", "[E] CGI process limit! (32 processes)\n"},
      {"/hog.sh", "[E] CGI memory limit! (67108864 bytes)\n"},
      {"/spin.sh", "[E] CGI CPU limit! (500msec)\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.uri);
    Response response = Get(service.port(), c.uri);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body.substr(response.body.size() - TimeoutText.size()), TimeoutText)
        << response.body;
    EXPECT_TRUE(server.WaitForLog(c.line)) << server.Stdout();
    ExpectNothingLeft();
  }
  // Through the standard interface: 502 before the header, and the cap in
  // the outcome line.
  Response hog = Get(service.port(), "/hog.std");
  EXPECT_EQ(hog.statusLine, "HTTP/1.0 200 OK");  // the header came before the cap
  EXPECT_TRUE(server.WaitForLog("limit cgi-memory-limit, ")) << server.Stdout();
  EXPECT_EQ(Count(server.Stdout(), "[E] CGI memory limit! (67108864 bytes)\n"), 2);
  ExpectNothingLeft();
}

TEST_F(Containment, AShutdownEndsTheProgramsStillRunning) {
  if (!Start("cgi-exe-timeout = 60000\ncgi-io-timeout = 60000\n", false)) return;
  int fd = Connect(service.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, "GET /nap.sh HTTP/1.0\r\n\r\n"));
  std::string answer;
  ASSERT_TRUE(WaitFor([&] {
    char chunk[256];
    ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) answer.append(chunk, static_cast<size_t>(n));
    return Parse(answer).body.find('\n') != std::string::npos;
  }));
  int program = atoi(Parse(answer).body.c_str());
  ASSERT_GT(program, 0) << answer;
  EXPECT_EQ(server.Stop(), 0);
  close(fd);
  std::string out = server.Stdout();
  EXPECT_NE(out.find("[I] Terminating the CGI process.\n[I] Terminated child process. (" +
                     std::to_string(program) + ")\n"),
            std::string::npos)
      << out;
  if (UnderWine()) return;  // no server is left to ask the Windows side
  EXPECT_TRUE(WaitFor([program] { return ProcessGone(program); })) << program;
}

TEST_F(Containment, WithoutGroupsTheServerSaysSoAndFallsBack) {
  dir.Write("tarveld.conf", BaseConfig(service, root) + "cgi-type = sh | " + ShellCgiPath() +
                            " |\ncgi-io-timeout = 500\ncgi-process-limit = 8\n");
  server.StartWithFaults({"group-create:13:1000000"}, {"tarveld.conf"});
  ASSERT_TRUE(server.WaitForLog("Tarvel server is started.")) << server.Stdout();
  std::string out = server.Stdout();
  EXPECT_NE(out.find(UnderWine() ? "[I] CGI containment: process trees (no job object can be "
                                   "made: error=13)\n[W] cgi-process-limit is not enforced: "
                                   "no job object can be made.\n"
                                 : "[I] CGI containment: process groups (no control group can "
                                   "be made: errno="),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(")\n[W] cgi-process-limit is not enforced: "), std::string::npos) << out;
  Response response = Get(service.port(), "/nap.sh");
  EXPECT_EQ(response.body.substr(response.body.size() - TimeoutText.size()), TimeoutText);
  int program = atoi(response.body.c_str());
  EXPECT_TRUE(Gone(program)) << program;

  // The check tells which, whatever log-level says.
  TempDir other;
  other.Write("c.conf", BaseConfig(service, root) + "cgi-type = sh | " + ShellCgiPath() +
                            " |\nlog-level = 1\n");
  Server check(other);
  check.Start({"--check", "c.conf"});
  EXPECT_EQ(check.WaitExit(10000), 0);
  EXPECT_NE(check.Stdout().find("\nCGI containment: "), std::string::npos) << check.Stdout();
}
