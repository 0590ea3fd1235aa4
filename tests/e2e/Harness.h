// End-to-end harness: runs the real server binary in a temporary folder with
// a temporary configuration, talks to it over 127.0.0.1 (or ::1) and reads
// its console.
//
// The binaries are build/tarveld and build/testcgi unless TARVELD_E2E_BIN and
// TESTCGI_E2E_BIN name others. When TARVELD_E2E_WINE names the Wine loader,
// they are Windows programs run through it (in the prefix of WINEPREFIX):
// paths in their configurations are then Windows paths (NativePath), and
// the cases that need Linux alone (most signals, /proc) are skipped.
#ifndef TARVELD_E2E_HARNESS_H
#define TARVELD_E2E_HARNESS_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace e2e {

// Whether the server under test is a Windows program run under Wine.
bool UnderWine();
// A path of this machine as the server sees it: unchanged natively, the
// Windows form under Wine (/tmp/x/www -> Z:\tmp\x\www).
std::string NativePath(const std::string &path);
// The test CGI program's path, as the server sees it.
std::string TestCgiPath();
// The program that runs the tests' ".sh" CGI scripts: /bin/sh, or under
// Wine the Windows stand-in named by CGIPROBE_E2E_BIN, which acts by the
// script's name (silent, hello, linger, ticker, tree).
std::string ShellCgiPath();
// What a CGI program writes on standard output, given as the Linux build's
// program writes it: under Wine the program's streams are in text mode, so a
// CR LF it reads arrives as LF and every LF it writes leaves as CR LF.
std::string CgiText(const std::string &linuxText);
// The socket interface's error number for an address already in use, and
// for one that is not an address of this machine.
int AddressInUseError();
int AddressNotLocalError();
// Whether this machine has the IPv6 loopback address ::1.
bool HaveIPv6Loopback();
// The last error of a process creation whose program does not exist.
int NoSuchProgramError();

// Skips the rest of a test that cannot run against a Windows build.
#define E2E_SKIP_UNDER_WINE(reason) \
  do {                              \
    if (::e2e::UnderWine()) GTEST_SKIP() << "under Wine: " << (reason); \
  } while (0)

// A temporary folder, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  std::string Path(const std::string &relative) const { return path_ + "/" + relative; }
  // Writes a file (creating its folders); returns its full path.
  std::string Write(const std::string &relative, const std::string &content, int mode = 0644) const;
  std::string Mkdir(const std::string &relative) const;

 private:
  std::string path_;
};

// A service name from the services database whose port is free on 127.0.0.1
// (and on ::1 where there is one),
// held for this test alone (a lock file keeps parallel tests apart). Under
// Wine the name is added to the prefix's own services database as well.
class Service {
 public:
  Service();
  ~Service();
  Service(const Service &) = delete;
  Service &operator=(const Service &) = delete;

  const std::string &name() const { return name_; }
  int port() const { return port_; }

 private:
  std::string name_;
  int port_ = 0;
  int lockFd_ = -1;
};

// A configuration that serves `root` on 127.0.0.1 and the service, with every
// key set. Lines appended after it override a key (the later line wins).
std::string BaseConfig(const Service &service, const std::string &root);

// The server process. Its stdout and stderr go to files in the work folder.
class Server {
 public:
  explicit Server(const TempDir &dir);
  ~Server();  // kills the server if it still runs
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Starts the server with these command-line arguments, in the work folder.
  void Start(const std::vector<std::string> &args);
  // The same with the server that arms faults of the platform layer's system
  // calls first, each "name:error[:times[:skip]]" (see probe/FaultServer.cpp).
  void StartWithFaults(const std::vector<std::string> &faults,
                       const std::vector<std::string> &args);
  // Writes config to "tarveld.conf", starts with it and waits for the start.
  bool StartWith(const std::string &config, const std::string &stopFile = "");
  bool WaitForLog(const std::string &text, int timeoutMs = 10000, int count = 1) const;
  std::string Stdout() const;
  std::string Stderr() const;
  void Signal(int sig) const;  // under Wine, SIGINT arrives as Ctrl+C
  // Waits for the process to end; its exit status (0-255), 128 + signal when
  // a signal ended it, or -1 when it is still running at the time-out.
  int WaitExit(int timeoutMs = 10000);
  int Stop();  // SIGINT and the exit status
  bool Running();
  pid_t pid() const { return pid_; }

 private:
  void Launch(const std::string &program, const std::vector<std::string> &args);

  const TempDir &dir_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// The text of a file.
std::string ReadFile(const std::string &path);
int Count(const std::string &text, const std::string &needle);

// One connection: connect, send the request, read until the server closes.
// host is an IPv4 or IPv6 literal.
int Connect(int port, const std::string &host = "127.0.0.1");  // a connected socket or -1
bool SendAll(int fd, const std::string &data);
std::string ReadToClose(int fd, int timeoutMs = 15000);
std::string Exchange(int port, const std::string &request, int timeoutMs = 15000,
                     const std::string &host = "127.0.0.1");

struct Response {
  std::string raw;
  std::string statusLine;
  int status = -1;
  std::vector<std::pair<std::string, std::string>> headers;  // in order
  std::string body;
  bool complete = false;  // the header ended with an empty line
  const std::string *Header(const std::string &name) const;
};
Response Parse(const std::string &raw);
Response Get(int port, const std::string &uri, const std::string &host = "127.0.0.1");

// Figures of a running process read from /proc.
int OpenDescriptors(pid_t pid);
int ThreadCount(pid_t pid);
double CpuSeconds(pid_t pid);  // user and system time spent so far
std::vector<pid_t> ChildProcesses(pid_t pid);  // direct children, zombies included
bool ProcessGone(pid_t pid);  // no such process, or a zombie

}  // namespace e2e

#endif
