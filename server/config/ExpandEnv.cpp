// Replaces the first %NAME% reference of a program text by the value of the
// environment variable NAME (nothing when it is not set). The result lives in
// one shared buffer until the next call and is cut at 1023 characters.
#include <cstdlib>
#include <cstring>

#include "config/ConfigTbl.h"

static char ExpandBuffer[1024];

// Appends up to length characters of text, never past the buffer's end.
static void Append(size_t *used, const char *text, size_t length) {
  size_t room = sizeof ExpandBuffer - 1 - *used;
  if (length > room) length = room;
  memcpy(ExpandBuffer + *used, text, length);
  *used += length;
  ExpandBuffer[*used] = '\0';
}

char *ExpandEnv(char *text) {
  size_t used = 0;
  ExpandBuffer[0] = '\0';
  char *open = strchr(text, '%');
  char *close = open ? strchr(open + 1, '%') : nullptr;
  if (!close) {
    Append(&used, text, strlen(text));
    return ExpandBuffer;
  }
  *close = '\0';
  const char *value = getenv(open + 1);
  *close = '%';
  Append(&used, text, static_cast<size_t>(open - text));
  if (value) Append(&used, value, strlen(value));
  Append(&used, close + 1, strlen(close + 1));
  return ExpandBuffer;
}
