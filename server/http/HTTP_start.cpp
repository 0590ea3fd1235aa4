// Placeholder until the HTTP layer lands: the transaction answers nothing.
#include "http/Http.h"

int HTTP_start(PlatSocket, char *, int) { return 0; }
