// The connection object of a transaction.
#include "http/Connection.h"

#include <cstdlib>

#include "platform/platform.h"

Connection *ConnectionNew(PlatSocket sock, const PlatAddress *peer) {
  Connection *conn = static_cast<Connection *>(calloc(1, sizeof *conn));
  if (!conn) return nullptr;
  conn->sock = sock;
  conn->peer = *peer;
  return conn;
}

void ConnectionClose(Connection *conn) {
  PlatMemoryFree(conn->buffer);
  PlatSocketClose(conn->sock);
  free(conn);
}
