// Answers a served GET or POST from the document root: a CGI document is
// handed to the CGI layer, any other document is sent as a file after a 200
// header; paths outside the root get 403, missing documents 404. With
// last-modified on, a document's header names its modification time, and a
// GET whose If-Modified-Since is at or after it (and not in the future) is
// answered 304 without a body.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "http/Http.h"
#include "platform/platform.h"

namespace {

// Cuts the query off the URI at its first "?"; null when there is none.
char *SplitQuery(char *uri) {
  char *mark = strchr(uri, '?');
  if (!mark) return nullptr;
  *mark = '\0';
  LogPrint(LOG_DEBUG, "QUERY_STRING=%s", mark + 1);
  return mark + 1;
}

// www-route joined with the URI and a tail; no separator is added between
// them. A heap text, null when out of memory.
char *DocumentPathOf(const char *uri, const char *tail) {
  size_t size = strlen(ConfigTbl->www_route) + strlen(uri) + strlen(tail) + 1;
  char *path = static_cast<char *>(malloc(size));
  if (path) snprintf(path, size, "%s%s%s", ConfigTbl->www_route, uri, tail);
  return path;
}

// The document path of a URI: default-html follows a URI that ends in "/".
char *DocumentPath(const char *uri) {
  const char *slash = strrchr(uri, '/');
  return DocumentPathOf(uri, (slash && slash[1] == '\0') ? ConfigTbl->default_html : "");
}

// URIs use "/"; the platform's paths use its own separator.
void ToPlatformSeparators(char *path) {
  for (char *at = path; *at; ++at)
    if (*at == '/') *at = PLAT_PATH_SEPARATOR;
}

// Whether the resolved document path lies in the resolved www-route. An
// empty www-route opens the whole file system. A root that cannot be
// resolved contains nothing.
bool InsideDocumentRoot(const char *fullPath) {
  if (ConfigTbl->www_route[0] == '\0') return true;
  char root[PLAT_MAX_PATH];
  uint32_t length = PlatFullPath(ConfigTbl->www_route, root, sizeof root);
  if (length == 0 || length >= sizeof root) return false;
  return PathWithinRoot(fullPath, root) != 0;
}

// A bare error header; the call's result is that of the send.
int SendError(Connection *conn, unsigned kind) {
  return SendAnswerHeader10(conn, kind, 0, nullptr, LAST_MODIFIED_NONE, BodyPiece{nullptr, 0}) < 0
             ? -1
             : 0;
}

// A document larger than one piece goes from the file to the socket
// directly, the whole of it: fewer calls and no copy through the buffer,
// for one segment more (the close's own) than a last piece held back for
// the close would take. Stops early, without failing, at an early end of
// the file.
int SendLargeBody(PlatSocket sock, int fd, int64_t *left) {
  const int64_t MOST_AT_ONCE = 1 << 30;
  while (*left > 0) {
    int64_t chunk = *left;
    if (chunk > MOST_AT_ONCE) chunk = MOST_AT_ONCE;
    int sendFailed = 0;
    int sent = PlatFileSendToSocket(fd, sock, static_cast<uint32_t>(chunk), &sendFailed);
    if (sent == 0) return 0;
    if (sent < 0 && sendFailed) {
      LogPrint(LOG_WARN, "Failed send() errno=%d", PlatSocketLastError());
      return -1;
    }
    if (sent < 0) {
      LogPrint(LOG_ERR, "Failed read() errno=%d", PlatLastError());
      return -1;
    }
    *left -= sent;
  }
  return 0;
}

// The transfer unit of documents: a whole buffer at a time, never less
// than the request. The buffer is the transaction's receive buffer of
// buffer-size bytes; it always holds more than the request it received.
int TransferUnit(const Connection *conn) {
  return ConfigTbl->buffer_size > conn->received ? ConfigTbl->buffer_size : conn->received;
}

// A static document on its way: the connection whose buffer carries it, the
// open file, the size its header announces, the transfer unit and the
// modification time its header names (LAST_MODIFIED_NONE: none).
struct Document {
  Connection *conn;
  int fd;
  int64_t size;
  int piece;
  int64_t modified;
};

// Streams the rest of the open document through the request buffer, left
// bytes of the announced size. A body whose size the header announced ends
// with its last announced byte: no read is spent to find the end of the
// file, and a file that grows meanwhile never sends more than the header
// promised. Without a size (0), the file is sent to its end.
int SendBody(const Document *doc, int64_t left) {
  PlatSocket sock = doc->conn->sock;
  char *buffer = doc->conn->buffer;
  AnswerSent *answer = &doc->conn->answer;
  int64_t announced = doc->size;
  if (announced > doc->piece) {
    int64_t before = left;
    int large = SendLargeBody(sock, doc->fd, &left);
    answer->bodyBytes += static_cast<uint64_t>(before - left);
    if (large != 0) return -1;
  }
  for (;;) {
    if (announced > 0 && left == 0) break;
    int wanted = (announced > 0 && left < doc->piece) ? static_cast<int>(left) : doc->piece;
    int got = PlatFileRead(doc->fd, buffer, static_cast<uint32_t>(wanted));
    if (got == 0) break;
    if (got < 0) {
      LogPrint(LOG_ERR, "Failed read() errno=%d", PlatLastError());
      return -1;
    }
    // The connection is closed right after the body: its last bytes go
    // out with the close.
    if (PlatSocketSendMore(sock, buffer, got) != got) {
      LogPrint(LOG_WARN, "Failed send() errno=%d", PlatSocketLastError());
      return -1;
    }
    answer->bodyBytes += static_cast<uint64_t>(got);
    left -= got;
  }
  LogPrint(LOG_DEBUG, "Body was sended.");
  return 0;
}

// A document that fits into one piece is read before its header and leaves
// together with it in one send.
int SendSmallDocument(const Document *doc, const char *media) {
  char *buffer = doc->conn->buffer;
  int got = PlatFileRead(doc->fd, buffer, static_cast<uint32_t>(doc->size));
  int readError = PlatLastError();
  int sent = SendAnswerHeader10(doc->conn, STATUS_OK, doc->size, media, doc->modified,
                                BodyPiece{buffer, got > 0 ? got : 0});
  LogPrint(LOG_DEBUG, "Sending the body data. (%" PRId64 " bytes)", doc->size);
  if (got < 0) {
    LogPrint(LOG_ERR, "Failed read() errno=%d", readError);
    return -1;
  }
  if (got > 0 && sent < got) {  // a failed header has logged its own failure already
    LogPrint(LOG_WARN, "Failed send() errno=%d", PlatSocketLastError());
    return -1;
  }
  return SendBody(doc, doc->size - got);
}

// Whether a GET's If-Modified-Since lets the client keep its copy: a date
// at or after the modification time, and not after now (a date the client
// cannot have had from this server). Any other value is ignored.
bool NotModifiedSince(const Connection *conn, int64_t modified) {
  const Request *request = &conn->request;
  if (request->isPost) return false;
  size_t length = static_cast<size_t>(conn->buffer + conn->received - request->data);
  size_t valueLength = 0;
  const char *value = RequestHeaderValue(request->data, length, "If-Modified-Since", &valueLength);
  if (!value) return false;
  int64_t since = HttpDateParse(value, valueLength);
  return since >= 0 && since >= modified && since <= static_cast<int64_t>(time(nullptr));
}

// A static document: 200 header with its size and media type, then its
// bytes. The media type comes from the name the document is stored under.
int SendDocument(Document *doc, const char *storedPath) {
  if (ConfigTbl->last_modified) {
    int64_t modified = 0;
    if (PlatFileModifiedTime(doc->fd, &modified) == 0) doc->modified = modified;
    if (doc->modified != LAST_MODIFIED_NONE && NotModifiedSince(doc->conn, doc->modified))
      return SendAnswerHeader10(doc->conn, STATUS_NOT_MODIFIED, CONTENT_LENGTH_NONE, nullptr,
                                doc->modified, BodyPiece{nullptr, 0}) < 0
                 ? -1
                 : 0;
  }
  const char *media = ContentTypeMedia(storedPath);
  if (doc->size > 0 && doc->size <= doc->piece) return SendSmallDocument(doc, media);
  SendAnswerHeader10(doc->conn, STATUS_OK, doc->size, media, doc->modified, BodyPiece{nullptr, 0});
  LogPrint(LOG_DEBUG, "Sending the body data. (%" PRId64 " bytes)", doc->size);
  return SendBody(doc, doc->size);
}

// A CGI document: the program of its cgi-type entry runs it, and the run
// answers through the HTTP layer's header call.
void RunCgi(Connection *conn, const char *fullPath, const char *storedPath) {
  const Request *request = &conn->request;
  CgiRequest run;
  run.scriptPath = fullPath;
  run.program = CgiTypeProgram(storedPath);
  run.arguments = CgiTypeArguments(storedPath);
  run.query = request->query;
  run.data = request->data;
  run.isPost = request->isPost;
  CgiReply reply = {conn->sock, SendCgiHeader10, &conn->answer};
  CgiExec(&run, &reply);
}

// The resolved document root, without separators at its end (empty for the
// file system's root); false when it cannot be resolved.
bool ResolvedRoot(char *root, size_t size) {
  char top[2] = {PLAT_PATH_SEPARATOR, '\0'};
  const char *route = ConfigTbl->www_route[0] ? ConfigTbl->www_route : top;
  uint32_t length = PlatFullPath(route, root, static_cast<uint32_t>(size));
  if (length == 0 || length >= size) return false;
  while (length > 0 && root[length - 1] == PLAT_PATH_SEPARATOR) root[--length] = '\0';
  return true;
}

// A standard CGI script with path information behind it: the first part of
// the request's path (its own, without default-html) below the root that is
// not a folder, when it is a regular file with a cgi-standard-type
// extension (the name it is stored under decides). The rest of the path is
// the path information, in URI form.
struct ScriptMatch {
  char scriptPath[PLAT_MAX_PATH];
  char pathInfo[PLAT_MAX_PATH];
  const CgiTypeEntry *type;
};

bool FindScriptWithPathInfo(const Connection *conn, ScriptMatch *match) {
  const char *uri = conn->request.uri;
  char *path = DocumentPathOf(uri, "");
  if (!path) return false;
  ToPlatformSeparators(path);
  char full[PLAT_MAX_PATH], root[PLAT_MAX_PATH];
  uint32_t length = PlatFullPath(path, full, sizeof full);
  free(path);
  if (length == 0 || length >= sizeof full || !ResolvedRoot(root, sizeof root)) return false;
  if (!InsideDocumentRoot(full)) return false;
  for (size_t at = strlen(root) + 1; at <= length; ++at) {
    if (at < length && full[at] != PLAT_PATH_SEPARATOR) continue;
    char saved = full[at];
    full[at] = '\0';
    int kind = PlatPathKind(full);
    if (kind == PLAT_PATH_FOLDER) {
      full[at] = saved;
      continue;
    }
    char stored[PLAT_MAX_PATH];
    uint32_t storedLength = PlatLongPath(full, stored, sizeof stored);
    int64_t size = 0;
    int fd = kind == PLAT_PATH_NONE ? -1 : PlatFileOpenSequential(full, &size);
    if (fd >= 0) PlatFileClose(fd);
    match->type = fd >= 0 && storedLength > 0 && storedLength < sizeof stored
                      ? CgiStandardTypeFind(stored)
                      : nullptr;
    if (!match->type) return false;
    snprintf(match->scriptPath, sizeof match->scriptPath, "%s", full);
    full[at] = saved;
    snprintf(match->pathInfo, sizeof match->pathInfo, "%s", full + at);
    for (char *c = match->pathInfo; *c; ++c)
      if (*c == PLAT_PATH_SEPARATOR) *c = '/';
    size_t infoLength = strlen(match->pathInfo);
    bool slash = uri[0] && uri[strlen(uri) - 1] == '/';
    if (slash && (infoLength == 0 || match->pathInfo[infoLength - 1] != '/') &&
        infoLength + 1 < sizeof match->pathInfo)
      strcat(match->pathInfo, "/");
    return true;
  }
  return false;
}

// A request for no document may still name a standard CGI script with
// path information; anything else is not found.
int AnswerMissing(Connection *conn) {
  ScriptMatch match;
  if (ConfigTbl->cgi_standard_type && FindScriptWithPathInfo(conn, &match))
    return SendStandardCgi10(conn, match.type, match.scriptPath, match.pathInfo);
  return SendError(conn, STATUS_NOT_FOUND);
}

// Everything after the document path is built. The document is opened and
// sent by its resolved path, the one that passed the containment test, and
// typed by the name it is stored under.
int AnswerPath(Connection *conn, const char *path) {
  char fullPath[PLAT_MAX_PATH];
  uint32_t resolved = PlatFullPath(path, fullPath, sizeof fullPath);
  if (resolved == 0 || resolved >= sizeof fullPath) {
    // A path too long for the buffer leaves it unfilled: never tested, 404.
    LogPrint(LOG_DEBUG, "Failed GetFullPathName() errno=%d", PlatLastError());
    return SendError(conn, STATUS_NOT_FOUND);
  }
  if (!InsideDocumentRoot(fullPath)) return SendError(conn, STATUS_FORBIDDEN);

  Document doc = {conn, -1, 0, TransferUnit(conn), LAST_MODIFIED_NONE};
  doc.fd = PlatFileOpenSequential(fullPath, &doc.size);
  if (doc.fd < 0) {
    LogPrint(LOG_DEBUG, "Failed open() errno=%d", PlatLastError());
    return AnswerMissing(conn);
  }
  // Whether the document is a CGI program is decided by the name it is stored
  // under, whatever short form of it the request used.
  char storedPath[PLAT_MAX_PATH];
  uint32_t stored = PlatLongPath(fullPath, storedPath, sizeof storedPath);
  if (stored == 0 || stored >= sizeof storedPath) {
    LogPrint(LOG_DEBUG, "Failed GetLongPathName() errno=%d", PlatLastError());
    PlatFileClose(doc.fd);
    return SendError(conn, STATUS_NOT_FOUND);
  }
  if (CgiTypeProgram(storedPath)) {
    PlatFileClose(doc.fd);
    RunCgi(conn, fullPath, storedPath);
    return 0;
  }
  if (const CgiTypeEntry *type = CgiStandardTypeFind(storedPath)) {
    PlatFileClose(doc.fd);
    return SendStandardCgi10(conn, type, fullPath, "");
  }
  int result = SendDocument(&doc, storedPath);
  PlatFileClose(doc.fd);
  return result;
}

}  // namespace

int SendResult10(Connection *conn) {
  TRACE_START();
  Request *request = &conn->request;
  request->query = SplitQuery(request->uri);
  char *path = DocumentPath(request->uri);
  if (!path) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    TRACE_END();
    return -1;
  }
  ToPlatformSeparators(path);
  int result = AnswerPath(conn, path);
  free(path);
  TRACE_END();
  return result;
}
