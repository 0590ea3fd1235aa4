// The comparison of document extensions that every look-up by extension
// shares: exact where the file system tells names apart by case, and
// regardless of case where it does not ("X.CGI" opens the file x.cgi).
#include "config/ConfigTbl.h"

static char FoldCase(char c) {
  return PLAT_NAMES_IGNORE_CASE && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ExtensionEquals(const char *a, const char *b) {
  for (; *a && FoldCase(*a) == FoldCase(*b); ++a, ++b) {
  }
  return FoldCase(*a) == FoldCase(*b);
}
