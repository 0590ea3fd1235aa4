// The cgi-type look-ups: whether a document is run as a CGI program, and
// with which program and arguments. The extension is the text after the last
// "." of the path; the first entry in file order whose extension equals it
// exactly (case-sensitive) wins.
#include <cstring>

#include "cgi/Cgi.h"
#include "config/ConfigTbl.h"

static const CgiTypeEntry *CgiTypeFind(const char *path) {
  const char *dot = strrchr(path, '.');
  if (!dot) return nullptr;
  const char *extension = dot + 1;
  for (const CgiTypeEntry *entry = ConfigTbl->cgi_type; entry; entry = entry->next)
    if (strcmp(entry->extension, extension) == 0) return entry;
  return nullptr;
}

const char *CgiTypeProgram(const char *path) {
  const CgiTypeEntry *entry = CgiTypeFind(path);
  return entry ? entry->program : nullptr;
}

const char *CgiTypeArguments(const char *path) {
  const CgiTypeEntry *entry = CgiTypeFind(path);
  return entry ? entry->arguments : nullptr;
}
