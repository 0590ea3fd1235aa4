// Creates the listening socket, binds it to the resolved endpoint and starts
// listening with the configured backlog.
#include "config/ConfigTbl.h"
#include "core/Log.h"
#include "platform/platform.h"

// An IPv6 socket is bound to the resolved IPv6 address. Any other family
// gets an IPv4 socket address, its family the low 16 bits of socket-domain.
static int BindEndpoint(PlatSocket sock, const ConfigTable *c) {
  if (c->socket_domain == PLAT_AF_INET6)
    return PlatSocketBindIPv6(sock, c->port_number, c->host_address, c->host_scope_id);
  return PlatSocketBindIPv4(sock, c->socket_domain & 0xFFFF, c->port_number, c->host_address);
}

PlatSocket StartServerSocket() {
  TRACE_START();
  const ConfigTable *c = ConfigTbl;
  PlatSocket sock = PlatSocketCreate(c->socket_domain, c->socket_type, c->protocol_number);
  if (sock == PLAT_INVALID_SOCKET) {
    LogPrint(LOG_ERR, "Failed socket() errno=%d", PlatSocketLastError());
    TRACE_END();
    return PLAT_INVALID_SOCKET;
  }
  if (BindEndpoint(sock, c) != 0) {
    LogPrint(LOG_ERR, "Failed bind() errno=%d", PlatSocketLastError());
    PlatSocketClose(sock);
    TRACE_END();
    return PLAT_INVALID_SOCKET;
  }
  if (PlatSocketListen(sock, c->socket_backlog) != 0) {
    LogPrint(LOG_ERR, "Failed listen() errno=%d", PlatSocketLastError());
    PlatSocketClose(sock);
    TRACE_END();
    return PLAT_INVALID_SOCKET;
  }
  TRACE_END();
  return sock;
}
