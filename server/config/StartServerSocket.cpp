// Creates the listening socket, binds it to the resolved IPv4 endpoint and
// starts listening with the configured backlog.
#include "config/ConfigTbl.h"
#include "core/Log.h"
#include "platform/platform.h"

PlatSocket StartServerSocket() {
  TRACE_START();
  const ConfigTable *c = ConfigTbl;
  PlatSocket sock = PlatSocketCreate(c->socket_domain, c->socket_type, c->protocol_number);
  if (sock == PLAT_INVALID_SOCKET) {
    LogPrint(LOG_ERR, "Failed socket() errno=%d", PlatSocketLastError());
    TRACE_END();
    return PLAT_INVALID_SOCKET;
  }
  // The address family is the low 16 bits of socket-domain, whatever it holds.
  int family = c->socket_domain & 0xFFFF;
  if (PlatSocketBindIPv4(sock, family, c->port_number, c->host_address) != 0) {
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
