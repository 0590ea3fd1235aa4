// HTTP/1.0: request line dispatch, response header, document responses.
#ifndef TARVELD_HTTP_H
#define TARVELD_HTTP_H

#include <cstdint>

#include "cgi/Cgi.h"
#include "config/ConfigTbl.h"
#include "http/Connection.h"
#include "platform/platform.h"

// Status kinds the server sends itself.
constexpr unsigned STATUS_OK = 1;
constexpr unsigned STATUS_BAD_REQUEST = 2;
constexpr unsigned STATUS_FORBIDDEN = 4;
constexpr unsigned STATUS_NOT_FOUND = 5;
constexpr unsigned STATUS_NOT_MODIFIED = 18;
constexpr unsigned STATUS_LENGTH_REQUIRED = 27;
constexpr unsigned STATUS_TOO_LARGE = 29;
constexpr unsigned STATUS_INTERNAL_ERROR = 34;
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
// The header of a connection's answer: SendHeader10Body's, with a
// Last-Modified line after the others unless lastModified (seconds since
// 1970 UTC) is LAST_MODIFIED_NONE; the status and the body bytes sent with
// the header are counted in the connection's answer.
constexpr int64_t LAST_MODIFIED_NONE = INT64_MIN;
int SendAnswerHeader10(Connection *conn, unsigned kind, int64_t length, const char *contentType,
                       int64_t lastModified, BodyPiece first);
// The header of a CGI answer, as the run hands it over (CgiReply's call).
int SendCgiHeader10(const CgiReply *reply, const CgiHeader *header);

// The header lines of a request. RequestHeaderEnd: the length of the
// header block up to and with its empty line, -1 while it is incomplete.
// RequestFieldsParse cuts the block's lines in place into a heap array of
// fields (free it): 0, -1 without memory, -2 for a line that is no field.
// RequestField: the first value of a name (any case), or null.
// RequestContentLength: 1 with the length, 0 without the line, -1 for one
// that is no length (or two that disagree).
long RequestHeaderEnd(const char *data, size_t length);
int RequestFieldsParse(char *block, size_t length, CgiField **fields, int *count);
const char *RequestField(const CgiField *fields, int count, const char *name);
int RequestContentLength(const CgiField *fields, int count, int64_t *length);
// The value of the first header line of a name (any case) among the lines
// of data, up to the empty line that ends them, without blanks around it
// and without cutting anything: a pointer into data and its length, or
// null when there is no such line.
const char *RequestHeaderValue(const char *data, size_t length, const char *name,
                               size_t *valueLength);

// The request of a connection, from its request line to the whole answer.
int HTTP_start(Connection *conn);
int SendResult10(Connection *conn);
// A document run through the standard CGI interface, by its cgi-standard-type
// entry; the path information follows the script's path in the URI (empty
// for none).
int SendStandardCgi10(Connection *conn, const CgiTypeEntry *type, const char *scriptPath,
                      const char *pathInfo);
// The header of an answer whose lines a CGI program wrote: the status line
// (with the program's reason phrase, or the table's), Connection, Date and
// Server, then the program's lines as given, each ending in CR LF.
int SendHeaderLines10(PlatSocket sock, int status, const char *reason, const char *lines,
                      size_t linesLength);

// A date of an If-Modified-Since line in any of the three forms of
// HTTP/1.0 (RFC 1123 "Sun, 06 Nov 1994 08:49:37 GMT", RFC 850
// "Sunday, 06-Nov-94 08:49:37 GMT", asctime "Sun Nov  6 08:49:37 1994"),
// as seconds since 1970 UTC; -1 for any other text.
int64_t HttpDateParse(const char *text, size_t length);

// The PROXY header (version 1 or 2) a connection from a load balancer
// begins with. ProxyHeaderParse reads the bytes received so far: the
// header's length once it is complete and valid, PROXY_HEADER_INCOMPLETE
// while more bytes may still make it one, PROXY_HEADER_INVALID as soon as
// they cannot. A header that names no client (a health check) is local:
// the connection's own peer stays.
struct ProxyHeader {
  int local;
  PlatAddress client;  // the source address and port, when not local
};
constexpr long PROXY_HEADER_INCOMPLETE = 0;
constexpr long PROXY_HEADER_INVALID = -1;
long ProxyHeaderParse(const unsigned char *data, size_t length, ProxyHeader *header);

// Helpers of the layer: one token of the request line, cut in place (the
// cursor moves past it, never beyond end); whether a resolved path is the
// resolved root or lies below it (1) or not (0).
char *ScanToken(char **cursor, char *end);
int PathWithinRoot(const char *fullPath, const char *root);

#endif
