// Connections: registration lines, session time-out, receive errors, the
// max-connect limit, the stop file and the shutdown of live transactions.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "e2e/Harness.h"

using namespace e2e;

namespace {

struct Fixture {
  TempDir dir;
  Service service;
  Server server{dir};
  std::string Config(const std::string &extra = "") {
    return BaseConfig(service, dir.Path("www")) + extra;
  }
};

}  // namespace

TEST(Connections, OneIdentifierInHexAndDecimalAndAccessLog2) {
  Fixture f;
  ASSERT_TRUE(f.server.StartWith(f.Config("access-log2 = on\n")));
  Exchange(f.service.port(), "GET / HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(f.server.WaitForLog("Transaction was started."));
  std::string out = f.server.Stdout();
  std::smatch connected, started;
  ASSERT_TRUE(std::regex_search(out, connected,
                                std::regex("\\[I\\] Connected from 127\\.0\\.0\\.1 \\(ID=([0-9A-F]+)\\)\n")))
      << out;
  ASSERT_TRUE(std::regex_search(out, started,
                                std::regex("\\[D\\] Transaction was started\\. \\((\\d+)/(\\d+)\\)\n")));
  EXPECT_EQ(std::stoul(connected[1].str(), nullptr, 16), std::stoul(started[2].str()));
  EXPECT_EQ(f.server.Stderr(), connected[0].str());
  EXPECT_EQ(f.server.Stop(), 0);
}

TEST(Connections, SilentClientIsClosedAfterSessionTimeout) {
  Fixture f;
  ASSERT_TRUE(f.server.StartWith(f.Config("session-timeout = 1\n")));
  int fd = Connect(f.service.port());
  ASSERT_GE(fd, 0);
  auto start = std::chrono::steady_clock::now();
  std::string answer = ReadToClose(fd, 10000);
  close(fd);
  EXPECT_EQ(answer, "");
  EXPECT_GE(MillisecondsSince(start), 900);
  EXPECT_TRUE(f.server.WaitForLog("[E] Session timeout.\n"));
  EXPECT_EQ(f.server.Stop(), 0);
}

// A peer that closed before sending anything leaves no error: the line says
// 0, also when the transaction had already found nothing to read at first
// (which leaves "try again" behind as the last error).
TEST(Connections, ClientThatClosesWithoutRequestGivesTwoWarnings) {
  Fixture f;
  ASSERT_TRUE(f.server.StartWith(f.Config()));
  int fd = Connect(f.service.port());
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_TRUE(f.server.WaitForLog("[W] Request recv error.\n"));
  fd = Connect(f.service.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(f.server.WaitForLog("Transaction was started.", 10000, 2));
  close(fd);
  ASSERT_TRUE(f.server.WaitForLog("[W] Request recv error.\n", 10000, 2));
  EXPECT_EQ(Count(f.server.Stdout(), "[W] Failed recv() errno=0\n[W] Request recv error.\n"), 2)
      << f.server.Stdout();
  EXPECT_EQ(f.server.Stop(), 0);
}

TEST(Connections, BufferTooSmallForARequestClosesWithoutAnswer) {
  Fixture f;
  ASSERT_TRUE(f.server.StartWith(f.Config("buffer-size = 1\n")));
  EXPECT_EQ(Exchange(f.service.port(), "GET / HTTP/1.0\r\n\r\n"), "");
  EXPECT_TRUE(f.server.WaitForLog("[E] buffer-size 1 leaves no room for a request.\n"));
  EXPECT_EQ(f.server.Stop(), 0);
}

TEST(Connections, MaxConnectOneServesBackToBackClientsInTurn) {
  Fixture f;
  ASSERT_TRUE(f.server.StartWith(f.Config("max-connect = 1\nsession-timeout = 2\n")));
  int first = Connect(f.service.port());
  int second = Connect(f.service.port());
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  ASSERT_TRUE(f.server.WaitForLog("Transaction was started."));
  // The first holds the only slot until it is served; the second waits in
  // the backlog and is accepted only after the first has been reaped.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Count(f.server.Stdout(), "Connected from"), 1);
  SendAll(first, "GET / HTTP/1.0\r\n\r\n");
  ReadToClose(first, 5000);
  close(first);
  EXPECT_TRUE(f.server.WaitForLog("Connected from", 5000, 2));
  SendAll(second, "GET / HTTP/1.0\r\n\r\n");
  ReadToClose(second, 5000);
  close(second);
  EXPECT_TRUE(f.server.WaitForLog("Transaction was started.", 5000, 2));
  EXPECT_EQ(f.server.Stop(), 0);
}

TEST(Connections, MaxConnectZeroAcceptsNothing) {
  Fixture f;
  ASSERT_TRUE(f.server.StartWith(f.Config("max-connect = 0\n")));
  int fd = Connect(f.service.port());  // waits in the backlog
  ASSERT_GE(fd, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Count(f.server.Stdout(), "Connected from"), 0);
  close(fd);
  EXPECT_EQ(f.server.Stop(), 0);
}

TEST(Connections, StopFilePresentAtStartEndsTheServerAfterOneCycle) {
  Fixture f;
  f.dir.Write("stop.flag", "");
  f.dir.Write("tarveld.conf", f.Config());
  f.server.Start({"tarveld.conf", "stop.flag"});
  EXPECT_EQ(f.server.WaitExit(10000), 0);
  std::string out = f.server.Stdout();
  EXPECT_NE(out.find("[I] Tarvel server is started.\n"), std::string::npos);
  EXPECT_NE(out.find("[I] Received the terminating signal. (0)\n[I] Terminating all transaction.\n"),
            std::string::npos)
      << out;
  EXPECT_NE(access(f.dir.Path("stop.flag").c_str(), F_OK), 0);
}

TEST(Connections, StopFileCreatedLaterEndsTheServer) {
  Fixture f;
  ASSERT_TRUE(f.server.StartWith(f.Config(), "stop.flag"));
  f.dir.Write("stop.flag", "");
  EXPECT_EQ(f.server.WaitExit(10000), 0);
  EXPECT_EQ(Count(f.server.Stdout(), "Received the terminating signal. (0)"), 1);
}

TEST(Connections, StopFileThatCannotBeDeletedDoesNotStopTheServer) {
  Fixture f;
  f.dir.Write("stop.flag/keep", "a folder that unlink cannot remove");
  ASSERT_TRUE(f.server.StartWith(f.Config(), "stop.flag"));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_TRUE(f.server.Running());
  EXPECT_EQ(f.server.Stop(), 0);
}

TEST(Connections, SigintEndsTransactionsInFlight) {
  Fixture f;
  ASSERT_TRUE(f.server.StartWith(f.Config("session-timeout = 60\n")));
  int fds[3];
  for (int &fd : fds) {
    fd = Connect(f.service.port());
    ASSERT_GE(fd, 0);
  }
  ASSERT_TRUE(f.server.WaitForLog("Transaction was started.", 10000, 3));
  auto start = std::chrono::steady_clock::now();
  f.server.Signal(SIGINT);
  EXPECT_EQ(f.server.WaitExit(10000), 0);
  EXPECT_LT(MillisecondsSince(start), 10000);
  std::string out = f.server.Stdout();
  EXPECT_EQ(Count(out, "[I] Terminating. ("), 3) << out;
  for (int fd : fds) {
    EXPECT_EQ(ReadToClose(fd, 5000), "");  // closed by the process end
    close(fd);
  }
}

TEST(Connections, SecondSignalDuringShutdownDoesNotStartItAgain) {
  Fixture f;
  ASSERT_TRUE(f.server.StartWith(f.Config()));
  // Under Wine only SIGINT becomes a console event (Ctrl+C); SIGTERM ends
  // the process there without one.
  f.server.Signal(UnderWine() ? SIGINT : SIGTERM);
  f.server.Signal(SIGINT);
  EXPECT_EQ(f.server.WaitExit(10000), 0);
  EXPECT_EQ(Count(f.server.Stdout(), "Received the terminating signal."), 1);
}
