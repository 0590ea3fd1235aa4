// An accepted connection and the one request it carries. The transaction
// that serves the connection gets it whole: made when the connection is
// accepted, handed to the transaction thread as its parameter, closed when
// the transaction ends.
#ifndef TARVELD_CONNECTION_H
#define TARVELD_CONNECTION_H

#include <cstdint>

#include "cgi/Cgi.h"
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

// What the access log needs of a request, copied before the request is cut
// into pieces: the request line, then the Referer and User-Agent values, in
// one heap block. Null copy: the access log is off.
struct RequestCopy {
  int64_t time;                // when the request came
  char *copy;
  size_t requestLength;
  size_t refererLength;        // SIZE_MAX: no such line
  size_t userAgentLength;      // SIZE_MAX: no such line
};

struct Connection {
  PlatSocket sock;
  PlatAddress peer;     // the client: a PROXY header's source replaces the peer's
  uint32_t id;          // the transaction's thread identifier
  char *buffer;         // the receive buffer, null until the transaction has one
  int32_t bufferSize;
  int received;         // bytes of the one receive; buffer[received] is NUL
  Request request;
  RequestCopy logged;
  AnswerSent answer;    // the status and body bytes sent
};

// A new connection of an accepted socket; null when there is no memory (the
// socket is then still the caller's).
Connection *ConnectionNew(PlatSocket sock, const PlatAddress *peer);
// Keeps what the access log writes of the request, when it is on; called
// on the received request before anything cuts it.
void ConnectionNoteRequest(Connection *conn);
// Releases the receive buffer, closes the socket, writes the access log's
// line of an answered request and releases the connection.
void ConnectionClose(Connection *conn);

#endif
