// CgiExec over a socketpair with small shell-script CGI programs: the
// environment, the argument vector, the relay, POST data, both time limits,
// failures and the reaping of children.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cgi/Cgi.h"
#include "cgi/CgiRun.h"
#include "config/ConfigTbl.h"
#include "http/Http.h"
#include "log/Log.h"
#include "platform/PlatSyscall.h"
#include "support/Basics.h"
#include "support/Process.h"
#include "unit/CgiSupport.h"
#include "unit/TestSupport.h"

using support::Count;
using support::ProcessReaped;
using support::WaitFor;
using unit::Capture;
using unit::ConfigScope;
using unit::EnvironmentBlock;
using unit::RunChild;

namespace {

const std::string TimeoutText = "SERVER ERROR: CGI TIMEOUT.";

struct CgiRun {
  int result = 0;
  std::string answer;  // every byte the client received
  std::string header;
  std::string body;
  std::string log;
};

// Reads what CgiExec sends until it is done; a reader may stop early by
// returning false (the client then closes its end).
using Reader = std::function<bool(const std::string &received)>;

std::string ReadAnswer(int fd, const Reader &reader) {
  std::string received;
  auto begin = std::chrono::steady_clock::now();
  char chunk[65536];
  while (std::chrono::steady_clock::now() - begin < std::chrono::seconds(30)) {
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, 100) <= 0) continue;
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    received.append(chunk, static_cast<size_t>(n));
    if (reader && !reader(received)) break;
  }
  return received;
}

// Runs CgiExec in a thread of its own on one end of a socketpair, as the
// transaction thread does, while the test reads the other end.
CgiRun RunCgi(const std::string &program, const std::string &arguments,
              const std::string &scriptPath, const char *query, const std::string &data,
              int isPost, const Reader &reader = nullptr) {
  CgiRun run;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return run;
  Capture out;
  std::thread server([&] {
    CgiRequest request = {scriptPath.c_str(), program.c_str(), arguments.c_str(), query,
                          data.c_str(), isPost};
    CgiReply reply = {pair[0], SendCgiHeader10, nullptr};
    run.result = CgiExec(&request, &reply);
    shutdown(pair[0], SHUT_WR);
  });
  run.answer = ReadAnswer(pair[1], reader);
  close(pair[1]);
  server.join();
  close(pair[0]);
  run.log = out.Text();
  size_t end = run.answer.find("\r\n\r\n");
  if (end != std::string::npos) {
    run.header = run.answer.substr(0, end + 4);
    run.body = run.answer.substr(end + 4);
  }
  return run;
}

// A shell-script CGI program, run as "cgi-type = sh | /bin/sh |" runs it.
CgiRun RunScript(const std::string &script, const char *query = nullptr,
                 const std::string &data = "", int isPost = 0, const Reader &reader = nullptr) {
  support::TempDir dir;
  std::string path = dir.Write("test.sh", script);
  return RunCgi("/bin/sh", "", path, query, data, isPost, reader);
}

void ExpectCgiHeader(const CgiRun &run) {
  EXPECT_EQ(run.header.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << run.answer;
  EXPECT_NE(run.header.find("\r\nContent-Type: text/html\r\n"), std::string::npos) << run.header;
  // The program's output is ended by the closing of the connection.
  EXPECT_EQ(run.header.find("Content-Length"), std::string::npos) << run.header;
}

// Direct children of the test process, zombies included.
std::vector<pid_t> OwnChildren() { return support::ChildProcesses(getpid()); }

bool NoChildren() {
  return WaitFor([] { return OwnChildren().empty(); });
}

void SetLimits(int32_t exe, int32_t io) {
  ConfigTbl->cgi_exe_timeout = exe;
  ConfigTbl->cgi_io_timeout = io;
}

}  // namespace

