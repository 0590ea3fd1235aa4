// A CGI program inherits nothing of the server but its own two pipe ends:
// above all no other client's connection, which would otherwise stay open
// for as long as the program runs, whatever the server does with it; nor
// the batch scheduling policy of the transaction thread that starts it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "e2e/Harness.h"

using namespace e2e;

namespace {

// Whether the peer closes the connection within the time: true on the end of
// the stream, false when the time runs out with the connection still open.
bool ClosedWithin(int fd, int timeoutMs) {
  auto start = std::chrono::steady_clock::now();
  char chunk[4096];
  for (;;) {
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
    if (spent >= timeoutMs) return false;
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, static_cast<int>(timeoutMs - spent)) <= 0) return false;
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return true;  // the end, or a reset: closed either way
  }
}

}  // namespace

TEST(CgiInherit, ProgramDoesNotHoldAnotherClientsConnection) {
  TempDir dir;
  Service service;
  Server server(dir);
  // The program runs until the test lets it end by creating linger.end
  // beside it (20 seconds at most).
  dir.Write("www/linger.sh", "echo started\ni=0\nwhile [ ! -e '" + dir.Path("www/linger.end") +
                                 "' ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done\n");
  ASSERT_TRUE(server.StartWith(BaseConfig(service, dir.Path("www")) +
                               "cgi-type = sh | " + ShellCgiPath() + " |\n" +
                               "session-timeout = 2\ncgi-io-timeout = 20000\n"
                               "cgi-exe-timeout = 20000\n"))
      << server.Stdout();

  // A silent client whose connection the server closes after 2 seconds.
  int silent = Connect(service.port());
  ASSERT_GE(silent, 0);
  ASSERT_TRUE(server.WaitForLog("Transaction was started."));
  // The program starts while that connection is open.
  int client = Connect(service.port());
  ASSERT_GE(client, 0);
  ASSERT_TRUE(SendAll(client, "GET /linger.sh HTTP/1.0\r\n\r\n"));
  ASSERT_TRUE(server.WaitForLog("CGI Result sended"));
  ASSERT_TRUE(server.WaitForLog("[E] Session timeout.\n"));
  std::string out = server.Stdout();
  ASSERT_LT(out.find("CGI Result sended"), out.find("Session timeout.")) << out;

  // The server has closed it; the program, still running, must not hold it.
  EXPECT_TRUE(ClosedWithin(silent, 3000));
  close(silent);
  dir.Write("www/linger.end", "");

  Response response = Parse(ReadToClose(client, 20000));
  close(client);
  EXPECT_EQ(response.body, CgiText("started\n"));
  EXPECT_TRUE(server.WaitForLog("[D] CGI executed time=")) << server.Stdout();
  EXPECT_EQ(server.Stop(), 0);
}

// The policy is field 41 of the process's status line; 0 is the normal one.
TEST(CgiInherit, ProgramRunsWithTheNormalSchedulingPolicy) {
  E2E_SKIP_UNDER_WINE("/proc of the CGI program");
  TempDir dir;
  Service service;
  Server server(dir);
  dir.Write("www/policy.sh", "echo policy=$(awk '{print $41}' /proc/self/stat)\n");
  ASSERT_TRUE(server.StartWith(BaseConfig(service, dir.Path("www")) + "cgi-type = sh | " +
                               ShellCgiPath() + " |\n"))
      << server.Stdout();
  Response response = Get(service.port(), "/policy.sh");
  EXPECT_EQ(response.body, "policy=0\n");
  EXPECT_EQ(server.Stop(), 0);
}
