// Command line, start-up, configuration dump and checks, fatal start-up
// paths and console signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "e2e/Harness.h"

using namespace e2e;

TEST(Startup, BannerConfigDumpAndSigint) {
  TempDir dir;
  Service service;
  Server server(dir);
  ASSERT_TRUE(server.StartWith(BaseConfig(service, dir.Mkdir("www")))) << server.Stdout();
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
  EXPECT_EQ(Count(out, "[W] "), 0) << out;  // a sound configuration draws no warning

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

// Runs the server with these arguments to its end: the exit status, and
// what it wrote.
int RunToExit(const TempDir &dir, const std::vector<std::string> &args, std::string *out,
              std::string *err = nullptr) {
  Server server(dir);
  server.Start(args);
  int status = server.WaitExit(10000);
  *out = server.Stdout();
  if (err) *err = server.Stderr();
  return status;
}

// Starts the server on the configuration and returns its exit status.
int FailedStart(const TempDir &dir, const std::string &config, std::string *out) {
  dir.Write("tarveld.conf", config);
  return RunToExit(dir, {"tarveld.conf"}, out);
}

// --check on the configuration: its exit status and output.
int Check(const TempDir &dir, const std::string &config, std::string *out) {
  dir.Write("tarveld.conf", config);
  return RunToExit(dir, {"--check", "tarveld.conf"}, out);
}

}  // namespace

TEST(Startup, VersionHelpAndUnknownOptions) {
  TempDir dir;
  std::string out, err;
  EXPECT_EQ(RunToExit(dir, {"--version"}, &out), 0);
  EXPECT_EQ(out, "tarveld " TARVELD_VERSION "\n");  // no banner before it

  EXPECT_EQ(RunToExit(dir, {"--help"}, &out, &err), 0);
  EXPECT_EQ(out.find("Usage: tarveld [configuration-file [stop-file]]\n"), 0u) << out;
  for (const char *option : {"--check [configuration-file]", "--version", "--help", "./-name",
                             "tarveld(8)"})
    EXPECT_NE(out.find(option), std::string::npos) << option;
  EXPECT_EQ(err, "");

  // Unknown options, options behind a file name and surplus arguments: the
  // usage on standard error, nothing started.
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--verbose"}, {"tarveld.conf", "--check"}, {"--version", "x"},
           {"--check", "a.conf", "b.conf"}}) {
    EXPECT_EQ(RunToExit(dir, args, &out, &err), 255) << args[0];
    EXPECT_EQ(out, "") << args[0];
    EXPECT_EQ(err.find("Usage: tarveld "), 0u) << args[0] << ": " << err;
  }
}

TEST(Startup, CheckResolvesWithoutListening) {
  TempDir dir;
  Service service;
  std::string base = BaseConfig(service, dir.Mkdir("www"));
  std::string out;

  EXPECT_EQ(Check(dir, base + "cgi-type = cgi | " + TestCgiPath() + " |\n", &out), 0) << out;
  EXPECT_NE(out.find("\n================================\n   Starting the Tarvel Server"),
            std::string::npos);
  EXPECT_NE(out.find("[I] bind-port: [" + service.name() + "/" + std::to_string(service.port()) +
                     "]"),
            std::string::npos)
      << out;
  EXPECT_EQ(Count(out, "[W] "), 0) << out;
  EXPECT_EQ(out.find("Server Socket"), std::string::npos);
  EXPECT_EQ(out.find("Tarvel server is started."), std::string::npos);
  EXPECT_NE(out.find("\nConfiguration check of tarveld.conf: passed\n"), std::string::npos);
  int fd = Connect(service.port());  // nothing listened on the port
  EXPECT_LT(fd, 0);
  if (fd >= 0) close(fd);

  EXPECT_EQ(RunToExit(dir, {"--check", "missing.conf"}, &out), 255);
  EXPECT_NE(out.find("\nmissing.conf was not found!\nConfiguration check of missing.conf: failed\n"),
            std::string::npos)
      << out;

  EXPECT_EQ(Check(dir, base + "bind-port = no-such-service\n", &out), 255);
  EXPECT_NE(out.find("[E] Failed getservbyname() errno="), std::string::npos) << out;
  EXPECT_NE(out.find("Configuration check of tarveld.conf: failed"), std::string::npos);

  // A start would listen, but serve nothing: warnings, exit 0. They show
  // even when log-level hides warnings.
  std::string root = NativePath(dir.Path("no-such-folder"));
  EXPECT_EQ(Check(dir, base + "www-route = " + root + "\nlog-level = 1\n", &out), 0);
  EXPECT_NE(out.find("[W] www-route [" + root +
                     "] is not a folder: every document request is answered 404.\n"
                     "Configuration check of tarveld.conf: passed\n"),
            std::string::npos)
      << out;

  std::string missing = NativePath(dir.Path("no-such-program"));
  std::string text = NativePath(dir.Write("www/plain.txt", "not a program\n"));
  EXPECT_EQ(Check(dir, base + "cgi-type = cgi | " + missing + " |\ncgi-type = sh | " + text + " |\n",
                  &out),
            0);
  EXPECT_NE(out.find("[W] cgi-type [cgi]: program [" + missing + "] does not exist.\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[W] cgi-type [sh]: program [" + text + "] is not executable.\n"),
            std::string::npos)
      << out;

  // Settings with which no socket can listen fail the check.
  EXPECT_EQ(Check(dir, base + "socket-type = SOCK_DGRAM\n", &out), 255);
  EXPECT_NE(out.find("[W] socket-type is 2: the server listens with SOCK_STREAM only.\n"),
            std::string::npos)
      << out;
}

TEST(Startup, WarningsFollowTheDumpOnAStart) {
  TempDir dir;
  Service service;
  Server server(dir);
  std::string config = BaseConfig(service, dir.Mkdir("www")) +
                       "max-connect = 0\nbuffer-size = 1\ndefault-html =\n";
  // max-connect 0 accepts nothing, so the start is all this test can see.
  ASSERT_TRUE(server.StartWith(config)) << server.Stdout();
  std::string out = server.Stdout();
  EXPECT_NE(out.find("[I] ********** SHOW CONFIG - END **********\n"
                     "[W] max-connect is 0: no connection is ever accepted.\n"
                     "[W] buffer-size is 1: every connection is closed without an answer.\n"
                     "[W] default-html is empty: a request path that ends in \"/\" finds no "
                     "document.\n[D] Server Socket : "),
            std::string::npos)
      << out;
  EXPECT_EQ(server.Stop(), 0);
}

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
