// The configuration file: syntax, every key, every message, the lists and
// the look-ups in them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "config/ConfigTbl.h"
#include "support/Basics.h"
#include "unit/TestSupport.h"

using unit::Capture;
using unit::ConfigScope;

namespace {

// Loads the text as a configuration file; returns ConfigLoad's result and
// what it logged.
int Load(const std::string &text, std::string *log = nullptr) {
  support::TempDir dir;
  std::string path = dir.Write("tarveld.conf", text);
  Capture out;
  int result = ConfigLoad(path.c_str());
  std::string logged = out.Text();
  if (log) *log = logged;
  return result;
}

}  // namespace

TEST(TrimString, TrimsBlanksAndCutsAtLineEnd) {
  ConfigScope config;
  char a[] = " \t value with  blanks \t\r\nrest";
  EXPECT_STREQ(TrimString(a), "value with  blanks");
  char b[] = " \t \t";
  EXPECT_STREQ(TrimString(b), "");
  char c[] = "x\ry";
  EXPECT_STREQ(TrimString(c), "x");
}

TEST(ConfigLoad, MissingOrUnreadableFileIsFatal) {
  ConfigScope config;
  Capture out;
  EXPECT_EQ(ConfigLoad("/nonexistent/tarveld.conf"), -1);
  EXPECT_EQ(out.Text(), "/nonexistent/tarveld.conf was not found!\n");
  // A folder opens on POSIX, and its first read fails (EISDIR); Windows
  // does not open it at all.
  Capture folder;
  EXPECT_EQ(ConfigLoad("."), -1);
  std::string text = folder.Text();
  EXPECT_TRUE(text == "Failed fgets() errno=21\n. could not be read!\n" ||
              text == ". was not found!\n")
      << text;
}

TEST(ConfigLoad, EmptyFileAndCommentsLeaveTheTableUntouched) {
  ConfigScope config;
  EXPECT_EQ(Load(""), 0);
  EXPECT_EQ(Load("# comment\n#log-level=5\nno equals sign here\n\n"), 0);
  ConfigTable expected{};
  expected.log_level = 4;
  EXPECT_EQ(memcmp(ConfigTbl, &expected, sizeof expected), 0);
}

TEST(ConfigLoad, IntegerKeys) {
  ConfigScope config;
  std::string log;
  EXPECT_EQ(Load("socket-backlog = 1024\nretry-seconds=3\nbuffer-size = 4096\n"
                 "loop-cycle-sec = 2\nloop-cycle-usec = 500000\nmax-connect = -7\n"
                 "session-timeout = 30\ncgi-exe-timeout = 10000\ncgi-io-timeout = abc\n"
                 "log-level = 5 # five\n",
                 &log),
            0);
  EXPECT_EQ(config->socket_backlog, 1024);
  EXPECT_EQ(config->retry_seconds, 3);
  EXPECT_EQ(config->buffer_size, 4096);
  EXPECT_EQ(config->loop_cycle_sec, 2);
  EXPECT_EQ(config->loop_cycle_usec, 500000);
  EXPECT_EQ(config->max_connect, -7);
  EXPECT_EQ(config->session_timeout, 30);
  EXPECT_EQ(config->cgi_exe_timeout, 10000);
  EXPECT_EQ(config->cgi_io_timeout, 0);
  EXPECT_EQ(config->log_level, 5);
  // Only the lines after the log-level line are traced.
  EXPECT_EQ(log.rfind("[T] ConfigLoad() end / ConfigLoad.cpp:", 0), 0u) << log;
}

TEST(ConfigLoad, TextKeysKeepEverythingBehindTheFirstEquals) {
  ConfigScope config;
  std::string longValue(300, 'x');
  EXPECT_EQ(Load("www-route = C:\\www # docs\ndefault-html = a=b\nbind-host = 127.0.0.1\n"
                 "bind-port = " + longValue + "\nsocket-protocol = " + std::string(40, 'p') +
                 "\r\n"),
            0);
  EXPECT_STREQ(config->www_route, "C:\\www # docs");
  EXPECT_STREQ(config->default_html, "a=b");
  EXPECT_STREQ(config->bind_host, "127.0.0.1");
  EXPECT_EQ(std::string(config->bind_port), std::string(255, 'x'));
  EXPECT_EQ(std::string(config->socket_protocol), std::string(31, 'p'));
}

