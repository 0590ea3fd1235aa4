// Placeholder until the HTTP layer lands: no header is sent.
#include "http/Http.h"

int SendHeader10(PlatSocket, unsigned, int64_t, const char *) { return -1; }