TEST(CgiPieces, EnvironmentBlockForTheFourCases) {
  auto block = [](const char *query, const char *data, int isPost) {
    char *raw = CgiEnvironment(query, data, isPost);
    size_t length = 0;
    while (raw[length] || raw[length + 1]) ++length;  // up to the closing NUL pair
    std::string text(raw, length + 2);
    free(raw);
    return text;
  };
  using namespace std::string_literals;
  EXPECT_EQ(block("a=1&b", "x=12345", 1), "QUERY_STRING=a=1&b\0CONTENT_LENGTH=7\0\0"s);
  EXPECT_EQ(block("a=1&b", "x=12345", 0), "QUERY_STRING=a=1&b\0CONTENT_LENGTH=0\0\0"s);
  EXPECT_EQ(block(nullptr, "x=12345", 1), "CONTENT_LENGTH=7\0\0"s);
  EXPECT_EQ(block(nullptr, "x=12345", 0), "CONTENT_LENGTH=0\0\0"s);
  EXPECT_EQ(block("", "", 1), "QUERY_STRING=\0CONTENT_LENGTH=0\0\0"s);
  std::string longQuery(3000, 'q');
  EXPECT_EQ(block(longQuery.c_str(), "", 0), "QUERY_STRING=" + longQuery + "\0CONTENT_LENGTH=0\0\0"s);
}

TEST(CgiChild, ArgumentVectorAndWholeEnvironment) {
  // Blanks split the arguments text, double quotes group and are removed;
  // the script path is one element whatever characters it holds.
  unit::ChildResult run = RunChild("/usr/bin/printf", "<%s>  x\t\"y  z\" \"\"",
                                   "/www/a \"b\" c'd.cgi", EnvironmentBlock({}));
  EXPECT_TRUE(run.ended);
  EXPECT_EQ(run.output, "<x><y  z><></www/a \"b\" c'd.cgi>");

  // env, given itself as the script, prints the environment it was started
  // with: the block and nothing of the test process's own.
  setenv("TARVELD_TEST_OWN", "1", 1);
  run = RunChild("/usr/bin/env", "", "/usr/bin/env",
                 EnvironmentBlock({"QUERY_STRING=a b", "CONTENT_LENGTH=5"}));
  EXPECT_EQ(run.output, "QUERY_STRING=a b\nCONTENT_LENGTH=5\n");
  EXPECT_TRUE(NoChildren());
}

// Children are started side by side while the reaper looks for orphans:
// each run still takes its own child's exit status, and none is left over.
TEST(CgiChild, RunsStartedSideBySideEachGetTheirOwnExitStatus) {
  ASSERT_EQ(TerminateChildInit(), 0);
  std::atomic<int> good{0};
  std::vector<std::thread> runners;
  for (int t = 0; t < 4; ++t) {
    runners.emplace_back([&good, t] {
      for (int i = 0; i < 10; ++i) {
        std::string code = std::to_string(t * 10 + i);
        unit::ChildResult run = RunChild("/bin/sh", "-c \"echo " + code + "; exit " + code + "\"",
                                         "sh", EnvironmentBlock({}));
        if (run.ended && run.exitCode == static_cast<unsigned>(t * 10 + i) &&
            run.output == code + "\n")
          ++good;
      }
    });
  }
  for (std::thread &runner : runners) runner.join();
  EXPECT_EQ(good.load(), 40);
  EXPECT_TRUE(NoChildren());
}

TEST(CgiExec, RelaysOutputWithQueryAndWithout) {
  ConfigScope config;
  LogConfigure(LOG_TRACE, 0, 0);
  SetLimits(5000, 3000);
  const std::string script =
      "printf '%s|%s|%s\\n' \"${QUERY_STRING-unset}\" \"$CONTENT_LENGTH\" \"$0\"\n"
      "echo 'Content-Type: text/plain'\n";
  CgiRun run = RunScript(script, "a=1&b=%20", "ignored", 0);
  EXPECT_EQ(run.result, 0);
  ExpectCgiHeader(run);
  EXPECT_EQ(run.body.substr(0, run.body.find('|', 10)), "a=1&b=%20|0");
  EXPECT_NE(run.body.find("/test.sh\nContent-Type: text/plain\n"), std::string::npos) << run.body;
  EXPECT_NE(run.log.find("[T] CgiExec() start / CgiExec.cpp:"), std::string::npos);
  EXPECT_NE(run.log.find("[D] CGI Result sended "), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("[D] CGI executed time="), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("[T] CgiExec() end / CgiExec.cpp:"), std::string::npos);
  EXPECT_EQ(run.log.find("TIMEOUT"), std::string::npos);

  run = RunScript(script, "", "", 0);
  EXPECT_EQ(run.body.substr(0, 3), "|0|");  // "?" with nothing after it
  run = RunScript(script, nullptr, "", 0);
  EXPECT_EQ(run.body.substr(0, 8), "unset|0|");
  EXPECT_TRUE(NoChildren());
}

