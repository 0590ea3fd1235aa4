#include "e2e/Harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Service names with high ports from the services database.
const char *const ServicePool[] = {
    "x11-1",   "x11-2",        "x11-3",      "x11-4",        "x11-5",        "x11-6",
    "x11-7",   "http-alt",     "bacula-dir", "bacula-fd",    "bacula-sd",    "xmms2",
    "amqp",    "amqps",        "sge-qmaster", "sge-execd",   "mysql-proxy",  "gnutella-svc",
    "gnutella-rtr", "ircs-u",  "bbs",        "font-service", "puppet",       "freeciv",
    "xmpp-client", "xmpp-server", "sip",     "sip-tls",      "cfengine",     "mtn",
    "radmin-port", "svn",      "daap",       "distcc",       "nut",          "x11",
};

// Whether a listener could bind the port on this address of the family.
bool BindFree(int family, const void *address, int port) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage local{};
  socklen_t length;
  if (family == AF_INET6) {
    sockaddr_in6 *in6 = reinterpret_cast<sockaddr_in6 *>(&local);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    memcpy(&in6->sin6_addr, address, sizeof in6->sin6_addr);
    length = sizeof *in6;
  } else {
    sockaddr_in *in = reinterpret_cast<sockaddr_in *>(&local);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    memcpy(&in->sin_addr, address, sizeof in->sin_addr);
    length = sizeof *in;
  }
  bool free = bind(fd, reinterpret_cast<sockaddr *>(&local), length) == 0;
  close(fd);
  return free;
}

bool PortFree(int port) {
  const in_addr loopback = {htonl(INADDR_LOOPBACK)};
  if (!BindFree(AF_INET, &loopback, port)) return false;
  return !HaveIPv6Loopback() || BindFree(AF_INET6, &in6addr_loopback, port);
}

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

