// HTTP/1.0: request line dispatch, response header, document responses.
#ifndef TARVELD_HTTP_H
#define TARVELD_HTTP_H

#include <cstdint>

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
int SendHeader10(PlatSocket sock, unsigned kind, int64_t length, const char *contentType);
// SendHeader10 with the body's first piece in the same send: the count of
// body bytes sent with the header (fewer than bodyLength when the send
// failed after the header), or -1 when the header did not go out whole.
int SendHeader10Body(PlatSocket sock, unsigned kind, int64_t length, const char *contentType,
                     const char *body, int bodyLength);

int HTTP_start(PlatSocket sock, char *buffer, int length);
int SendResult10(PlatSocket sock, char *uri, char *buffer, int length, char *data,
                 int isPost);

// Helpers of the layer: one token of the request line, cut in place (the
// cursor moves past it, never beyond end); whether a resolved path is the
// resolved root or lies below it (1) or not (0).
char *ScanToken(char **cursor, char *end);
int PathWithinRoot(const char *fullPath, const char *root);

#endif
