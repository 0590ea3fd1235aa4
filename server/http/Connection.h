// An accepted connection and the one request it carries. The transaction
// that serves the connection gets it whole: made when the connection is
// accepted, handed to the transaction thread as its parameter, closed when
// the transaction ends.
#ifndef TARVELD_CONNECTION_H
#define TARVELD_CONNECTION_H

#include <cstdint>

#include "platform/platform.h"

// The request line cut into its tokens, in place in the receive buffer.
struct Request {
  char *method;
  char *uri;      // as received: not decoded; the query is cut off once split
  char *version;  // only logged
  char *query;    // the text after the URI's first "?"; null without one
  char *data;     // what follows the request line: the header lines, the
                  // empty line and as much of the body as the receive brought
  int isPost;
};

struct Connection {
  PlatSocket sock;
  PlatAddress peer;
  uint32_t id;          // the transaction's thread identifier
  char *buffer;         // the receive buffer, null until the transaction has one
  int32_t bufferSize;
  int received;         // bytes of the one receive; buffer[received] is NUL
  Request request;
};

// A new connection of an accepted socket; null when there is no memory (the
// socket is then still the caller's).
Connection *ConnectionNew(PlatSocket sock, const PlatAddress *peer);
// Releases the receive buffer, closes the socket and releases the connection.
void ConnectionClose(Connection *conn);

#endif