TEST(ConfigLoad, KeysAreCaseSensitiveAndFirstColumnOnlyComments) {
  ConfigScope config;
  std::string log;
  EXPECT_EQ(Load("Log-Level = 5\n  #log-level=5\n", &log), 0);
  EXPECT_EQ(config->log_level, 4);
  EXPECT_EQ(log,
            "[W] Unknown Config : param=Log-Level value=5\n"
            "[W] Unknown Config : param=#log-level value=5\n");
}

TEST(ConfigLoad, OnOffSwitches) {
  ConfigScope config;
  EXPECT_EQ(Load("time-flag = ON\ndump-log = on\naccess-log2 = on\n"), 0);
  EXPECT_EQ(config->time_flag, 0);
  EXPECT_EQ(config->dump_log, 1);
  EXPECT_EQ(config->access_log2, 1);
  EXPECT_EQ(Load("dump-log = off\n"), 0);
  EXPECT_EQ(config->dump_log, 0);
}

TEST(ConfigLoad, SocketDomainAndType) {
  ConfigScope config;
  EXPECT_EQ(Load("socket-domain = AF_INET\nsocket-type = SOCK_SEQPACKET\n"), 0);
  EXPECT_EQ(config->socket_domain, PLAT_AF_INET);
  EXPECT_EQ(config->socket_type, 5);
  EXPECT_EQ(Load("socket-domain = AF_INET6\nsocket-type = SOCK_DGRAM\n"), 0);
  EXPECT_EQ(config->socket_domain, PLAT_AF_INET6);
  EXPECT_EQ(config->socket_type, 2);
}

TEST(ConfigLoad, UnsupportedSocketDomainStopsLoading) {
  ConfigScope config;
  std::string log;
  EXPECT_EQ(Load("max-connect = 5\nsocket-domain = af_inet\nmax-connect = 9\n", &log), -1);
  EXPECT_EQ(log, "socket-domain=af_inet is not support.\n");
  EXPECT_EQ(config->max_connect, 5);
  EXPECT_EQ(Load("socket-type = STREAM\n", &log), -1);
  EXPECT_EQ(log, "socket-type=STREAM is not support.\n");
}

TEST(ConfigLoad, HttpVersion) {
  ConfigScope config;
  std::string log;
  EXPECT_EQ(Load("HTTP-version = 1.1\n"), 0);
  EXPECT_EQ(config->HTTP_version, 2);
  EXPECT_EQ(Load("HTTP-version = 2.0\ntime-flag = on\n", &log), 0);
  EXPECT_EQ(log, "[E] Specified HTTP-version is not supported. (2.0)\n");
  EXPECT_EQ(config->HTTP_version, 2);
  EXPECT_EQ(config->time_flag, 1);
  EXPECT_EQ(Load("HTTP-version = 0.9\n"), 0);
  EXPECT_EQ(config->HTTP_version, 0);
}

TEST(ConfigLoad, SupportMethodAccumulates) {
  ConfigScope config;
  std::string log;
  EXPECT_EQ(Load("support-method = GET\nsupport-method = POST\nsupport-method = GET, POST\n",
                 &log),
            0);
  EXPECT_EQ(config->support_method, 0x5u);
  EXPECT_EQ(log, "[W] Unknown support-method : GET, POST\n");
  EXPECT_EQ(Load("support-method = HEAD\n"), 0);
  EXPECT_EQ(config->support_method, 0x7u);
}

TEST(ConfigLoad, ContentTypeList) {
  ConfigScope config;
  std::string log;
  EXPECT_EQ(Load("content-type = txt : text/plain\ncontent-type = text/plain\n"
                 "content-type = txt:text/x-second\ncontent-type = * : application/x\n",
                 &log),
            0);
  EXPECT_EQ(log, "[E] Invalied content-type : text/plain\n");
  const ContentTypeEntry *e = config->content_type;
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->extension, "txt");
  EXPECT_STREQ(e->mediaType, "text/plain");
  ASSERT_NE(e = e->next, nullptr);
  EXPECT_STREQ(e->mediaType, "text/x-second");
  ASSERT_NE(e = e->next, nullptr);
  EXPECT_STREQ(e->extension, "*");
  EXPECT_EQ(e->next, nullptr);
}

