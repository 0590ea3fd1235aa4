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
  EXPECT_NE(out.find("[I] bind-port: [" + service.name() + "/" + std::to_string(service.port()) +
                     "]"),
            std::string::npos);
  EXPECT_NE(out.find("[I] socket-protocol: [tcp/6]"), std::string::npos);
  EXPECT_NE(out.find("[I] support-method: [0x00000007]"), std::string::npos);
  EXPECT_NE(out.find("[D] IP length=4"), std::string::npos);
  EXPECT_NE(out.find("[D] Server Socket : "), std::string::npos);

  server.Signal(SIGUSR1);
  ASSERT_TRUE(server.WaitForLog("[I] Controll signal(5) is ignore."));
  EXPECT_TRUE(server.Running());

  EXPECT_EQ(server.Stop(), 0);
  out = server.Stdout();
  EXPECT_NE(out.find("[I] Received the terminating signal. (0)\n[I] Terminating all transaction.\n"),
            std::string::npos)
      << out;
}
