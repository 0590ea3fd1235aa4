// Placeholder until the CGI layer lands: nothing is run.
#include "cgi/Cgi.h"

int CgiExec(PlatSocket, const char *, const char *, const char *, const char *, const char *,
            int) {
  return -1;
}
