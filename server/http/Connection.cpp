// The connection object of a transaction, and its line in the access log.
#include "http/Connection.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "http/Http.h"
#include "log/Log.h"
#include "platform/platform.h"

Connection *ConnectionNew(PlatSocket sock, const PlatAddress *peer) {
  Connection *conn = static_cast<Connection *>(calloc(1, sizeof *conn));
  if (!conn) return nullptr;
  conn->sock = sock;
  conn->peer = *peer;
  return conn;
}

// The request line is what the receive brought up to its first line end;
// the header lines follow it.
void ConnectionNoteRequest(Connection *conn) {
  if (!AccessLogOn()) return;
  RequestCopy *logged = &conn->logged;
  logged->time = static_cast<int64_t>(time(nullptr));
  const char *data = conn->buffer;
  size_t length = conn->received > 0 ? static_cast<size_t>(conn->received) : 0;
  const char *newline = static_cast<const char *>(memchr(data, '\n', length));
  size_t lineLength = newline ? static_cast<size_t>(newline - data) : length;
  const char *rest = newline ? newline + 1 : data + length;
  size_t restLength = length - static_cast<size_t>(rest - data);
  if (lineLength > 0 && data[lineLength - 1] == '\r') --lineLength;
  size_t refererLength = 0, agentLength = 0;
  const char *referer = RequestHeaderValue(rest, restLength, "Referer", &refererLength);
  const char *agent = RequestHeaderValue(rest, restLength, "User-Agent", &agentLength);
  char *copy = static_cast<char *>(malloc(lineLength + refererLength + agentLength + 1));
  if (!copy) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    return;
  }
  memcpy(copy, data, lineLength);
  if (referer) memcpy(copy + lineLength, referer, refererLength);
  if (agent) memcpy(copy + lineLength + refererLength, agent, agentLength);
  logged->copy = copy;
  logged->requestLength = lineLength;
  logged->refererLength = referer ? refererLength : SIZE_MAX;
  logged->userAgentLength = agent ? agentLength : SIZE_MAX;
}

// After the close: the client never waits for the line.
static void LogAccess(const Connection *conn) {
  const RequestCopy *logged = &conn->logged;
  char client[64];
  PlatAddressText(&conn->peer, client, sizeof client);
  const char *referer = logged->copy + logged->requestLength;
  size_t refererLength = logged->refererLength == SIZE_MAX ? 0 : logged->refererLength;
  AccessRecord record = {client,
                         logged->time,
                         logged->copy,
                         logged->requestLength,
                         conn->answer.status,
                         conn->answer.bodyBytes,
                         logged->refererLength == SIZE_MAX ? nullptr : referer,
                         refererLength,
                         logged->userAgentLength == SIZE_MAX ? nullptr : referer + refererLength,
                         logged->userAgentLength == SIZE_MAX ? 0 : logged->userAgentLength};
  AccessLogWrite(&record);
}

void ConnectionClose(Connection *conn) {
  PlatMemoryFree(conn->buffer);
  PlatSocketClose(conn->sock);
  if (conn->logged.copy && conn->answer.status != 0) LogAccess(conn);
  free(conn->logged.copy);
  free(conn);
}