void RemoveTree(const std::string &path) {
  DIR *dir = opendir(path.c_str());
  if (dir) {
    while (dirent *entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string child = path + "/" + name;
      struct stat info;
      if (lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        chmod(child.c_str(), 0755);
        RemoveTree(child);
      } else {
        unlink(child.c_str());
      }
    }
    closedir(dir);
  }
  rmdir(path.c_str());
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

int AddressInUseError() { return UnderWine() ? 10048 : 98; }  // WSAEADDRINUSE, EADDRINUSE
int AddressNotLocalError() { return UnderWine() ? 10049 : 99; }  // WSAEADDRNOTAVAIL, EADDRNOTAVAIL

bool HaveIPv6Loopback() { return BindFree(AF_INET6, &in6addr_loopback, 0); }
int NoSuchProgramError() { return UnderWine() ? 3 : 2; }  // ERROR_PATH_NOT_FOUND, ENOENT

// ------------------------------------------------------------------ TempDir

TempDir::TempDir() {
  char pattern[] = "/tmp/tarveld-e2e-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() { RemoveTree(path_); }

std::string TempDir::Mkdir(const std::string &relative) const {
  std::string full = path_;
  std::stringstream parts(relative);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    full += "/" + part;
    mkdir(full.c_str(), 0755);
  }
  return full;
}

std::string TempDir::Write(const std::string &relative, const std::string &content,
                           int mode) const {
  size_t slash = relative.rfind('/');
  if (slash != std::string::npos) Mkdir(relative.substr(0, slash));
  std::string full = Path(relative);
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  chmod(full.c_str(), static_cast<mode_t>(mode));
  return full;
}

// ------------------------------------------------------------------ Service

Service::Service() {
  for (int round = 0; round < 200 && lockFd_ < 0; ++round) {
    for (const char *name : ServicePool) {
      servent *entry = getservbyname(name, "tcp");
      if (!entry) continue;
      int port = ntohs(static_cast<uint16_t>(entry->s_port));
      std::string lockPath = std::string("/tmp/tarveld-e2e-port-") + name + ".lock";
      int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      if (fd < 0) continue;
      if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !PortFree(port)) {
        close(fd);
        continue;
      }
      if (UnderWine()) AddWineService(name, port);
      name_ = name;
      port_ = port;
      lockFd_ = fd;
      break;
    }
    if (lockFd_ < 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (lockFd_ < 0) throw std::runtime_error("no free service port");
}

Service::~Service() {
  if (lockFd_ >= 0) close(lockFd_);
}

std::string BaseConfig(const Service &service, const std::string &root) {
  std::ostringstream c;
  c << "# test configuration\n"
    << "bind-host = 127.0.0.1\n"
    << "bind-port = " << service.name() << "\n"
    << "socket-protocol = tcp\n"
    << "socket-domain = AF_INET\n"
    << "socket-type = SOCK_STREAM\n"
    << "socket-backlog = 128\n"
    << "max-connect = 64\n"
    << "buffer-size = 8192\n"
    << "loop-cycle-sec = 0\n"
    << "loop-cycle-usec = 50000\n"
    << "retry-seconds = 1\n"
    << "session-timeout = 5\n"
    << "log-level = 4\n"
    << "time-flag = off\n"
    << "dump-log = off\n"
    << "access-log2 = off\n"
    << "HTTP-version = 1.0\n"
    << "www-route = " << NativePath(root) << "\n"
    << "default-html = index.html\n"
    << "support-method = GET\n"
    << "support-method = HEAD\n"
    << "support-method = POST\n"
    << "content-type = html : text/html\n"
    << "content-type = txt : text/plain\n"
    << "content-type = bin : application/octet-stream\n"
    << "cgi-exe-timeout = 5000\n"
    << "cgi-io-timeout = 3000\n";
  return c.str();
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
  auto start = Clock::now();
  for (;;) {
    if (Count(Stdout(), text) >= count) return true;
    if (ElapsedMs(start) > timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
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
  if (status_ != -1) return status_;
  auto start = Clock::now();
  for (;;) {
    int raw = 0;
    pid_t done = waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return status_;
    }
    if (ElapsedMs(start) > timeoutMs) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int Server::Stop() {
  Signal(SIGINT);
  return WaitExit();
}

bool Server::Running() { return pid_ > 0 && WaitExit(0) == -1; }

// ------------------------------------------------------------------ helpers

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

int Count(const std::string &text, const std::string &needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

int Connect(int port, const std::string &host) {
  sockaddr_storage peer{};
  socklen_t length;
  sockaddr_in6 *in6 = reinterpret_cast<sockaddr_in6 *>(&peer);
  sockaddr_in *in = reinterpret_cast<sockaddr_in *>(&peer);
  if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof *in6;
  } else if (inet_pton(AF_INET, host.c_str(), &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *in;
  } else {
    return -1;
  }
  int fd = socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr *>(&peer), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string &data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadToClose(int fd, int timeoutMs) {
  std::string data;
  auto start = Clock::now();
  char chunk[65536];
  for (;;) {
    int64_t left = timeoutMs - ElapsedMs(start);
    if (left <= 0) break;
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, static_cast<int>(left)) <= 0) break;
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    data.append(chunk, static_cast<size_t>(n));
  }
  return data;
}

std::string Exchange(int port, const std::string &request, int timeoutMs,
                     const std::string &host) {
  int fd = Connect(port, host);
  if (fd < 0) return "";
  SendAll(fd, request);
  std::string answer = ReadToClose(fd, timeoutMs);
  close(fd);
  return answer;
}

const std::string *Response::Header(const std::string &name) const {
  for (const auto &header : headers)
    if (header.first == name) return &header.second;
  return nullptr;
}

Response Parse(const std::string &raw) {
  Response response;
  response.raw = raw;
  size_t end = raw.find("\r\n\r\n");
  response.complete = end != std::string::npos;
  std::string head = raw.substr(0, response.complete ? end : raw.size());
  response.body = response.complete ? raw.substr(end + 4) : "";
  std::istringstream lines(head);
  std::string line;
  bool first = true;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      response.statusLine = line;
      if (line.size() >= 12) response.status = atoi(line.substr(9, 3).c_str());
      first = false;
      continue;
    }
    size_t colon = line.find(": ");
    if (colon == std::string::npos) {
      response.headers.emplace_back(line, "");
    } else {
      response.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
  }
  return response;
}

Response Get(int port, const std::string &uri, const std::string &host) {
  return Parse(Exchange(port, "GET " + uri + " HTTP/1.0\r\n\r\n", 15000, host));
}

// ------------------------------------------------------------------- /proc

int OpenDescriptors(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR *dir = opendir(path.c_str());
  if (!dir) return -1;
  int count = 0;
  while (dirent *entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
}

int ThreadCount(pid_t pid) {
  std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("Threads:");
  return at == std::string::npos ? -1 : atoi(status.c_str() + at + 8);
}

double CpuSeconds(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  // After the name: state, then fields 4 to 13, then utime and stime.
  std::istringstream fields(stat.substr(close + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;
  long long user = 0, system = 0;
  fields >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Parent id and state of a process from /proc/<pid>/stat ("pid (comm) S ppid").
static bool ReadStat(pid_t pid, char *state, pid_t *parent) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 4 > stat.size()) return false;
  *state = stat[close + 2];
  *parent = static_cast<pid_t>(atoi(stat.c_str() + close + 4));
  return true;
}

std::vector<pid_t> ChildProcesses(pid_t pid) {
  std::vector<pid_t> children;
  DIR *dir = opendir("/proc");
  if (!dir) return children;
  while (dirent *entry = readdir(dir)) {
    pid_t candidate = static_cast<pid_t>(atoi(entry->d_name));
    if (candidate <= 0) continue;
    char state;
    pid_t parent;
    if (ReadStat(candidate, &state, &parent) && parent == pid) children.push_back(candidate);
  }
  closedir(dir);
  return children;
}

bool ProcessGone(pid_t pid) {
  char state;
  pid_t parent;
  return !ReadStat(pid, &state, &parent) || state == 'Z' || state == 'X';
}

}  // namespace e2e
