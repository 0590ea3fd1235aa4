// The HTTP side of a standard CGI run: the request's header block read to
// its end, its lines cut into fields, the body of a POST read whole (exactly
// Content-Length bytes, within session-timeout), the meta-variables
// gathered, then the run. A request the run cannot be given is answered
// here: 400 for header lines that cannot be read, 411 for a POST without a
// length, 413 for a body above cgi-max-body, 500 for a program that cannot
// be started.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ConfigTbl.h"
#include "http/Http.h"
#include "log/Log.h"
#include "platform/platform.h"

namespace {

// A short text answer of the server's own.
void SendErrorText(Connection *conn, unsigned kind, const char *text) {
  int length = static_cast<int>(strlen(text));
  SendAnswerHeader10(conn, kind, length, "text/plain", LAST_MODIFIED_NONE,
                     BodyPiece{text, length});
}

uint64_t SessionDeadline() {
  int32_t seconds = ConfigTbl->session_timeout > 0 ? ConfigTbl->session_timeout : 0;
  return PlatMonotonicMsec() + static_cast<uint64_t>(seconds) * 1000u;
}

// One receive of more of the request, waiting no longer than the deadline:
// the count, 0 when the peer has closed, -1 on a failure,
// PLAT_SOCKET_TIMED_OUT when the time ran out. Each failure is logged.
int ReceiveMore(const Connection *conn, char *into, int room, uint64_t deadline) {
  uint64_t now = PlatMonotonicMsec();
  uint64_t wait = deadline > now ? deadline - now : 0;
  int ready = PlatSocketWaitReadable(conn->sock, static_cast<int32_t>(wait / 1000),
                                     static_cast<int32_t>(wait % 1000) * 1000);
  int got = ready > 0 ? PlatSocketRecv(conn->sock, into, room) : PLAT_SOCKET_TIMED_OUT;
  if (ready < 0) got = -1;
  if (got == PLAT_SOCKET_TIMED_OUT) {
    LogPrint(LOG_ERR, "Session timeout.");
  } else if (got <= 0) {
    LogPrint(LOG_WARN, "Failed recv() errno=%d", got == 0 ? 0 : PlatSocketLastError());
    LogPrint(LOG_WARN, "Request recv error.");
  } else {
    LogDump("Received Data", into, static_cast<uint32_t>(got));
  }
  return got;
}

// The header block's length from the request data, after receiving what
// the first receive did not bring; -1 when the request ends without an
// answer or has been answered (400: the block does not fit the buffer).
long CompleteHeader(Connection *conn) {
  Request *request = &conn->request;
  if (request->version[0] == '\0') return 0;  // a request line alone
  uint64_t deadline = SessionDeadline();
  for (;;) {
    size_t have = static_cast<size_t>(conn->buffer + conn->received - request->data);
    long end = RequestHeaderEnd(request->data, have);
    if (end >= 0) return end;
    int room = conn->bufferSize - 1 - conn->received;
    if (room <= 0) {
      LogPrint(LOG_WARN, "Request header longer than buffer-size %d.", conn->bufferSize);
      SendErrorText(conn, STATUS_BAD_REQUEST, "Bad Request: the header is too long.");
      return -1;
    }
    int got = ReceiveMore(conn, conn->buffer + conn->received, room, deadline);
    if (got <= 0) return -1;
    conn->received += got;
    conn->buffer[conn->received] = '\0';
  }
}

// The body of a POST, whole in a heap block: what the receives brought
// beyond the header block, then the rest as it arrives. -1 when the request
// ends without an answer or has been answered.
int ReadBody(Connection *conn, const CgiField *fields, int count, const char *after,
             CgiMeta *meta) {
  int64_t length = 0;
  int known = RequestContentLength(fields, count, &length);
  if (known == 0) {
    LogPrint(LOG_WARN, "POST without Content-Length.");
    SendErrorText(conn, STATUS_LENGTH_REQUIRED, "Length Required: a POST needs Content-Length.");
    return -1;
  }
  if (known < 0) {
    LogPrint(LOG_WARN, "Invalid Content-Length.");
    SendErrorText(conn, STATUS_BAD_REQUEST, "Bad Request: the Content-Length is no length.");
    return -1;
  }
  if (length > CgiMaxBody()) {
    LogPrint(LOG_WARN, "Request body of %" PRId64 " bytes above cgi-max-body %" PRId64 ".", length,
             CgiMaxBody());
    SendErrorText(conn, STATUS_TOO_LARGE, "Request Entity Too Large: the body is too long.");
    return -1;
  }
  char *body = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
  if (!body) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    return -1;
  }
  int64_t have = conn->buffer + conn->received - after;
  if (have > length) have = length;
  memcpy(body, after, static_cast<size_t>(have));
  uint64_t deadline = SessionDeadline();
  while (have < length) {
    int64_t left = length - have;
    int room = left > (1 << 30) ? (1 << 30) : static_cast<int>(left);
    int got = ReceiveMore(conn, body + have, room, deadline);
    if (got <= 0) {
      free(body);
      return -1;
    }
    have += got;
  }
  meta->body = body;
  meta->bodyLength = length;
  return 0;
}

