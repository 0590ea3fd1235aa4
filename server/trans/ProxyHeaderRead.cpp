// The PROXY header of a connection from a load balancer (a proxy-from
// address): read before the request, within session-timeout, into the
// receive buffer. The client it names replaces the connection's peer, and
// the bytes after it stay in the buffer as the request's receive.
#include <cstring>

#include "config/ConfigTbl.h"
#include "http/Connection.h"
#include "http/Http.h"
#include "log/Log.h"
#include "platform/platform.h"
#include "trans/Trans.h"

// The refusal of a connection without a valid header: one warning with the
// balancer's address, since no client address is known.
static int Refuse(const Connection *conn, const char *reason) {
  char peer[64];
  PlatAddressText(&conn->peer, peer, sizeof peer);
  LogPrint(LOG_WARN, "Refused a connection from %s (ID=%X): %s", peer, conn->id, reason);
  return -1;
}

int ProxyHeaderRead(Connection *conn) {
  int32_t seconds = ConfigTbl->session_timeout > 0 ? ConfigTbl->session_timeout : 0;
  uint64_t deadline = PlatMonotonicMsec() + static_cast<uint64_t>(seconds) * 1000u;
  int received = 0;
  for (;;) {
    int room = conn->bufferSize - 1 - received;
    if (room <= 0) return Refuse(conn, "the PROXY header is longer than buffer-size.");
    uint64_t now = PlatMonotonicMsec();
    uint64_t wait = deadline > now ? deadline - now : 0;
    int ready = PlatSocketWaitReadable(conn->sock, static_cast<int32_t>(wait / 1000),
                                       static_cast<int32_t>(wait % 1000) * 1000);
    if (ready == 0) return Refuse(conn, "no PROXY header within session-timeout.");
    int got = ready > 0 ? PlatSocketRecv(conn->sock, conn->buffer + received, room) : -1;
    if (got < 0) {
      LogPrint(LOG_WARN, "Failed recv() errno=%d", PlatSocketLastError());
      return Refuse(conn, "the PROXY header could not be read.");
    }
    if (got == 0) return Refuse(conn, "closed before its PROXY header.");
    LogDump("Received Data", conn->buffer + received, static_cast<uint32_t>(got));
    received += got;
    ProxyHeader header;
    long length = ProxyHeaderParse(reinterpret_cast<unsigned char *>(conn->buffer),
                                   static_cast<size_t>(received), &header);
    if (length == PROXY_HEADER_INVALID) return Refuse(conn, "no valid PROXY header.");
    if (length == PROXY_HEADER_INCOMPLETE) continue;
    if (!header.local) conn->peer = header.client;
    conn->received = received - static_cast<int>(length);
    memmove(conn->buffer, conn->buffer + length, static_cast<size_t>(conn->received));
    conn->buffer[conn->received] = '\0';
    return 0;
  }
}
