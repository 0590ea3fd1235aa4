// One token of the request line, cut in place.
#include "http/Http.h"

// A blank, a line feed or a NUL ends the token and becomes NUL; a carriage
// return becomes NUL where it stands and the scan goes on, so it cuts the
// token without ending the scan. The scan never passes end (the NUL behind
// the received bytes): a token that runs into it leaves the cursor there,
// so every later token and the request data are empty.
char *ScanToken(char **cursor, char *end) {
  char *token = *cursor;
  char *at = token;
  while (at < end && *at != ' ' && *at != '\n' && *at != '\0') {
    if (*at == '\r') *at = '\0';
    ++at;
  }
  if (at < end) {
    *at = '\0';
    *cursor = at + 1;
  } else {
    *cursor = end;
  }
  return token;
}
