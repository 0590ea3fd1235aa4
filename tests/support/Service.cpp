#include "support/Service.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace support {

namespace {

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

}  // namespace

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

bool HaveIPv6Loopback() { return BindFree(AF_INET6, &in6addr_loopback, 0); }

std::string ServerConfig(const std::string &serviceName, const std::string &root) {
  return "# test configuration\n"
         "bind-host = 127.0.0.1\n"
         "bind-port = " + serviceName + "\n"
         "socket-protocol = tcp\n"
         "socket-domain = AF_INET\n"
         "socket-type = SOCK_STREAM\n"
         "socket-backlog = 128\n"
         "max-connect = 64\n"
         "buffer-size = 8192\n"
         "loop-cycle-sec = 0\n"
         "loop-cycle-usec = 50000\n"
         "retry-seconds = 1\n"
         "session-timeout = 5\n"
         "log-level = 4\n"
         "time-flag = off\n"
         "dump-log = off\n"
         "access-log2 = off\n"
         "HTTP-version = 1.0\n"
         "www-route = " + root + "\n"
         "default-html = index.html\n"
         "support-method = GET\n"
         "support-method = HEAD\n"
         "support-method = POST\n"
         "content-type = html : text/html\n"
         "content-type = txt : text/plain\n"
         "content-type = bin : application/octet-stream\n"
         "cgi-exe-timeout = 5000\n"
         "cgi-io-timeout = 3000\n";
}

}  // namespace support
