// The server on an IPv6 socket: documents, a CGI run, HEAD and 404 over ::1,
// the connection lines, both families on the any address "::", and the
// start-up failures of an IPv6 endpoint.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "e2e/Harness.h"

using namespace e2e;

namespace {

class Ipv6 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveIPv6Loopback())
      GTEST_SKIP() << "this machine has no IPv6 loopback address ::1 (IPv6 is off on lo; "
                      "sysctl net.ipv6.conf.lo.disable_ipv6=0 turns it on)";
    dir.Write("www/index.html", "<html>index over IPv6</html>\n");
    dir.Write("www/test.cgi", "run by testcgi\n");
  }

  // The base configuration on an IPv6 socket bound to host.
  std::string Config(const std::string &host, const std::string &extra = "") {
    return BaseConfig(service, dir.Path("www")) + "socket-domain = AF_INET6\nbind-host = " + host +
           "\ncgi-type = cgi | " + TestCgiPath() + " |\n" + extra;
  }

  // Starts on the configuration and expects the start to fail with 255.
  std::string FailedStart(const std::string &config) {
    dir.Write("tarveld.conf", config);
    server.Start({"tarveld.conf"});
    EXPECT_EQ(server.WaitExit(10000), 255);
    return server.Stdout();
  }

  TempDir dir;
  Service service;
  Server server{dir};
};

}  // namespace

TEST_F(Ipv6, ServesDocumentsCgiHeadAnd404OverLoopback) {
  ASSERT_TRUE(server.StartWith(Config("::1", "access-log2 = on\n"))) << server.Stdout();
  int port = service.port();

  Response page = Get(port, "/", "::1");
  EXPECT_EQ(page.status, 200) << page.raw;
  EXPECT_EQ(page.body, "<html>index over IPv6</html>\n");

  Response cgi = Get(port, "/test.cgi?name=v6&x=1", "::1");
  EXPECT_EQ(cgi.status, 200) << cgi.raw;
  EXPECT_EQ(cgi.body, CgiText("<HTML>\n<HEAD>\n<TITLE>TEST CGI RESULT</TITLE>\n</HEAD>\n<BODY>\n"
                              "<HR>QUERY_STRING=\"name=v6&x=1\"<BR>\n<HR>CONTENT_LENGTH=0<BR>\n"
                              "<HR>\n</BODY>\n</HTML>\n"));

  Response head = Parse(Exchange(port, "HEAD / HTTP/1.0\r\n\r\n", 15000, "::1"));
  EXPECT_EQ(head.statusLine, "HTTP/1.0 200 OK");
  EXPECT_EQ(head.body, "");

  EXPECT_EQ(Get(port, "/missing.html", "::1").status, 404);

  // Bound to ::1 alone: no IPv4 client reaches it.
  EXPECT_LT(Connect(port, "127.0.0.1"), 0);

  ASSERT_TRUE(server.WaitForLog("Request URI: /missing.html"));
  std::string out = server.Stdout();
  EXPECT_NE(out.find("[D] IP length=16\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[I] bind-host: [::1/::1]\n"), std::string::npos) << out;
  EXPECT_EQ(Count(out, "[I] Connected from ::1 (ID="), 4) << out;
  EXPECT_EQ(Count(server.Stderr(), "[I] Connected from ::1 (ID="), 4) << server.Stderr();
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Ipv6, AnyAddressAnswersIPv4AndIPv6Clients) {
  ASSERT_TRUE(server.StartWith(Config("::"))) << server.Stdout();
  EXPECT_EQ(Get(service.port(), "/", "127.0.0.1").status, 200);
  EXPECT_EQ(Get(service.port(), "/", "::1").status, 200);
  ASSERT_TRUE(server.WaitForLog("Request URI: /", 10000, 2));
  std::string out = server.Stdout();
  EXPECT_NE(out.find("[I] bind-host: [::/::]\n"), std::string::npos) << out;
  // The IPv4 client in its plain dotted form, not as ::ffff:127.0.0.1.
  EXPECT_EQ(Count(out, "[I] Connected from 127.0.0.1 (ID="), 1) << out;
  EXPECT_EQ(Count(out, "[I] Connected from ::1 (ID="), 1) << out;
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Ipv6, UnresolvableOrForeignHostFailsTheStart) {
  std::string out = FailedStart(Config("no-such-host.invalid"));
  EXPECT_NE(out.find("[E] Failed getaddrinfo() errno="), std::string::npos) << out;
  EXPECT_EQ(out.find("SHOW CONFIG"), std::string::npos) << out;

  // An IPv4 address is no IPv6 endpoint.
  out = FailedStart(Config("127.0.0.1"));
  EXPECT_NE(out.find("[E] Failed getaddrinfo() errno="), std::string::npos) << out;

  // A documentation address that no machine has.
  out = FailedStart(Config("2001:db8::1"));
  EXPECT_NE(out.find("[I] bind-host: [2001:db8::1/2001:db8::1]\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[E] Failed bind() errno=" + std::to_string(AddressNotLocalError()) + "\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Tarvel server is started."), std::string::npos) << out;
}