// The host the client asked for (Host without its port), when it is a plain
// name or address; else the configured bind-host.
void ServerName(const CgiField *fields, int count, char *name, size_t size) {
  const char *host = RequestField(fields, count, "Host");
  size_t length = 0;
  if (host) {
    bool bracketed = host[0] == '[';
    for (; host[length]; ++length) {
      char c = host[length];
      if (!bracketed && c == ':') break;
      if (bracketed && c == ']') {
        ++length;
        break;
      }
      bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '.' || c == '-' || c == ':' || c == '[';
      if (!plain) {
        length = 0;
        break;
      }
    }
  }
  if (length == 0 || length >= size) {
    snprintf(name, size, "%s", ConfigTbl->bind_host);
    return;
  }
  memcpy(name, host, length);
  name[length] = '\0';
}

int PortInHostOrder(uint16_t networkOrder) {
  unsigned char bytes[2];
  memcpy(bytes, &networkOrder, sizeof bytes);
  return (bytes[0] << 8) | bytes[1];
}

// The request's version when it is one ("HTTP/1.1"), else HTTP/1.0.
const char *Protocol(const char *version) {
  bool valid = strncmp(version, "HTTP/", 5) == 0 && version[5] >= '0' && version[5] <= '9' &&
               version[6] == '.' && version[7] >= '0' && version[7] <= '9' && version[8] == '\0';
  return valid ? version : "HTTP/1.0";
}

// The URI as received: the query was cut off at its "?".
void RequestUri(const Request *request, char *uri, size_t size) {
  if (request->query)
    snprintf(uri, size, "%s?%s", request->uri, request->query);
  else
    snprintf(uri, size, "%s", request->uri);
}

// Paths below the document root in URI form: its own separators as "/".
void UriForm(const char *path, char *out, size_t size) {
  snprintf(out, size, "%s", path);
  for (char *at = out; *at; ++at)
    if (*at == PLAT_PATH_SEPARATOR) *at = '/';
}

// The script's folder, its name below the root, the root itself and the
// path information below it.
struct ScriptPaths {
  char root[PLAT_MAX_PATH];
  char scriptName[PLAT_MAX_PATH];
  char directory[PLAT_MAX_PATH];
  char translated[PLAT_MAX_PATH];
};

