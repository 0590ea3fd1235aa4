// The header of a CGI answer: the HTTP layer writes it when the run hands it
// over. The program's output follows it and is ended by the closing of the
// connection, so the header names no length.
#include "http/Http.h"

int SendCgiHeader10(const CgiReply *reply, const CgiHeader *header) {
  return SendHeader10(reply->sock, StatusKind(header->status), CONTENT_LENGTH_NONE,
                      header->contentType);
}
