// The header of a CGI answer: the HTTP layer writes it when the run hands it
// over. Through the server's own interface (cgi-type) it is the 200 header
// with the one content type; the program's output follows and is ended by
// the closing of the connection, so the header names no length. Through the
// standard interface the program's own lines follow the server's.
#include "http/Http.h"

int SendCgiHeader10(const CgiReply *reply, const CgiHeader *header) {
  if (header->lines)
    return SendHeaderLines10(reply->sock, header->status, header->reason, header->lines,
                             header->linesLength);
  return SendHeader10(reply->sock, StatusKind(header->status), CONTENT_LENGTH_NONE,
                      header->contentType);
}
