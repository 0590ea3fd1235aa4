// A port for a server under test, and its configuration. The server takes
// its port as a service name, never a number: the name comes from the
// services database.
#ifndef TARVELD_SUPPORT_SERVICE_H
#define TARVELD_SUPPORT_SERVICE_H

#include <string>

namespace support {

// A service name whose port is free on 127.0.0.1 (and on ::1 where there
// is one), held for this object alone: a lock file under /tmp per name
// keeps parallel test runs and the bench scripts apart.
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

// Whether this machine has the IPv6 loopback address ::1.
bool HaveIPv6Loopback();

// A configuration that serves root on 127.0.0.1 and the service, with
// every key set. Lines appended after it override a key (the later line
// wins); content-type, cgi-type and support-method lines add to its own.
std::string ServerConfig(const std::string &serviceName, const std::string &root);

}  // namespace support

#endif
