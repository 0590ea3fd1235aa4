// The cgi-type look-ups: whether a document is run as a CGI program, and
// with which program and arguments. The extension is the text after the last
// "." of the path; the first entry in file order whose extension equals it
// exactly (case-sensitive) wins. Where the file system ignores the case of
// names, so does the comparison: "X.CGI" opens the program's document and
// must never be sent as a file.
#include <cstring>

#include "config/ConfigTbl.h"

static char FoldCase(char c) {
  return PLAT_NAMES_IGNORE_CASE && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

static bool ExtensionEquals(const char *a, const char *b) {
  for (; *a && FoldCase(*a) == FoldCase(*b); ++a, ++b) {
  }
  return FoldCase(*a) == FoldCase(*b);
}

static const CgiTypeEntry *CgiTypeFind(const char *path) {
  const char *dot = strrchr(path, '.');
  if (!dot) return nullptr;
  const char *extension = dot + 1;
  for (const CgiTypeEntry *entry = ConfigTbl->cgi_type; entry; entry = entry->next)
    if (ExtensionEquals(entry->extension, extension)) return entry;
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
