// The header lines of a request, for the programs that read them: where
// the header block ends, its lines cut into names and values in place, and
// the few values the server reads itself.
#include <cstdlib>
#include <cstring>

#include "cgi/HeaderText.h"
#include "http/Http.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

long RequestHeaderEnd(const char *data, size_t length) {
  size_t at = 0;
  for (;;) {
    const char *newline = static_cast<const char *>(memchr(data + at, '\n', length - at));
    if (!newline) return -1;
    size_t end = static_cast<size_t>(newline - data);
    size_t lineLength = end - at;
    if (lineLength == 0 || (lineLength == 1 && data[at] == '\r')) return static_cast<long>(end + 1);
    at = end + 1;
  }
}

int RequestFieldsParse(char *block, size_t length, CgiField **fields, int *count) {
  *fields = nullptr;
  *count = 0;
  int lines = 0;
  for (size_t i = 0; i < length; ++i)
    if (block[i] == '\n') ++lines;
  if (lines == 0) return 0;
  CgiField *list = static_cast<CgiField *>(calloc(static_cast<size_t>(lines), sizeof *list));
  if (!list) return -1;
  int used = 0;
  char *at = block;
  char *end = block + length;
  while (at < end) {
    char *newline = static_cast<char *>(memchr(at, '\n', static_cast<size_t>(end - at)));
    char *lineEnd = newline ? newline : end;
    char *next = newline ? newline + 1 : end;
    if (lineEnd > at && lineEnd[-1] == '\r') --lineEnd;
    if (lineEnd == at) break;  // the empty line that ends the block
    char *colon = static_cast<char *>(memchr(at, ':', static_cast<size_t>(lineEnd - at)));
    bool named = colon && colon > at;
    for (char *c = at; named && c < colon; ++c) named = HeaderTokenCharacter(*c);
    for (char *c = colon ? colon : at; named && c < lineEnd; ++c)
      named = *c != '\0' && *c != '\r';
    if (!named) {
      free(list);
      return -2;
    }
    *colon = '\0';
    char *value = colon + 1;
    while (value < lineEnd && IsBlank(*value)) ++value;
    char *valueEnd = lineEnd;
    while (valueEnd > value && IsBlank(valueEnd[-1])) --valueEnd;
    *valueEnd = '\0';
    list[used].name = at;
    list[used].value = value;
    ++used;
    at = next;
  }
  *fields = list;
  *count = used;
  return 0;
}

const char *RequestField(const CgiField *fields, int count, const char *name) {
  for (int i = 0; i < count; ++i)
    if (HeaderNamesEqual(fields[i].name, name)) return fields[i].value;
  return nullptr;
}

int RequestContentLength(const CgiField *fields, int count, int64_t *length) {
  int found = 0;
  for (int i = 0; i < count; ++i) {
    if (!HeaderNamesEqual(fields[i].name, "Content-Length")) continue;
    const char *value = fields[i].value;
    if (*value == '\0') return -1;
    int64_t number = 0;
    for (; *value; ++value) {
      if (*value < '0' || *value > '9') return -1;
      if (number > (INT64_MAX - 9) / 10) return -1;
      number = number * 10 + (*value - '0');
    }
    if (found && number != *length) return -1;  // two that disagree
    *length = number;
    found = 1;
  }
  return found;
}
