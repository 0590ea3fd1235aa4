// The body of a transaction thread: one wait for the request, one receive,
// the HTTP layer, then the connection is closed and the entry finished.
#include "config/ConfigTbl.h"
#include "http/Connection.h"
#include "http/Http.h"
#include "log/Log.h"
#include "platform/platform.h"
#include "trans/Trans.h"

// Waits up to session-timeout for the request (the listening socket has
// passed that bound on to the connection), receives it once and answers. A
// connection from a load balancer first names its client in a PROXY
// header; what arrived with the header is the request's receive.
static void ServeRequest(Connection *conn) {
  if (ProxyFromListed(&conn->peer)) {
    if (ProxyHeaderRead(conn) != 0) return;
    ConnectListClient(&conn->peer);
    if (conn->received > 0) {
      HTTP_start(conn);
      return;
    }
  }
  int received = PlatSocketRecvWithin(conn->sock, conn->buffer, conn->bufferSize - 1);
  if (received == PLAT_SOCKET_TIMED_OUT) {
    LogPrint(LOG_ERR, "Session timeout.");
    return;
  }
  if (received <= 0) {
    // A peer that closed without sending is no error of the call: 0, never
    // what an earlier call left behind.
    LogPrint(LOG_WARN, "Failed recv() errno=%d", received == 0 ? 0 : PlatSocketLastError());
    LogPrint(LOG_WARN, "Request recv error.");
    return;
  }
  LogDump("Received Data", conn->buffer, static_cast<uint32_t>(received));
  conn->buffer[received] = '\0';
  conn->received = received;
  HTTP_start(conn);
}

// Ends a transaction: the connection closed (answered or not), then the
// entry finished, so that a finished entry never refers to an open socket.
static uint32_t Finish(Connection *conn, uint32_t result) {
  ConnectionClose(conn);
  ConnectListDel();
  TRACE_END_AS("TransMain");
  return result;
}

uint32_t TransMain(void *parameter) {
  TRACE_START();
  Connection *conn = static_cast<Connection *>(parameter);
  // The thread runs only once its entry is registered; one that finds none
  // (or another socket in it) gives its connection and its entry up.
  if (ConnectListSerch() != conn->sock) {
    LogPrint(LOG_FATAL, "Logic Error!!");
    uint32_t id = conn->id;
    ConnectionClose(conn);
    ConnectListFinish(id);
    TRACE_END();
    return static_cast<uint32_t>(-1);
  }
  LogPrint(LOG_DEBUG, "Transaction was started. (%d/%d)", static_cast<int>(conn->sock),
           static_cast<int>(PlatCurrentThreadId()));

  // A buffer needs room for at least one byte and the zero behind it.
  int32_t bufferSize = ConfigTbl->buffer_size;
  if (bufferSize < 2) {
    LogPrint(LOG_ERR, "buffer-size %d leaves no room for a request.", bufferSize);
    return Finish(conn, static_cast<uint32_t>(-1));
  }
  conn->buffer = static_cast<char *>(PlatMemoryAlloc(static_cast<size_t>(bufferSize)));
  if (!conn->buffer) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    LogPrint(LOG_ERR, "Could not get receive buffer");
    return Finish(conn, static_cast<uint32_t>(-1));
  }
  conn->bufferSize = bufferSize;
  ServeRequest(conn);
  return Finish(conn, 0);
}
