// The HTTP/1.0 response header: status line, Connection, Date, Allow,
// Content-Type (when given), Server, Content-Length (unless the body is
// ended by the connection's close) and the empty line, sent with one send.
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

// Status numbers by kind. Kinds 1 to 5 are the statuses the server uses most;
// the rest follow in ascending order of their numbers.
const int StatusNumbers[STATUS_KINDS] = {
    0,   200, 400, 401, 403, 404, 100, 101, 201, 202, 203, 204, 205, 206,
    300, 301, 302, 303, 304, 305, 307, 405, 406, 407, 408, 409, 410, 411,
    412, 413, 414, 415, 416, 417, 500, 501, 502, 503, 504, 505,
};

const char *const WeekdayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const MonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr size_t HEADER_SIZE = 4096;

// The header under composition. Every piece is appended by plain copies
// bounded to the buffer (the header runs for every answer, and a formatter
// call per piece cost more than the rest of it); the text stays terminated.
struct HeaderText {
  char *text;
  size_t used;
  size_t size;
};

void AppendBytes(HeaderText *header, const char *bytes, size_t length) {
  size_t room = header->size - 1 - header->used;
  if (length > room) length = room;
  memcpy(header->text + header->used, bytes, length);
  header->used += length;
  header->text[header->used] = '\0';
}

void Append(HeaderText *header, const char *text) { AppendBytes(header, text, strlen(text)); }

// A decimal number of at least minDigits digits, zero-padded like "%0*d".
void AppendNumber(HeaderText *header, int64_t value, int minDigits) {
  char digits[32];
  if (value < 0) {  // never for a date or a length; kept exact all the same
    int length = snprintf(digits, sizeof digits, "%0*" PRId64, minDigits, value);
    AppendBytes(header, digits, static_cast<size_t>(length));
    return;
  }
  int count = 0;
  char *end = digits + sizeof digits;
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
    ++count;
  } while (value > 0);
  while (count < minDigits) {
    *--end = '0';
    ++count;
  }
  AppendBytes(header, end, static_cast<size_t>(count));
}

// "Sun, 06 Dec 2026 01:05:09 GMT" for the current time.
void AppendDate(HeaderText *header) {
  struct tm utc;
  PlatUtcTime(time(nullptr), &utc);
  AppendBytes(header, WeekdayNames[utc.tm_wday], 3);
  Append(header, ", ");
  AppendNumber(header, utc.tm_mday, 2);
  Append(header, " ");
  AppendBytes(header, MonthNames[utc.tm_mon], 3);
  Append(header, " ");
  AppendNumber(header, static_cast<int64_t>(utc.tm_year) + 1900, 4);
  Append(header, " ");
  AppendNumber(header, utc.tm_hour, 2);
  Append(header, ":");
  AppendNumber(header, utc.tm_min, 2);
  Append(header, ":");
  AppendNumber(header, utc.tm_sec, 2);
  Append(header, " GMT");
}

// The served methods in the fixed order GET, HEAD, POST.
void AppendAllow(HeaderText *header, uint32_t methods) {
  Append(header, "Allow: ");
  const char *separator = "";
  const struct {
    uint32_t flag;
    const char *name;
  } names[] = {{METHOD_GET, "GET"}, {METHOD_HEAD, "HEAD"}, {METHOD_POST, "POST"}};
  for (const auto &method : names) {
    if (!(methods & method.flag)) continue;
    Append(header, separator);
    Append(header, method.name);
    separator = ", ";
  }
  Append(header, "\r\n");
}

// "HTTP/1.0 404 Not Found" and its line end.
void AppendStatusLine(HeaderText *header, int status, const char *reason) {
  Append(header, "HTTP/1.0 ");
  AppendNumber(header, status, 3);
  Append(header, " ");
  Append(header, reason);
  Append(header, "\r\n");
}

// Status line, the fixed lines and the empty line that ends the header.
void ComposeHeader(HeaderText *header, unsigned kind, int64_t length, const char *contentType) {
  AppendStatusLine(header, StatusCode(kind), ReasonPhrase[kind]);
  Append(header, "Connection: close\r\nDate: ");
  AppendDate(header);
  Append(header, "\r\n");
  AppendAllow(header, ConfigTbl->support_method);
  if (contentType) {
    Append(header, "Content-Type: ");
    Append(header, contentType);
    Append(header, "\r\n");
  }
  Append(header, "Server: Tarvel-Server\r\n");
  if (length != CONTENT_LENGTH_NONE) {
    Append(header, "Content-Length: ");
    AppendNumber(header, length, 1);
    Append(header, "\r\n");
  }
  Append(header, "\r\n");
}

}  // namespace

