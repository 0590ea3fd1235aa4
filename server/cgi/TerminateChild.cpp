// Placeholder until child termination lands: start-up needs nothing yet.
#include "cgi/Cgi.h"

int TerminateChildInit() { return 0; }
