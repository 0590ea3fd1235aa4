// Creates the listening socket, binds it to the resolved endpoint, starts
// listening with the configured backlog and bounds the waits of the
// connections it will accept.
#include "config/ConfigTbl.h"
#include "core/Core.h"
#include "log/Log.h"
#include "platform/platform.h"

// An IPv6 socket is bound to the resolved IPv6 address. Any other family
// gets an IPv4 socket address, its family the low 16 bits of socket-domain.
static int BindEndpoint(PlatSocket sock, const ConfigTable *c) {
  if (c->socket_domain == PLAT_AF_INET6)
    return PlatSocketBindIPv6(sock, c->port_number, c->host_address, c->host_scope_id);
  return PlatSocketBindIPv4(sock, c->socket_domain & 0xFFFF, c->port_number, c->host_address);
}

// The waits of every connection the socket accepts, set once for all: the
// request must come within session-timeout seconds. A client that sends
// its request and then stops reading must not hold its transaction (and
// its max-connect slot) forever either: every send of an answer may wait at
// most session-timeout seconds, at least one, before it fails and ends the
// transaction like any other failed send. Each bound is set whether or not
// the other could be.
static void BoundAcceptedWaits(PlatSocket sock, int32_t sessionTimeout) {
  if (PlatSocketSetAcceptedReceiveTimeout(sock, sessionTimeout) != 0)
    LogPrint(LOG_WARN, "Failed setsockopt() errno=%d", PlatSocketLastError());
  if (PlatSocketSetAcceptedSendTimeout(sock, sessionTimeout > 0 ? sessionTimeout : 1) != 0)
    LogPrint(LOG_WARN, "Failed setsockopt() errno=%d", PlatSocketLastError());
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
  BoundAcceptedWaits(sock, c->session_timeout);
  TRACE_END();
  return sock;
}
