// Placeholder until the CGI layer lands: no document is a CGI program.
#include "cgi/Cgi.h"

const char *CgiTypeProgram(const char *) { return nullptr; }
const char *CgiTypeArguments(const char *) { return nullptr; }