const char *const ReasonPhrase[STATUS_KINDS] = {
    "Unknown Error",
    "OK",
    "Bad Request",
    "Unauthorized",
    "Forbidden",
    "Not Found",
    "Continue",
    "Switching Protocols",
    "Created",
    "Accepted",
    "Non-Authoritative Information",
    "No Content",
    "Reset Content",
    "Partial Content",
    "Multiple Choices",
    "Moved Permanently",
    "Found",
    "See Other",
    "Not Modified",
    "Use Proxy",
    "Temporary Redirect",
    "Method Not Allowed",
    "Not Acceptable",
    "Proxy Authentication Required",
    "Request Time-out",
    "Conflict",
    "Gone",
    "Length Required",
    "Precondition Failed",
    "Request Entity Too Large",
    "Request-URI Too Large",
    "Unsupported Media Type",
    "Requested range not satisfiable",
    "Expectation Failed",
    "Internal Server Error",
    "Not Implemented",
    "Bad Gateway",
    "Service Unavailable",
    "Gateway Time-out",
    "HTTP Version not supported",
};

int StatusCode(unsigned kind) { return kind < STATUS_KINDS ? StatusNumbers[kind] : 0; }

unsigned StatusKind(int code) {
  for (unsigned kind = 1; kind < STATUS_KINDS; ++kind)
    if (StatusNumbers[kind] == code) return kind;
  return 0;
}

// Sends the header, and the body's first piece with it when there is one.
static int SendHeaderPieces(PlatSocket sock, const char *header, int headerLength, int64_t length,
                            BodyPiece first) {
  if (first.length > 0)
    return PlatSocketSendMoreTwo(sock, header, headerLength, first.bytes, first.length);
  // A header with a known length is followed at once by its body, if any,
  // and then by the close of the connection: header, a small body and the
  // close leave in one segment. A CGI header goes out at once, since the
  // program's output follows only after the relay's first pass.
  return length != CONTENT_LENGTH_NONE ? PlatSocketSendMore(sock, header, headerLength)
                                       : PlatSocketSend(sock, header, headerLength);
}

int SendHeader10(PlatSocket sock, unsigned kind, int64_t length, const char *contentType) {
  return SendHeader10Body(sock, kind, length, contentType, BodyPiece{nullptr, 0}) < 0 ? -1 : 0;
}

namespace {

// An answer's header on its way: its text, and its status for the log.
struct Outgoing {
  HeaderText text;
  int status;
  const char *reason;
};

// A header buffer of the given size, or false (logged) without memory.
bool StartHeader(Outgoing *out, size_t size, int status, const char *reason) {
  out->text = {static_cast<char *>(malloc(size)), 0, size};
  out->status = status;
  out->reason = reason;
  if (!out->text.text) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    return false;
  }
  out->text.text[0] = '\0';
  return true;
}

// Logs and sends the composed header with the first piece of its body;
// the count of body bytes sent with it, or -1 when the header did not go
// out whole. Releases the buffer.
int SendComposed(PlatSocket sock, Outgoing *out, int64_t length, BodyPiece first) {
  int headerLength = static_cast<int>(out->text.used);
  LogPrint(LOG_DEBUG, "Result Header : %d %s", out->status, out->reason);
  int sent = SendHeaderPieces(sock, out->text.text, headerLength, length, first);
  int result = sent - headerLength;
  if (sent < headerLength) {
    LogPrint(LOG_WARN, "Failed send() errno=%d", PlatSocketLastError());
    result = -1;
  } else {
    LogDump("Sended Data", out->text.text, static_cast<uint32_t>(headerLength));
  }
  free(out->text.text);
  return result;
}

}  // namespace

int SendHeader10Body(PlatSocket sock, unsigned kind, int64_t length, const char *contentType,
                     BodyPiece first) {
  TRACE_START_AS("SendHeader10");
  // No caller passes a kind outside the table; one that did would be sent
  // as kind 0 rather than read past the phrases.
  if (kind >= STATUS_KINDS) kind = 0;
  Outgoing out;
  int result = -1;
  if (StartHeader(&out, HEADER_SIZE, StatusCode(kind), ReasonPhrase[kind])) {
    ComposeHeader(&out.text, kind, length, contentType);
    result = SendComposed(sock, &out, length, first);
  }
  TRACE_END_AS("SendHeader10");
  return result;
}

// The program's lines follow the server's; its body follows at once, so
// the header waits to leave with its first piece (a known length's way).
int SendHeaderLines10(PlatSocket sock, int status, const char *reason, const char *lines,
                      size_t linesLength) {
  TRACE_START_AS("SendHeader10");
  Outgoing out;
  int result = -1;
  if (StartHeader(&out, HEADER_SIZE + linesLength, status,
                  reason ? reason : ReasonPhrase[StatusKind(status)])) {
    AppendStatusLine(&out.text, status, out.reason);
    Append(&out.text, "Connection: close\r\nDate: ");
    AppendDate(&out.text);
    Append(&out.text, "\r\nServer: Tarvel-Server\r\n");
    AppendBytes(&out.text, lines, linesLength);
    Append(&out.text, "\r\n");
    result = SendComposed(sock, &out, 0, BodyPiece{nullptr, 0}) < 0 ? -1 : 0;
  }
  TRACE_END_AS("SendHeader10");
  return result;
}
