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

// The media type comes from the name a document is stored under, compared
// as the CGI look-up compares it: on Windows its short (8.3) name and an
// upper-case extension type it as its name does; natively the case of a
// name counts and no other name exists.
TEST(PlatformPathTypes, MediaTypeFromTheStoredName) {
  TempDir dir;
  Service service;
  Server server{dir};
  std::string page = dir.Write("www/longname.html", "<html>long</html>\n");
  ASSERT_TRUE(server.StartWith(BaseConfig(service, dir.Path("www")) +
                               "content-type = * : application/octet-stream\n"))
      << server.Stdout();
  Response byName = Get(service.port(), "/longname.html");
  ASSERT_NE(byName.Header("Content-Type"), nullptr);
  EXPECT_EQ(*byName.Header("Content-Type"), "text/html");
  Response upper = Get(service.port(), "/LONGNAME.HTML");
  if (UnderWine()) {
    ASSERT_NE(upper.Header("Content-Type"), nullptr) << upper.raw;
    EXPECT_EQ(*upper.Header("Content-Type"), "text/html");
    EXPECT_EQ(upper.body, "<html>long</html>\n");
    std::string shortName = WindowsShortName(page);
    ASSERT_FALSE(shortName.empty());
    ASSERT_NE(shortName, "longname.html") << "Wine gave no short name";
    Response byShortName = Get(service.port(), "/" + shortName);
    EXPECT_EQ(byShortName.status, 200) << shortName;
    ASSERT_NE(byShortName.Header("Content-Type"), nullptr) << byShortName.raw;
    EXPECT_EQ(*byShortName.Header("Content-Type"), "text/html") << shortName;
    EXPECT_EQ(byShortName.body, "<html>long</html>\n");
  } else {
    EXPECT_EQ(upper.status, 404);
  }
  EXPECT_EQ(server.Stop(), 0);
}
