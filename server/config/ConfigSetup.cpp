// Fills the endpoint defaults and resolves host, protocol and service through
// the system's databases into the address, protocol number and port.
#include <cstring>

#include "config/ConfigText.h"
#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "platform/platform.h"

int ConfigSetup() {
  TRACE_START();
  ConfigTable *c = ConfigTbl;

  if (c->bind_host[0] == '\0' && PlatGetHostName(c->bind_host, sizeof c->bind_host) != 0) {
    LogPrint(LOG_ERR, "Failed gethostname() errno=%d", PlatSocketLastError());
    TRACE_END();
    return -1;
  }
  if (c->bind_port[0] == '\0') ConfigCopyText(c->bind_port, sizeof c->bind_port, "http");
  if (c->socket_protocol[0] == '\0')
    ConfigCopyText(c->socket_protocol, sizeof c->socket_protocol, "tcp");

  // An IPv6 socket binds to an IPv6 address; every other family keeps the
  // IPv4 host database.
  bool ipv6 = c->socket_domain == PLAT_AF_INET6;
  PlatHostEntry host;
  if ((ipv6 ? PlatGetAddrInfoIPv6(c->bind_host, &host) : PlatGetHostByName(c->bind_host, &host)) !=
      0) {
    LogPrint(LOG_ERR, "Failed %s() errno=%d", ipv6 ? "getaddrinfo" : "gethostbyname",
             PlatSocketLastError());
    TRACE_END();
    return -1;
  }
  LogPrint(LOG_DEBUG, "IP length=%d", host.addressLength);
  c->host_address_length = host.addressLength;
  if (static_cast<uint32_t>(host.addressLength) > CONFIG_ADDRESS_SIZE) {
    LogPrint(LOG_ERR, "IP address too long! max:%d", CONFIG_ADDRESS_SIZE);
    TRACE_END();
    return -1;
  }
  memcpy(c->host_address, host.firstAddress, static_cast<size_t>(host.addressLength));
  c->host_scope_id = host.scopeId;

  if (PlatGetProtoByName(c->socket_protocol, &c->protocol_number) != 0) {
    LogPrint(LOG_ERR, "Failed getprotobyname() errno=%d", PlatSocketLastError());
    TRACE_END();
    return -1;
  }
  if (PlatGetServByName(c->bind_port, c->socket_protocol, &c->port_number) != 0) {
    LogPrint(LOG_ERR, "Failed getservbyname() errno=%d", PlatSocketLastError());
    TRACE_END();
    return -1;
  }
  TRACE_END();
  return 0;
}
