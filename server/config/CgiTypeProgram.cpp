// The cgi-type and cgi-standard-type look-ups: whether a document is run as
// a CGI program, through which interface, and with which program and
// arguments. The extension is the text after the last
// "." of the path; the first entry in file order whose extension equals it
// (ExtensionEquals: regardless of case only where the file system ignores
// it, since "X.CGI" opens the program's document and must never be sent as
// a file) wins.
#include <cstring>

#include "config/ConfigTbl.h"

static const CgiTypeEntry *FindIn(const CgiTypeEntry *list, const char *path) {
  const char *dot = strrchr(path, '.');
  if (!dot) return nullptr;
  const char *extension = dot + 1;
  for (const CgiTypeEntry *entry = list; entry; entry = entry->next)
    if (ExtensionEquals(entry->extension, extension)) return entry;
  return nullptr;
}

static const CgiTypeEntry *CgiTypeFind(const char *path) {
  return FindIn(ConfigTbl->cgi_type, path);
}

const CgiTypeEntry *CgiStandardTypeFind(const char *path) {
  if (!ConfigTbl->cgi_standard_type || CgiTypeFind(path)) return nullptr;
  return FindIn(ConfigTbl->cgi_standard_type, path);
}

const char *CgiTypeProgram(const char *path) {
  const CgiTypeEntry *entry = CgiTypeFind(path);
  return entry ? entry->program : nullptr;
}

const char *CgiTypeArguments(const char *path) {
  const CgiTypeEntry *entry = CgiTypeFind(path);
  return entry ? entry->arguments : nullptr;
}