bool FillPaths(const char *scriptPath, const char *pathInfo, ScriptPaths *paths) {
  char top[2] = {PLAT_PATH_SEPARATOR, '\0'};
  const char *route = ConfigTbl->www_route[0] ? ConfigTbl->www_route : top;
  uint32_t length = PlatFullPath(route, paths->root, sizeof paths->root);
  if (length == 0 || length >= sizeof paths->root) return false;
  size_t rootLength = strlen(paths->root);
  while (rootLength > 0 && paths->root[rootLength - 1] == PLAT_PATH_SEPARATOR) --rootLength;
  UriForm(scriptPath + (strncmp(scriptPath, paths->root, rootLength) == 0 ? rootLength : 0),
          paths->scriptName, sizeof paths->scriptName);
  snprintf(paths->directory, sizeof paths->directory, "%s", scriptPath);
  // The folder keeps its separator where it is a root ("/", "C:\\").
  char *last = strrchr(paths->directory, PLAT_PATH_SEPARATOR);
  if (last) last[last == paths->directory || last[-1] == ':' ? 1 : 0] = '\0';
  snprintf(paths->translated, sizeof paths->translated, "%.*s%s", static_cast<int>(rootLength),
           paths->root, pathInfo);
  for (char *at = paths->translated + rootLength; *at; ++at)
    if (*at == '/') *at = PLAT_PATH_SEPARATOR;
  return true;
}

// The script's file name begins with "nph-": it writes the whole answer.
bool NonParsedHeader(const char *scriptPath) {
  const char *name = strrchr(scriptPath, PLAT_PATH_SEPARATOR);
  return strncmp(name ? name + 1 : scriptPath, "nph-", 4) == 0;
}

}  // namespace

int SendStandardCgi10(Connection *conn, const CgiTypeEntry *type, const char *scriptPath,
                      const char *pathInfo) {
  TRACE_START();
  Request *request = &conn->request;
  long headerLength = CompleteHeader(conn);
  CgiField *fields = nullptr;
  int count = 0;
  int parsed = headerLength < 0 ? -1
                                : RequestFieldsParse(request->data, static_cast<size_t>(headerLength),
                                                     &fields, &count);
  if (parsed == -2) {
    LogPrint(LOG_WARN, "Invalid request header line.");
    SendErrorText(conn, STATUS_BAD_REQUEST, "Bad Request: a header line is no field.");
  }
  CgiMeta meta = {};
  ScriptPaths paths;
  if (parsed != 0 || (request->isPost && ReadBody(conn, fields, count,
                                                  request->data + headerLength, &meta) != 0) ||
      !FillPaths(scriptPath, pathInfo, &paths)) {
    free(fields);
    TRACE_END();
    return -1;
  }
  char serverName[256], remote[64];
  size_t uriSize = strlen(request->uri) + (request->query ? strlen(request->query) + 1 : 0) + 1;
  char *requestUri = static_cast<char *>(malloc(uriSize));
  if (!requestUri) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    free(const_cast<char *>(meta.body));
    free(fields);
    TRACE_END();
    return -1;
  }
  ServerName(fields, count, serverName, sizeof serverName);
  RequestUri(request, requestUri, uriSize);
  PlatAddressText(&conn->peer, remote, sizeof remote);
  meta.id = conn->id;
  meta.method = request->isPost ? "POST" : "GET";
  meta.protocol = Protocol(request->version);
  meta.requestUri = requestUri;
  meta.scriptName = paths.scriptName;
  meta.pathInfo = pathInfo;
  meta.pathTranslated = pathInfo[0] ? paths.translated : nullptr;
  meta.documentRoot = paths.root;
  meta.serverName = serverName;
  meta.serverPort = PortInHostOrder(ConfigTbl->port_number);
  meta.remoteAddress = remote;
  meta.remotePort = conn->peer.port;
  meta.fields = fields;
  meta.fieldCount = count;
  meta.contentType = RequestField(fields, count, "Content-Type");
  meta.directory = paths.directory;
  meta.nph = NonParsedHeader(scriptPath);

  CgiRequest run = {scriptPath, type->program, type->arguments, request->query, request->data,
                    request->isPost};
  CgiReply reply = {conn->sock, SendCgiHeader10, &conn->answer};
  if (CgiStandardExec(&run, &meta, &reply) != 0)
    SendErrorText(conn, STATUS_INTERNAL_ERROR, "SERVER ERROR: CGI NOT STARTED.");
  free(requestUri);
  free(const_cast<char *>(meta.body));
  free(fields);
  TRACE_END();
  return 0;
}
