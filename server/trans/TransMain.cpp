// The body of a transaction thread: one wait for the request, one receive,
// the HTTP layer, then the connection is closed and the entry finished.
#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "http/Http.h"
#include "platform/platform.h"
#include "trans/Trans.h"

// Waits up to session-timeout for the request (the listening socket has
// passed that bound on to the connection), receives it once and answers.
static void ServeRequest(PlatSocket sock, char *buffer, int32_t bufferSize) {
  int received = PlatSocketRecvWithin(sock, buffer, bufferSize - 1);
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
  LogDump("Received Data", buffer, static_cast<uint32_t>(received));
  buffer[received] = '\0';
  HTTP_start(sock, buffer, received);
}

// Ends a transaction that cannot receive: no answer, the connection closed.
static uint32_t Abandon(PlatSocket sock) {
  PlatSocketClose(sock);
  ConnectListDel();
  TRACE_END_AS("TransMain");
  return static_cast<uint32_t>(-1);
}

uint32_t TransMain(void *) {
  TRACE_START();
  int32_t bufferSize = ConfigTbl->buffer_size;
  PlatSocket sock = ConnectListSerch();
  if (sock == PLAT_INVALID_SOCKET) {
    LogPrint(LOG_FATAL, "Logic Error!!");
    TRACE_END();
    return static_cast<uint32_t>(-1);
  }
  LogPrint(LOG_DEBUG, "Transaction was started. (%d/%d)", static_cast<int>(sock),
           static_cast<int>(PlatCurrentThreadId()));

  // A buffer needs room for at least one byte and the zero behind it.
  if (bufferSize < 2) {
    LogPrint(LOG_ERR, "buffer-size %d leaves no room for a request.", bufferSize);
    return Abandon(sock);
  }
  char *buffer = static_cast<char *>(PlatMemoryAlloc(static_cast<size_t>(bufferSize)));
  if (!buffer) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    LogPrint(LOG_ERR, "Could not get receive buffer");
    return Abandon(sock);
  }

  ServeRequest(sock, buffer, bufferSize);

  PlatMemoryFree(buffer);
  PlatSocketClose(sock);
  ConnectListDel();
  TRACE_END();
  return 0;
}