TEST(CgiExec, PostDataReachesTheChildWithDumps) {
  ConfigScope config;
  LogConfigure(LOG_DEBUG, 0, 1);
  SetLimits(5000, 3000);
  const std::string data = "Host: x\r\n\r\nTEST=1&a=2";
  CgiRun run = RunScript("head -c \"$CONTENT_LENGTH\"\n", nullptr, data, 1);
  ExpectCgiHeader(run);
  EXPECT_EQ(run.body, data);
  EXPECT_EQ(Count(run.log, "*** DUMP(CGI Write Data / size=21) ***"), 1) << run.log;

  // An empty POST still makes one write of 0 bytes, dumped with its size.
  run = RunScript("echo \"[$CONTENT_LENGTH]\"\n", nullptr, "", 1);
  EXPECT_EQ(run.body, "[0]\n");
  EXPECT_EQ(Count(run.log, "*** DUMP(CGI Write Data / size=0) ***"), 1) << run.log;

  // A GET writes nothing.
  run = RunScript("echo \"[$CONTENT_LENGTH]\"\n", nullptr, "a=1", 0);
  EXPECT_EQ(run.body, "[0]\n");
  EXPECT_EQ(run.log.find("CGI Write Data"), std::string::npos);
  EXPECT_TRUE(NoChildren());
}

TEST(CgiExec, LargePostReachesAReaderAndCannotHoldUpANonReader) {
  ConfigScope config;
  ASSERT_EQ(TerminateChildInit(), 0);
  SetLimits(20000, 3000);
  const std::string data(1048576, 'd');
  CgiRun run = RunScript("head -c \"$CONTENT_LENGTH\" | wc -c\n", nullptr, data, 1);
  EXPECT_EQ(run.body, "1048576\n");
  EXPECT_EQ(run.log.find("Failed"), std::string::npos) << run.log;

  // A child that never reads: the write stops with the run's own limit.
  SetLimits(20000, 300);
  run = RunScript("exec sleep 30\n", nullptr, data, 1);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.body, TimeoutText);
  EXPECT_NE(run.log.find("[E] CGI I/O timeout! (310msec/310msec)\n"), std::string::npos) << run.log;
  EXPECT_TRUE(NoChildren());
}

namespace {

// A stand-in for the look at the program's end that first waits until the
// program has really ended, without reaping it: the program then writes its
// output and ends between a pass's look at the pipe and this look, the
// moment that a relay must not lose its output in.
int EndsBeforeItIsAsked(idtype_t type, id_t id, siginfo_t *info, int options) {
  siginfo_t ended;
  memset(&ended, 0, sizeof ended);
  waitid(type, id, &ended, WEXITED | WNOWAIT);
  return waitid(type, id, info, options);
}

}  // namespace

TEST(CgiExec, OutputWrittenJustBeforeTheEndIsRelayed) {
  ConfigScope config;
  SetLimits(5000, 3000);
  ASSERT_EQ(PlatSyscallSet("process-exit-code", reinterpret_cast<PlatSyscallPtr>(&EndsBeforeItIsAsked)),
            0);
  CgiRun run = RunScript("sleep 0.05\nexec head -c 3000 /dev/zero\n");
  PlatSyscallSet("process-exit-code", nullptr);
  EXPECT_EQ(run.body, std::string(3000, '\0')) << run.body.size() << " bytes";
  EXPECT_EQ(Count(run.log, "CGI Result sended"), 3) << run.log;  // 1024 + 1024 + 952
  EXPECT_NE(run.log.find("[D] CGI executed time="), std::string::npos) << run.log;
  EXPECT_EQ(run.log.find("Terminat"), std::string::npos) << run.log;
  EXPECT_TRUE(NoChildren());
}