TEST(ConfigLoad, CgiTypeListAndEnvironmentReferences) {
  ConfigScope config;
  setenv("TARVELD_TEST_ROOT", "C:\\WINDOWS", 1);
  unsetenv("TARVELD_NO_SUCH_VARIABLE");
  std::string log;
  EXPECT_EQ(Load("cgi-type = pl | C:\\perl\\bin\\perl.exe |\n"
                 "cgi-type = pl | perl.exe\n"
                 "cgi-type = cmd | %TARVELD_TEST_ROOT%\\system32\\cmd.exe | /c\n"
                 "cgi-type = x | %TARVELD_NO_SUCH_VARIABLE%\\run.exe | -q | -v\n",
                 &log),
            0);
  EXPECT_EQ(log, "[E] Invalied cgi-type : pl | perl.exe\n");
  const CgiTypeEntry *e = config->cgi_type;
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->extension, "pl");
  EXPECT_STREQ(e->program, "C:\\perl\\bin\\perl.exe");
  EXPECT_STREQ(e->arguments, "");
  ASSERT_NE(e = e->next, nullptr);
  EXPECT_STREQ(e->program, "C:\\WINDOWS\\system32\\cmd.exe");
  EXPECT_STREQ(e->arguments, "/c");
  ASSERT_NE(e = e->next, nullptr);
  EXPECT_STREQ(e->program, "\\run.exe");
  EXPECT_STREQ(e->arguments, "-q | -v");
  EXPECT_EQ(e->next, nullptr);
}

// The standard CGI keys: off unless set, shown in the dump only when set.
TEST(ConfigLoad, StandardCgiKeys) {
  ConfigScope config;
  std::string log;
  EXPECT_EQ(Load("cgi-standard-type = py | /usr/bin/python3 | -u\n"
                 "cgi-standard-type = pl\n"
                 "cgi-standard-type = php | |\n"
                 "cgi-type = php | /usr/bin/php-cgi |\n"
                 "cgi-env = PATH=/usr/bin:/bin\n"
                 "cgi-env = 1NAME=x\n"
                 "cgi-env = novalue\n",
                 &log),
            0);
  EXPECT_EQ(log, "[E] Invalid cgi-standard-type : pl\n[E] Invalid cgi-env : 1NAME=x\n"
                 "[E] Invalid cgi-env : novalue\n");
  ASSERT_NE(config->cgi_standard_type, nullptr);
  EXPECT_STREQ(config->cgi_standard_type->arguments, "-u");
  EXPECT_EQ(CgiStandardTypeFind("/www/a.py"), config->cgi_standard_type);
  EXPECT_EQ(CgiStandardTypeFind("/www/a.php"), nullptr);  // cgi-type wins
  EXPECT_EQ(CgiMaxBody(), 1048576);
  EXPECT_EQ(config->cgi_max_body_set, 0);
  ASSERT_NE(config->cgi_env, nullptr);
  EXPECT_STREQ(config->cgi_env->variable, "PATH=/usr/bin:/bin");
  EXPECT_EQ(config->cgi_env->next, nullptr);
  {
    Capture out;
    ShowConfig();
    std::string dump = out.Text();
    EXPECT_NE(dump.find("[I] cgi-type: [php:/usr/bin/php-cgi:]\n[I] cgi-standard-type: "
                        "[py:/usr/bin/python3:-u]\n[I] cgi-standard-type: [php::]\n"
                        "[I] cgi-env: [PATH=/usr/bin:/bin]\n[I] cgi-exe-timeout: [0]\n"),
              std::string::npos)
        << dump;
    EXPECT_EQ(dump.find("cgi-max-body"), std::string::npos);
  }
  EXPECT_EQ(Load("cgi-max-body = 0\n"), 0);
  EXPECT_EQ(CgiMaxBody(), 0);
  Capture out;
  ShowConfig();
  EXPECT_NE(out.Text().find("[I] cgi-max-body: [0]\n"), std::string::npos);
}

