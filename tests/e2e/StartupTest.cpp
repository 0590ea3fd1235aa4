// Start-up, configuration dump, fatal start-up paths and console signals.
#include <gtest/gtest.h>
#include <signal.h>

#include "e2e/Harness.h"

using namespace e2e;

TEST(Startup, BannerConfigDumpAndSigint) {
  TempDir dir;
  Service service;
  Server server(dir);
  ASSERT_TRUE(server.StartWith(BaseConfig(service, dir.Path("www")))) << server.Stdout();
  std::string out = server.Stdout();
  EXPECT_EQ(out.find("\n================================\n   Starting the Tarvel Server   \n"
                     "================================\n<Runtime Information>\n - Major Version = "),
            0u)
      << out;
  // The platform that answered: Windows NT (2) under Wine, else POSIX (3).
  EXPECT_NE(out.find(UnderWine() ? "\n - Platform ID = 2\n" : "\n - Platform ID = 3\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[I] bind-port: [" + service.name() + "/" + std::to_string(service.port()) +
                     "]"),
            std::string::npos);
  EXPECT_NE(out.find("[I] socket-protocol: [tcp/6]"), std::string::npos);
  EXPECT_NE(out.find("[I] support-method: [0x00000007]"), std::string::npos);
  EXPECT_NE(out.find("[D] IP length=4"), std::string::npos);
  EXPECT_NE(out.find("[D] Server Socket : "), std::string::npos);

  EXPECT_EQ(server.Stop(), 0);
  out = server.Stdout();
  EXPECT_NE(out.find("[I] Received the terminating signal. (0)\n[I] Terminating all transaction.\n"),
            std::string::npos)
      << out;
}

TEST(Startup, LogoffEventIsLoggedAndIgnored) {
  E2E_SKIP_UNDER_WINE("no signal becomes a log-off event (Wine keeps SIGUSR1 for itself)");
  TempDir dir;
  Service service;
  Server server(dir);
  ASSERT_TRUE(server.StartWith(BaseConfig(service, dir.Path("www")))) << server.Stdout();
  server.Signal(SIGUSR1);
  ASSERT_TRUE(server.WaitForLog("[I] Controll signal(5) is ignore."));
  EXPECT_TRUE(server.Running());
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(Count(server.Stdout(), "Received the terminating signal. (0)"), 1);
}

// Out of threads, the events are handled all the same: a log-off is still
// ignored and a stop still runs the shutdown sequence, never the signal's
// default action.
TEST(Startup, ConsoleEventsWithoutADeliveryThreadAreStillHandled) {
  E2E_SKIP_UNDER_WINE("the console itself starts the threads that deliver its events");
  TempDir dir;
  Service service;
  Server server(dir);
  dir.Write("tarveld.conf", BaseConfig(service, dir.Path("www")));
  server.StartWithFaults({"console-thread-create:11:2"}, {"tarveld.conf"});
  ASSERT_TRUE(server.WaitForLog("Tarvel server is started.")) << server.Stdout();
  server.Signal(SIGUSR1);
  ASSERT_TRUE(server.WaitForLog("[I] Controll signal(5) is ignore.")) << server.Stdout();
  EXPECT_TRUE(server.Running());
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(), 0);
  EXPECT_NE(server.Stdout().find(
                "[I] Received the terminating signal. (6)\n[I] Terminating all transaction.\n"),
            std::string::npos)
      << server.Stdout();
}

namespace {

// Starts the server on the configuration and returns its exit status.
int FailedStart(const TempDir &dir, const std::string &config, std::string *out) {
  Server server(dir);
  dir.Write("tarveld.conf", config);
  server.Start({"tarveld.conf"});
  int status = server.WaitExit(10000);
  *out = server.Stdout();
  return status;
}

}  // namespace

TEST(Startup, FatalConfigurationsExitWithMinusOne) {
  TempDir dir;
  Service service;
  std::string base = BaseConfig(service, dir.Path("www"));
  std::string out;

  EXPECT_EQ(FailedStart(dir, base + "socket-domain = af_inet\n", &out), 255);
  EXPECT_NE(out.find("\nsocket-domain=af_inet is not support.\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("SHOW CONFIG"), std::string::npos);

  EXPECT_EQ(FailedStart(dir, base + "bind-port = 8080\n", &out), 255);
  EXPECT_NE(out.find("[E] Failed getservbyname() errno="), std::string::npos) << out;

  EXPECT_EQ(FailedStart(dir, base + "bind-host = no-such-host.invalid\n", &out), 255);
  EXPECT_NE(out.find("[E] Failed gethostbyname() errno="), std::string::npos) << out;
}

TEST(Startup, MissingConfigurationFile) {
  TempDir dir;
  Server server(dir);
  server.Start({});  // reads tarveld.conf from the current folder
  EXPECT_EQ(server.WaitExit(10000), 255);
  EXPECT_NE(server.Stdout().find("\ntarveld.conf was not found!\n"), std::string::npos);

  Server named(dir);
  named.Start({"other.conf", "stop.flag"});
  EXPECT_EQ(named.WaitExit(10000), 255);
  EXPECT_NE(named.Stdout().find("\nother.conf was not found!\n"), std::string::npos);

  // A folder cannot be read: the start ends there, not on an empty table.
  dir.Mkdir("folder.conf");
  Server folder(dir);
  folder.Start({"folder.conf"});
  EXPECT_EQ(folder.WaitExit(10000), 255);
  EXPECT_EQ(folder.Stdout().find("SHOW CONFIG"), std::string::npos) << folder.Stdout();
}

TEST(Startup, PortHeldByAListenerFailsToBind) {
  TempDir dir;
  Service service;
  Server first(dir);
  ASSERT_TRUE(first.StartWith(BaseConfig(service, dir.Path("www"))));
  TempDir other;
  std::string out;
  EXPECT_EQ(FailedStart(other, BaseConfig(service, other.Path("www")), &out), 255);
  EXPECT_NE(out.find("[E] Failed bind() errno=" + std::to_string(AddressInUseError()) + "\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(first.Stop(), 0);
  // Restarted at once on the same port, despite connections in TIME_WAIT.
  Server again(dir);
  ASSERT_TRUE(again.StartWith(BaseConfig(service, dir.Path("www"))));
  EXPECT_EQ(again.Stop(), 0);
}
