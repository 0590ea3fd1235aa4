// Entry of the HTTP layer: cuts the request line into method, URI and
// version and answers by method and the support-method setting.
#include <cstring>

#include "config/ConfigTbl.h"
#include "http/Http.h"
#include "log/Log.h"
#include "platform/platform.h"

// GET and POST: the URI and the version follow the method; everything after
// the version's end is the request data a CGI program gets on a POST.
static void ServeDocument(Connection *conn, char **cursor, char *end, int isPost) {
  Request *request = &conn->request;
  request->uri = ScanToken(cursor, end);
  request->version = ScanToken(cursor, end);
  request->data = *cursor;
  request->isPost = isPost;
  LogPrint(isPost ? LOG_INFO : LOG_DEBUG, "Client version: %s", request->version);
  LogPrint(LOG_INFO, "Request URI: %s", request->uri);
  SendResult10(conn);
}

int HTTP_start(Connection *conn) {
  TRACE_START();
  ConnectionNoteRequest(conn);
  char *end = conn->buffer + (conn->received > 0 ? conn->received : 0);
  char *cursor = conn->buffer;
  char *method = ScanToken(&cursor, end);
  conn->request.method = method;
  uint32_t served = ConfigTbl->support_method;

  if (strcmp(method, "GET") == 0 && (served & METHOD_GET)) {
    ServeDocument(conn, &cursor, end, 0);
  } else if (strcmp(method, "POST") == 0 && (served & METHOD_POST)) {
    ServeDocument(conn, &cursor, end, 1);
  } else if (strcmp(method, "HEAD") == 0 && (served & METHOD_HEAD)) {
    // Every HEAD gets the same bare 200, whatever its URI.
    SendAnswerHeader10(conn, STATUS_OK, 0, nullptr, LAST_MODIFIED_NONE, BodyPiece{nullptr, 0});
  } else {
    // Unknown methods and methods switched off alike.
    SendAnswerHeader10(conn, STATUS_NOT_IMPLEMENTED, 0, nullptr, LAST_MODIFIED_NONE,
                       BodyPiece{nullptr, 0});
  }
  TRACE_END();
  return 0;
}
