// Document paths where the platforms differ: a backslash is a separator on
// Windows, and device names (NUL, CON, AUX) open devices in any folder.
// Whatever the platform, no request leaves the document root or reads a
// device.
#include <gtest/gtest.h>

#include <string>

#include "e2e/Harness.h"

using namespace e2e;

namespace {

class PlatformPath : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.Write("www/index.html", "<html>index</html>\n");
    dir.Write("www/docs/a.txt", "plain text\n");
    dir.Write("secret.txt", "SECRET");
    dir.Write("www2/secret.txt", "SECRET2");
    ASSERT_TRUE(server.StartWith(BaseConfig(service, dir.Path("www")))) << server.Stdout();
  }
  void TearDown() override { EXPECT_EQ(server.Stop(), 0); }

  TempDir dir;
  Service service;
  Server server{dir};
};

}  // namespace

TEST_F(PlatformPath, BackslashTraversalIsRefusedOrNotFound) {
  // Under Wine these lead out of the root and are refused; natively a
  // backslash is part of a name that does not exist.
  int expected = UnderWine() ? 403 : 404;
  for (const char *uri : {"/..\\secret.txt", "/docs\\..\\..\\secret.txt",
                          "/..\\www2\\secret.txt", "/docs/..\\..\\secret.txt"}) {
    Response answer = Get(service.port(), uri);
    EXPECT_EQ(answer.status, expected) << uri;
    EXPECT_EQ(answer.raw.find("SECRET"), std::string::npos) << uri;
  }
  // Inside the root a backslash path is served under Wine.
  Response inside = Get(service.port(), "/docs\\a.txt");
  EXPECT_EQ(inside.status, UnderWine() ? 200 : 404);
  EXPECT_EQ(inside.body, UnderWine() ? "plain text\n" : "");
}

TEST_F(PlatformPath, DeviceNamesAreNotDocuments) {
  // Windows resolves a device name to the device (\\.\NUL), outside the
  // root; natively these are names of files that do not exist.
  int expected = UnderWine() ? 403 : 404;
  for (const char *uri : {"/nul", "/NUL", "/docs/con", "/aux.txt", "/nul.html", "/COM1"}) {
    Response answer = Get(service.port(), uri);
    EXPECT_EQ(answer.status, expected) << uri << "\n" << answer.raw;
  }
  EXPECT_EQ(Get(service.port(), "/index.html").status, 200);
}