TEST(CgiExec, IoTimeoutCutsASilentChild) {
  ConfigScope config;
  ASSERT_EQ(TerminateChildInit(), 0);
  SetLimits(5000, 1000);
  CgiRun run = RunScript("echo started\nexec sleep 30\n");
  EXPECT_EQ(run.result, 0);
  ExpectCgiHeader(run);
  EXPECT_EQ(run.body, "started\n" + TimeoutText);
  EXPECT_NE(run.log.find("[E] CGI I/O timeout! (1010msec/"), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("[I] Terminating the CGI process.\n[I] Terminated child process. ("),
            std::string::npos)
      << run.log;
  EXPECT_EQ(Count(run.log, "Terminated child process."), 1);  // no descendants
  EXPECT_EQ(run.log.find("CGI executed time"), std::string::npos);
  EXPECT_TRUE(NoChildren());
}

TEST(CgiExec, ExeTimeoutCutsAChildThatKeepsWriting) {
  ConfigScope config;
  ASSERT_EQ(TerminateChildInit(), 0);
  SetLimits(300, 3000);
  CgiRun run = RunScript("while :; do echo x; sleep 0.05; done\n");
  ExpectCgiHeader(run);
  ASSERT_GE(run.body.size(), TimeoutText.size());
  EXPECT_EQ(run.body.substr(run.body.size() - TimeoutText.size()), TimeoutText);
  std::string output = run.body.substr(0, run.body.size() - TimeoutText.size());
  EXPECT_EQ(output.find_first_not_of("x\n"), std::string::npos) << output;
  EXPECT_NE(run.log.find("[E] CGI EXE timeout! (310msec)\n"), std::string::npos) << run.log;
  EXPECT_GE(Count(run.log, "[I] Terminated child process. ("), 1);
  EXPECT_TRUE(NoChildren());
}

TEST(CgiExec, ZeroAndNegativeLimitsAsWritten) {
  ConfigScope config;
  ASSERT_EQ(TerminateChildInit(), 0);
  // 0: the second pass cuts the run, after at most the first pass's output.
  SetLimits(0, 3000);
  CgiRun run = RunScript("echo hi\nexec sleep 30\n");
  EXPECT_TRUE(run.body == TimeoutText || run.body == "hi\n" + TimeoutText) << run.body;
  EXPECT_NE(run.log.find("[E] CGI EXE timeout! (10msec)\n"), std::string::npos) << run.log;

  // Negative: cut at the first check, before anything is relayed.
  SetLimits(-1, 3000);
  run = RunScript("echo hi\nexec sleep 30\n");
  ExpectCgiHeader(run);
  EXPECT_EQ(run.body, TimeoutText);
  EXPECT_NE(run.log.find("[E] CGI EXE timeout! (0msec)\n"), std::string::npos) << run.log;

  SetLimits(5000, -10);
  run = RunScript("echo hi\nexec sleep 30\n");
  EXPECT_EQ(run.body, TimeoutText);
  EXPECT_NE(run.log.find("[E] CGI I/O timeout! (0msec/0msec)\n"), std::string::npos) << run.log;
  EXPECT_TRUE(NoChildren());
}

TEST(CgiExec, MissingProgramSendsNothingAndLeavesNoZombie) {
  ConfigScope config;
  SetLimits(5000, 3000);
  CgiRun run = RunCgi("/nonexistent/cgi-program", "", "/www/t.cgi", nullptr, "", 0);
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(run.answer, "");
  EXPECT_NE(run.log.find("[E] Failed CreateProcess() errno=2\n"), std::string::npos) << run.log;
  EXPECT_EQ(run.log.find("CgiExec() end"), std::string::npos);
  EXPECT_TRUE(OwnChildren().empty());
}

