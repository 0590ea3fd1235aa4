// HTTP/1.0: request line dispatch, response header, document responses.
#ifndef TARVELD_HTTP_H
#define TARVELD_HTTP_H

#include <cstdint>

#include "cgi/Cgi.h"
#include "http/Connection.h"
#include "platform/platform.h"

// Status kinds the server sends itself.
constexpr unsigned STATUS_OK = 1;
constexpr unsigned STATUS_FORBIDDEN = 4;
constexpr unsigned STATUS_NOT_FOUND = 5;
constexpr unsigned STATUS_NOT_IMPLEMENTED = 35;
constexpr unsigned STATUS_KINDS = 40;

// A length that SendHeader10 leaves out of the header: the body is then
// ended by the closing of the connection.
constexpr int64_t CONTENT_LENGTH_NONE = -1;

extern const char *const ReasonPhrase[STATUS_KINDS];
int StatusCode(unsigned kind);
// The kind of a status number; 0 (Unknown Error) for a number not in the table.
unsigned StatusKind(int code);
int SendHeader10(PlatSocket sock, unsigned kind, int64_t length, const char *contentType);
// The first piece of a body, sent in one send with its header.
struct BodyPiece {
  const char *bytes;
  int length;
};
// SendHeader10 with the body's first piece in the same send: the count of
// body bytes sent with the header (fewer than first.length when the send
// failed after the header), or -1 when the header did not go out whole.
int SendHeader10Body(PlatSocket sock, unsigned kind, int64_t length, const char *contentType,
                     BodyPiece first);
// The header of a CGI answer, as the run hands it over (CgiReply's call).
int SendCgiHeader10(const CgiReply *reply, const CgiHeader *header);

// The request of a connection, from its request line to the whole answer.
int HTTP_start(Connection *conn);
int SendResult10(Connection *conn);

// Helpers of the layer: one token of the request line, cut in place (the
// cursor moves past it, never beyond end); whether a resolved path is the
// resolved root or lies below it (1) or not (0).
char *ScanToken(char **cursor, char *end);
int PathWithinRoot(const char *fullPath, const char *root);

#endif