TEST(ConfigLoad, DeploymentKeys) {
  ConfigScope config;
  std::string log;
  {
    // Left out: off, none, and the dump as it always was.
    EXPECT_EQ(Load("log-level = 4\n", &log), 0);
    Capture out;
    ShowConfig();
    std::string dump = out.Text();
    for (const char *key : {"last-modified", "access-log-file", "proxy-protocol", "proxy-from"})
      EXPECT_EQ(dump.find(key), std::string::npos) << key;
    EXPECT_NE(dump.find("[I] access-log2: [off]\n[I] HTTP-version: [0]\n"), std::string::npos);
  }
  EXPECT_EQ(Load("last-modified = on\n"
                 "access-log-file = /var/log/tarveld/access.log\n"
                 "proxy-protocol = on\n"
                 "proxy-from = 127.0.0.1\n"
                 "proxy-from = 2001:DB8::0:5\n"
                 "proxy-from = 10.0.0.256\n"
                 "proxy-from = haproxy.example\n",
                 &log),
            0);
  EXPECT_EQ(log, "[E] Invalid proxy-from : 10.0.0.256\n[E] Invalid proxy-from : haproxy.example\n");
  EXPECT_EQ(config->last_modified, 1);
  EXPECT_STREQ(config->access_log_file, "/var/log/tarveld/access.log");
  EXPECT_EQ(config->proxy_protocol, 1);
  ASSERT_NE(config->proxy_from, nullptr);
  ASSERT_NE(config->proxy_from->next, nullptr);
  EXPECT_EQ(config->proxy_from->next->next, nullptr);
  {
    Capture out;
    ShowConfig();
    std::string dump = out.Text();
    EXPECT_NE(dump.find("[I] access-log2: [off]\n[I] last-modified: [on]\n"
                        "[I] access-log-file: [/var/log/tarveld/access.log]\n"
                        "[I] proxy-protocol: [on]\n[I] proxy-from: [127.0.0.1]\n"
                        "[I] proxy-from: [2001:db8::5]\n[I] HTTP-version: [0]\n"),
              std::string::npos)
        << dump;
  }
  // Set to off, a key still shows: the file names it.
  EXPECT_EQ(Load("last-modified = yes\nproxy-protocol = off\n"), 0);
  EXPECT_EQ(config->last_modified, 0);
  Capture out;
  ShowConfig();
  std::string dump = out.Text();
  EXPECT_NE(dump.find("[I] last-modified: [off]\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find("[I] proxy-protocol: [off]\n"), std::string::npos) << dump;
}

TEST(ConfigCheck, DeploymentKeysWarnAndAnAccessLogThatCannotOpenFails) {
  ConfigScope config;
  support::TempDir dir;
  std::string root = dir.Mkdir("www");
  std::string base = "www-route = " + root + "\ndefault-html = index.html\nmax-connect = 8\n"
                     "buffer-size = 64\nsupport-method = GET\nloop-cycle-usec = 999\n"
                     "socket-domain = AF_INET\nsocket-type = SOCK_STREAM\n";
  ASSERT_EQ(Load(base + "access-log-file = " + dir.path() + "/access.log\nproxy-protocol = on\n"), 0);
  {
    Capture out;
    EXPECT_EQ(ConfigCheck(), 0);
    EXPECT_EQ(out.Text(), "[W] proxy-protocol is on but no proxy-from is set: no client address "
                          "is taken from a PROXY header.\n");
  }
  EXPECT_EQ(support::ReadFile(dir.path() + "/access.log"), "");  // made, empty
  ASSERT_EQ(Load("proxy-protocol = off\nproxy-from = ::1\n"
                 "access-log-file = " + dir.path() + "/none/access.log\n"), 0);
  Capture out;
  EXPECT_EQ(ConfigCheck(), -1);
  std::string text = out.Text();
  // The error number is the system's own.
  EXPECT_NE(text.find("[W] access-log-file [" + dir.path() + "/none/access.log] cannot be opened "
                      "for appending (errno="),
            std::string::npos) << text;
  EXPECT_NE(text.find("): the start fails.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[W] proxy-from is set but proxy-protocol is off: those connections are "
                      "served as clients of their own.\n"),
            std::string::npos) << text;
}

TEST(ConfigLoad, LongLinesAreReadIn1023CharacterPieces) {
  ConfigScope config;
  // 1023 characters end in "=" + 'x's; the remaining 477 form the next line.
  std::string first = "www-route =" + std::string(1023 - 11, 'x');
  std::string second = "default-html = " + std::string(477 - 15, 'y');
  ASSERT_EQ(first.size() + second.size(), 1500u);
  std::string log;
  EXPECT_EQ(Load(first + second + "\n", &log), 0);
  EXPECT_EQ(std::string(config->www_route), std::string(255, 'x'));
  EXPECT_EQ(std::string(config->default_html), std::string(462, 'y').substr(0, 255));
  EXPECT_EQ(log, "");
}

TEST(ExpandEnv, NeverOverrunsItsBuffer) {
  ConfigScope config;
  setenv("TARVELD_TEST_LONG", std::string(2000, 'v').c_str(), 1);
  char text[] = "a%TARVELD_TEST_LONG%b";
  std::string expanded = ExpandEnv(text);
  EXPECT_EQ(expanded, "a" + std::string(1022, 'v'));
  char plain[] = "no reference %here";
  EXPECT_STREQ(ExpandEnv(plain), "no reference %here");
  char empty[] = "%%tail";
  EXPECT_STREQ(ExpandEnv(empty), "tail");
}

TEST(ContentTypeMedia, ExtensionAndStarEntries) {
  ConfigScope config;
  char html[] = "html : text/html", txt[] = "txt:text/plain", star[] = "* : application/x-any";
  ContentTypeAdd(&config->content_type, html);
  ContentTypeAdd(&config->content_type, txt);
  EXPECT_STREQ(ContentTypeMedia("/www/a.html"), "text/html");
  EXPECT_STREQ(ContentTypeMedia("/www/a.b.txt"), "text/plain");
  // Case counts unless the platform's file names ignore it, as for CGI.
  EXPECT_EQ(ContentTypeMedia("/www/index.HTML") != nullptr, PLAT_NAMES_IGNORE_CASE);
  EXPECT_EQ(ContentTypeMedia("/www/README"), nullptr);
  EXPECT_EQ(ContentTypeMedia("/www/v1.html/README"), nullptr);  // "html/README"
  EXPECT_EQ(ContentTypeMedia("/www/a.html."), nullptr);

  // A "*" entry after the specific ones is the default ...
  ContentTypeAdd(&config->content_type, star);
  EXPECT_STREQ(ContentTypeMedia("/www/a.html"), "text/html");
  EXPECT_STREQ(ContentTypeMedia("/www/README"), "application/x-any");
  EXPECT_STREQ(ContentTypeMedia("/www/v1.txt/README"), "application/x-any");
  EXPECT_STREQ(ContentTypeMedia("/www/index.HTML"),
               PLAT_NAMES_IGNORE_CASE ? "text/html" : "application/x-any");
}

TEST(ContentTypeMedia, StarBeforeASpecificEntryWinsForAll) {
  ConfigScope config;
  char star[] = "*:application/x-any", html[] = "html:text/html";
  ContentTypeAdd(&config->content_type, star);
  ContentTypeAdd(&config->content_type, html);
  EXPECT_STREQ(ContentTypeMedia("/www/a.html"), "application/x-any");
  EXPECT_STREQ(ContentTypeMedia("/www/noext"), "application/x-any");
}

TEST(CgiTypeProgram, LookUpByLastExtensionFirstEntryWins) {
  ConfigScope config;
  char a[] = "cgi | /usr/bin/first | -a";
  char b[] = "pl | /usr/bin/perl | -w";
  char c[] = "cgi | /usr/bin/second |";
  CgiTypeAdd(&config->cgi_type, a);
  CgiTypeAdd(&config->cgi_type, b);
  CgiTypeAdd(&config->cgi_type, c);
  EXPECT_STREQ(CgiTypeProgram("/www/x.tar.cgi"), "/usr/bin/first");
  EXPECT_STREQ(CgiTypeArguments("/www/x.tar.cgi"), "-a");
  EXPECT_STREQ(CgiTypeProgram("\\www\\run.pl"), "/usr/bin/perl");
  EXPECT_STREQ(CgiTypeArguments("\\www\\run.pl"), "-w");
  // Case-sensitive, unless the platform's file names ignore case.
  EXPECT_EQ(CgiTypeProgram("/www/x.CGI") != nullptr, PLAT_NAMES_IGNORE_CASE);
  EXPECT_EQ(CgiTypeProgram("/www.cgi/index"), nullptr);  // the last "." counts
  EXPECT_EQ(CgiTypeArguments("/www/noextension"), nullptr);
  EXPECT_EQ(CgiTypeProgram("/www/x.cgix"), nullptr);
}