TEST(CgiExec, ClientGoneEndsTheRunAndTheProgramWithIt) {
  ConfigScope config;
  ASSERT_EQ(TerminateChildInit(), 0);
  PlatSocketStartup();  // the server ignores SIGPIPE; its children must not
  SetLimits(30000, 3000);
  // The client closes as soon as it knows the child's pid: the send of the
  // next line fails, and the program, which would sleep on without any
  // limit, is ended with the run.
  CgiRun run = RunScript("echo $$\nsleep 0.2\necho more\nexec sleep 30\n", nullptr, "", 0,
                         [](const std::string &received) {
                           size_t body = received.find("\r\n\r\n");
                           return body == std::string::npos ||
                                  received.find('\n', body + 4) == std::string::npos;
                         });
  EXPECT_EQ(run.result, 0);
  int pid = atoi(run.body.c_str());
  ASSERT_GT(pid, 0) << run.body;
  EXPECT_NE(run.log.find("[E] Failed send() errno="), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("[I] Terminating the CGI process.\n[I] Terminated child process. (" +
                         std::to_string(pid) + ")\n"),
            std::string::npos)
      << run.log;
  EXPECT_NE(run.log.find("[D] CGI executed time="), std::string::npos);
  EXPECT_TRUE(WaitFor([pid] { return ProcessReaped(pid); }));
  EXPECT_TRUE(NoChildren());
}

// A time-out ends the program before its text goes to the client: a client
// that no longer reads (its buffers full) cannot keep the program alive.
TEST(CgiExec, TimeoutEndsTheProgramBeforeItsTextWaitsForTheClient) {
  ConfigScope config;
  ASSERT_EQ(TerminateChildInit(), 0);
  SetLimits(30000, 300);
  support::TempDir dir;
  std::string script = dir.Write("test.sh", "echo $$\nexec sleep 30\n");
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  Capture out;
  std::thread server([&] {
    CgiRequest request = {script.c_str(), "/bin/sh", "", nullptr, "", 0};
    CgiReply reply = {pair[0], SendCgiHeader10, nullptr};
    CgiExec(&request, &reply);
  });
  // The client reads up to the program's id, then stops reading, and its
  // buffers fill up.
  std::string received = ReadAnswer(pair[1], [](const std::string &text) {
    size_t body = text.find("\r\n\r\n");
    return body == std::string::npos || text.find('\n', body + 4) == std::string::npos;
  });
  int pid = atoi(received.substr(received.find("\r\n\r\n") + 4).c_str());
  ASSERT_GT(pid, 0) << received;
  std::string filler(65536, 'f');
  while (send(pair[0], filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
  }
  EXPECT_TRUE(WaitFor([pid] { return support::ProcessGone(pid); })) << "the program outlived its limit";
  close(pair[1]);  // the text's send fails now, and the run ends
  server.join();
  close(pair[0]);
  std::string log = out.Text();
  EXPECT_NE(log.find("[E] CGI I/O timeout! ("), std::string::npos) << log;
  EXPECT_TRUE(NoChildren());
}

TEST(CgiExec, TimeoutEndsTheWholeTreeDeepestFirstAndItsOrphans) {
  ConfigScope config;
  ASSERT_EQ(TerminateChildInit(), 0);
  SetLimits(20000, 2000);
  // The child prints its pid, that of an orphan (a process whose parent
  // ended at once: no longer below the child), its child's and its
  // grandchild's; then all sleep until the I/O limit cuts the run.
  CgiRun run = RunScript(
      "echo $$\nsh -c 'sleep 30 & echo $!'\n"
      "sh -c 'echo $$; sleep 30 & echo $!; exec sleep 30' &\nexec sleep 30\n");
  EXPECT_EQ(run.body.substr(run.body.size() - TimeoutText.size()), TimeoutText);
  int child = 0, orphan = 0, grandchild = 0, greatGrandchild = 0;
  ASSERT_EQ(sscanf(run.body.c_str(), "%d %d %d %d", &child, &orphan, &grandchild, &greatGrandchild),
            4)
      << run.body;
  std::string expected = "[I] Terminated child process. (" + std::to_string(greatGrandchild) +
                         ")\n[I] Terminated child process. (" + std::to_string(grandchild) +
                         ")\n[I] Terminated child process. (" + std::to_string(child) + ")\n";
  EXPECT_NE(run.log.find(expected), std::string::npos) << run.log;
  EXPECT_EQ(Count(run.log, "Terminated child process."), 3);
  // Killed descendants and the orphan, ended with the child's process
  // group, are reaped too, not left as zombies.
  EXPECT_TRUE(WaitFor([&] {
    return ProcessReaped(child) && ProcessReaped(grandchild) && ProcessReaped(greatGrandchild) &&
           ProcessReaped(orphan);
  }));
  EXPECT_TRUE(NoChildren());
}
