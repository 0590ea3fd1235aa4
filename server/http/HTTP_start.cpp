// Entry of the HTTP layer: cuts the request line into method, URI and
// version and answers by method and the support-method setting.
#include <cstring>

#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "http/Http.h"
#include "platform/platform.h"

// GET and POST: the URI and the version follow the method; everything after
// the version's end is the request data a CGI program gets on a POST.
static void ServeDocument(PlatSocket sock, char *buffer, int length, char **cursor,
                          char *end, int isPost) {
  char *uri = ScanToken(cursor, end);
  char *version = ScanToken(cursor, end);
  char *data = *cursor;
  LogPrint(isPost ? LOG_INFO : LOG_DEBUG, "Client version: %s", version);
  LogPrint(LOG_INFO, "Request URI: %s", uri);
  SendResult10(sock, uri, buffer, length, data, isPost);
}

int HTTP_start(PlatSocket sock, char *buffer, int length) {
  TRACE_START();
  char *end = buffer + (length > 0 ? length : 0);
  char *cursor = buffer;
  char *method = ScanToken(&cursor, end);
  uint32_t served = ConfigTbl->support_method;

  if (strcmp(method, "GET") == 0 && (served & METHOD_GET)) {
    ServeDocument(sock, buffer, length, &cursor, end, 0);
  } else if (strcmp(method, "POST") == 0 && (served & METHOD_POST)) {
    ServeDocument(sock, buffer, length, &cursor, end, 1);
  } else if (strcmp(method, "HEAD") == 0 && (served & METHOD_HEAD)) {
    // Every HEAD gets the same bare 200, whatever its URI.
    SendHeader10(sock, STATUS_OK, 0, nullptr);
  } else {
    // Unknown methods and methods switched off alike.
    SendHeader10(sock, STATUS_NOT_IMPLEMENTED, 0, nullptr);
  }
  TRACE_END();
  return 0;
}
