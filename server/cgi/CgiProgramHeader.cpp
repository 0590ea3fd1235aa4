// The header a standard CGI program writes before its body: lines that end
// in LF or CR LF, up to the first empty line. Status sets the answer's
// status, Location alone makes it a redirect (302), and every other line is
// passed on as written but for Date, Server and Connection, which the server
// writes itself.
#include <cstdlib>
#include <cstring>

#include "cgi/CgiRun.h"
#include "cgi/HeaderText.h"

namespace {

// Printable text and tabs only: a value can never end the line early for
// the client, nor start a line of its own.
bool IsPlainText(const char *text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
  }
  return true;
}

// "Status: 404 Not Found": three digits from 100 to 599, then an optional
// reason phrase.
bool ParseStatus(const char *value, size_t length, CgiProgramHeader *header) {
  if (length < 3) return false;
  int status = 0;
  for (int i = 0; i < 3; ++i) {
    if (value[i] < '0' || value[i] > '9') return false;
    status = status * 10 + (value[i] - '0');
  }
  if (status < 100 || status > 599) return false;
  if (length > 3 && value[3] != ' ' && value[3] != '\t') return false;
  size_t at = 3;
  while (at < length && (value[at] == ' ' || value[at] == '\t')) ++at;
  size_t reasonLength = length - at;
  if (reasonLength >= sizeof header->reason) reasonLength = sizeof header->reason - 1;
  memcpy(header->reason, value + at, reasonLength);
  header->reason[reasonLength] = '\0';
  header->status = status;
  return true;
}

bool AppendLine(CgiProgramHeader *header, const char *name, size_t nameLength, const char *value,
                size_t valueLength) {
  size_t more = nameLength + 2 + valueLength + 2;
  char *lines = static_cast<char *>(realloc(header->lines, header->linesLength + more + 1));
  if (!lines) return false;
  header->lines = lines;
  char *at = lines + header->linesLength;
  memcpy(at, name, nameLength);
  memcpy(at + nameLength, ": ", 2);
  memcpy(at + nameLength + 2, value, valueLength);
  memcpy(at + nameLength + 2 + valueLength, "\r\n", 2);
  header->linesLength += more;
  lines[header->linesLength] = '\0';
  return true;
}

// One line without its line end; false, with the problem named, for a line
// the header may not hold.
bool TakeLine(const char *line, size_t length, CgiProgramHeader *header, bool *statusSeen,
              bool *locationSeen) {
  const char *colon = static_cast<const char *>(memchr(line, ':', length));
  if (!colon || colon == line) {
    header->problem = "a header line without a name and a colon";
    return false;
  }
  size_t nameLength = static_cast<size_t>(colon - line);
  for (size_t i = 0; i < nameLength; ++i) {
    if (!HeaderTokenCharacter(line[i])) {
      header->problem = "a header line whose name is no token";
      return false;
    }
  }
  const char *value = colon + 1;
  size_t valueLength = length - nameLength - 1;
  while (valueLength > 0 && (*value == ' ' || *value == '\t')) ++value, --valueLength;
  while (valueLength > 0 && (value[valueLength - 1] == ' ' || value[valueLength - 1] == '\t'))
    --valueLength;
  if (!IsPlainText(value, valueLength)) {
    header->problem = "a control character in a header line";
    return false;
  }
  if (HeaderNameIs(line, nameLength, "Status")) {
    if (!ParseStatus(value, valueLength, header)) {
      header->problem = "a Status line without a status from 100 to 599";
      return false;
    }
    *statusSeen = true;
    return true;
  }
  if (HeaderNameIs(line, nameLength, "Location")) *locationSeen = true;
  if (HeaderNameIs(line, nameLength, "Date") || HeaderNameIs(line, nameLength, "Server") ||
      HeaderNameIs(line, nameLength, "Connection"))
    return true;
  if (!AppendLine(header, line, nameLength, value, valueLength)) {
    header->problem = "no memory for the header";
    return false;
  }
  return true;
}

}  // namespace

int CgiProgramHeaderParse(const char *output, size_t length, CgiProgramHeader *header) {
  free(header->lines);
  header->lines = nullptr;
  header->linesLength = 0;
  header->status = 200;
  header->reason[0] = '\0';
  header->consumed = 0;
  header->problem = nullptr;
  bool statusSeen = false, locationSeen = false;
  size_t at = 0;
  for (;;) {
    const char *newline = static_cast<const char *>(memchr(output + at, '\n', length - at));
    if (!newline) break;
    size_t end = static_cast<size_t>(newline - output);
    size_t lineLength = end - at;
    if (lineLength > 0 && output[end - 1] == '\r') --lineLength;
    if (lineLength == 0) {
      header->consumed = end + 1;
      if (locationSeen && !statusSeen) header->status = 302;
      return CGI_HEADER_DONE;
    }
    if (!TakeLine(output + at, lineLength, header, &statusSeen, &locationSeen))
      return CGI_HEADER_BAD;
    at = end + 1;
  }
  if (length >= CGI_HEADER_MOST) {
    header->problem = "a header longer than 65536 bytes";
    return CGI_HEADER_BAD;
  }
  return CGI_HEADER_INCOMPLETE;
}
