#include "e2e/Harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace e2e {

namespace {

// The Wine loader that runs the binaries, or null for native binaries.
const char *WineLoader() {
  const char *loader = getenv("TARVELD_E2E_WINE");
  return loader && *loader ? loader : nullptr;
}

// Adds "name port/tcp" to the Wine prefix's services database unless the
// name is there already. Tests in parallel processes take turns by a lock.
void AddWineService(const std::string &name, int port) {
  const char *prefix = getenv("WINEPREFIX");
  std::string home = getenv("HOME") ? getenv("HOME") : "/root";
  std::string services = (prefix && *prefix ? std::string(prefix) : home + "/.wine") +
                         "/drive_c/windows/system32/drivers/etc/services";
  int lock = open("/tmp/tarveld-e2e-wine-services.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lock < 0) throw std::runtime_error("cannot lock the Wine services database");
  flock(lock, LOCK_EX);  // released by the close
  std::istringstream lines(ReadFile(services));
  std::string line;
  bool known = false;
  while (!known && std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string first;
    fields >> first;
    known = first == name;
  }
  if (!known) {
    std::ofstream out(services, std::ios::app);
    out << name << "\t" << port << "/tcp\n";
    out.close();
    if (!out) {
      close(lock);
      throw std::runtime_error("cannot write " + services);
    }
  }
  close(lock);
}

}  // namespace

// ------------------------------------------------------------------ Wine

bool UnderWine() { return WineLoader() != nullptr; }

std::string NativePath(const std::string &path) {
  if (!UnderWine() || path.empty() || path[0] != '/') return path;
  std::string windows = "Z:" + path;  // Wine's drive Z: is the root folder
  for (char &c : windows)
    if (c == '/') c = '\\';
  return windows;
}

std::string TestCgiPath() {
  const char *binary = getenv("TESTCGI_E2E_BIN");
  return NativePath(binary && *binary ? binary : TESTCGI_BIN);
}

std::string ShellCgiPath() {
  if (!UnderWine()) return "/bin/sh";
  const char *probe = getenv("CGIPROBE_E2E_BIN");
  if (!probe || !*probe) throw std::runtime_error("CGIPROBE_E2E_BIN names no program");
  return NativePath(probe);
}

std::string CgiText(const std::string &linuxText) {
  if (!UnderWine()) return linuxText;
  std::string text;
  for (size_t i = 0; i < linuxText.size(); ++i) {
    if (linuxText[i] == '\r' && i + 1 < linuxText.size() && linuxText[i + 1] == '\n') continue;
    if (linuxText[i] == '\n') text += '\r';
    text += linuxText[i];
  }
  return text;
}

std::string WindowsShortName(const std::string &path) {
  if (!UnderWine()) return "";
  std::string command = std::string("WINEDEBUG=-all '") + WineLoader() + "' '" + ShellCgiPath() +
                        "' --short-name '" + NativePath(path) + "' 2>/dev/null";
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return "";
  std::string name;
  char chunk[256];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) name.append(chunk, got);
  return pclose(pipe) == 0 ? name : "";
}

int AddressInUseError() { return UnderWine() ? 10048 : 98; }  // WSAEADDRINUSE, EADDRINUSE
int AddressNotLocalError() { return UnderWine() ? 10049 : 99; }  // WSAEADDRNOTAVAIL, EADDRNOTAVAIL
int NoSuchProgramError() { return UnderWine() ? 3 : 2; }  // ERROR_PATH_NOT_FOUND, ENOENT

// ------------------------------------------------------------------ Service

Service::Service() {
  if (UnderWine()) AddWineService(name(), port());
}

std::string BaseConfig(const Service &service, const std::string &root) {
  return support::ServerConfig(service.name(), NativePath(root));
}

// ------------------------------------------------------------------- Server

Server::Server(const TempDir &dir) : dir_(dir) {}

