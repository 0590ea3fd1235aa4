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
#include <vector>

#include "support/Basics.h"
#include "support/Http.h"
#include "support/Process.h"
#include "support/Service.h"

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
// The short (8.3) name a Windows program sees for a file of this machine,
// asked of the Windows stand-in (CGIPROBE_E2E_BIN) under Wine; "" when it
// cannot tell.
std::string WindowsShortName(const std::string &path);
// The socket interface's error number for an address already in use, and
// for one that is not an address of this machine.
int AddressInUseError();
int AddressNotLocalError();
// The last error of a process creation whose program does not exist.
int NoSuchProgramError();

// Skips the rest of a test that cannot run against a Windows build.
#define E2E_SKIP_UNDER_WINE(reason) \
  do {                              \
    if (::e2e::UnderWine()) GTEST_SKIP() << "under Wine: " << (reason); \
  } while (0)

// The shared helpers, under the names the tests use.
using support::ChildProcesses;
using support::Connect;
using support::Count;
using support::CloseWithReset;
using support::CpuSeconds;
using support::Descriptors;
using support::Exchange;
using support::ExchangeLarge;
using support::Get;
using support::HaveIPv6Loopback;
using support::KillDescendants;
using support::MillisecondsSince;
using support::OpenDescriptors;
using support::Parse;
using support::ProcessGone;
using support::ProcessReaped;
using support::ProxyVersion2;
using support::ReadFile;
using support::ReadToClose;
using support::Response;
using support::SendAll;
using support::TempDir;
using support::ThreadCount;
using support::WaitFor;

// A service for the server under test (see support::Service); under Wine
// its name is added to the prefix's own services database as well.
class Service : public support::Service {
 public:
  Service();
};

// The shared test configuration (support::ServerConfig) with the root as
// the server sees it.
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
  // Starts the server with SIGCHLD ignored, as a shell or supervisor may.
  bool ignoreChildSignal = false;

 private:
  void Launch(const std::string &program, const std::vector<std::string> &args);

  const TempDir &dir_;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace e2e

#endif
