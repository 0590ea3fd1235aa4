// Raw HTTP over TCP to a server on this machine (IPv4 or IPv6 literal), and
// the parts of its answers: status line, header lines, body and the form of
// the Date value.
#ifndef TARVELD_SUPPORT_HTTP_H
#define TARVELD_SUPPORT_HTTP_H

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace support {

int Connect(int port, const std::string &host = "127.0.0.1");  // a connected socket or -1
bool SendAll(int fd, const std::string &data);
// Reads until the peer closes, the time runs out or `limit` bytes came.
std::string ReadToClose(int fd, int timeoutMs = 15000, size_t limit = SIZE_MAX);
// Closes with a reset instead of an orderly end.
void CloseWithReset(int fd);
// One connection: connect, send the request, read until the server closes.
std::string Exchange(int port, const std::string &request, int timeoutMs = 15000,
                     const std::string &host = "127.0.0.1");
// The same for a request that the server may never take in full: it is sent
// from a thread of its own while the answer is read, so that a send that
// fails or stalls once the server has closed holds nothing up.
std::string ExchangeLarge(int port, const std::string &request, int timeoutMs = 15000);

struct Response {
  std::string raw;
  std::string statusLine;
  int status = -1;
  std::vector<std::pair<std::string, std::string>> headers;  // in order
  std::string body;
  bool complete = false;  // the header ended with an empty line
  const std::string *Header(const std::string &name) const;
};
Response Parse(const std::string &raw);
Response Get(int port, const std::string &uri, const std::string &host = "127.0.0.1");

// "Sun, 06 Dec 2026 01:05:09 GMT": English names, fixed widths, UTC.
// Returns the time it names, or -1 when the text has another form.
time_t ParseHttpDate(const std::string &text);
// The header up to its empty line, with a well-formed Date value replaced
// by DATE; a malformed one stays and spoils any comparison.
std::string HeaderWithoutDate(const std::string &raw);

}  // namespace support

#endif