// A sanitizer build reports on standard error; any report fails the test.
static void ExpectNoSanitizerReport(const std::string &err) {
  if (err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos)
    ADD_FAILURE() << "sanitizer report from the server:\n" << err;
}

Server::~Server() {
  if (pid_ > 0 && status_ == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (pid_ > 0) ExpectNoSanitizerReport(Stderr());
}

void Server::Start(const std::vector<std::string> &args) {
  const char *binary = getenv("TARVELD_E2E_BIN");
  Launch(binary && *binary ? binary : TARVELD_BIN, args);
}

void Server::StartWithFaults(const std::vector<std::string> &faults,
                             const std::vector<std::string> &args) {
  std::vector<std::string> all;
  for (const std::string &fault : faults) all.push_back("--fail=" + fault);
  all.insert(all.end(), args.begin(), args.end());
  const char *binary = getenv("FAULTSERVER_E2E_BIN");
  Launch(binary && *binary ? binary : FAULTSERVER_BIN, all);
}

void Server::Launch(const std::string &program, const std::vector<std::string> &args) {
  std::vector<std::string> argv = {program};
  if (UnderWine()) argv.insert(argv.begin(), WineLoader());
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char *> raw;
  for (std::string &arg : argv) raw.push_back(arg.data());
  raw.push_back(nullptr);
  // The server's environment: ours, and Wine kept quiet on standard error.
  std::vector<std::string> environment;
  for (char **entry = environ; *entry; ++entry) environment.emplace_back(*entry);
  if (UnderWine() && !getenv("WINEDEBUG")) environment.emplace_back("WINEDEBUG=-all");
  std::vector<char *> env;
  for (std::string &entry : environment) env.push_back(entry.data());
  env.push_back(nullptr);

  std::string out = dir_.Path("stdout.log");
  std::string err = dir_.Path("stderr.log");
  // Emptied before the start, so that nothing of an earlier run is read;
  // an earlier run's sanitizer report counts all the same.
  if (pid_ > 0) ExpectNoSanitizerReport(Stderr());
  dir_.Write("stdout.log", "");
  dir_.Write("stderr.log", "");
  pid_ = fork();
  if (pid_ == 0) {
    if (chdir(dir_.path().c_str()) != 0) _exit(126);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (ignoreChildSignal) signal(SIGCHLD, SIG_IGN);
    execve(raw[0], raw.data(), env.data());
    _exit(127);
  }
  status_ = -1;
}

bool Server::StartWith(const std::string &config, const std::string &stopFile) {
  dir_.Write("tarveld.conf", config);
  std::vector<std::string> args = {"tarveld.conf"};
  if (!stopFile.empty()) args.push_back(stopFile);
  Start(args);
  return WaitForLog("Tarvel server is started.");
}

bool Server::WaitForLog(const std::string &text, int timeoutMs, int count) const {
  return WaitFor([&] { return Count(Stdout(), text) >= count; }, timeoutMs);
}

// A Windows program's console streams are in text mode: every line feed
// goes out as CR LF. The tests read lines as this machine writes them.
static std::string ConsoleText(const std::string &raw) {
  if (!UnderWine()) return raw;
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i)
    if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) text += raw[i];
  return text;
}

std::string Server::Stdout() const { return ConsoleText(ReadFile(dir_.Path("stdout.log"))); }
std::string Server::Stderr() const { return ConsoleText(ReadFile(dir_.Path("stderr.log"))); }

void Server::Signal(int sig) const {
  if (pid_ > 0 && status_ == -1) kill(pid_, sig);
}

int Server::WaitExit(int timeoutMs) {
  if (pid_ <= 0) return -1;
  WaitFor([&] {
    int raw = 0;
    if (status_ == -1 && waitpid(pid_, &raw, WNOHANG) == pid_)
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return status_ != -1;
  }, timeoutMs);
  return status_;
}

int Server::Stop() {
  Signal(SIGINT);
  return WaitExit();
}

bool Server::Running() { return pid_ > 0 && WaitExit(0) == -1; }

}  // namespace e2e
