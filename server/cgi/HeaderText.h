// The syntax of header field names, as the request's and a CGI program's
// header lines both use it: token characters, compared without regard to
// case.
#ifndef TARVELD_HEADER_TEXT_H
#define TARVELD_HEADER_TEXT_H

#include <cstddef>
#include <cstring>

inline char HeaderLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// A character that a field name may hold (a token's).
inline bool HeaderTokenCharacter(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// Whether the first length characters of name are the known name, in any case.
inline bool HeaderNameIs(const char *name, size_t length, const char *known) {
  if (strlen(known) != length) return false;
  for (size_t i = 0; i < length; ++i)
    if (HeaderLower(name[i]) != HeaderLower(known[i])) return false;
  return true;
}

inline bool HeaderNamesEqual(const char *a, const char *b) { return HeaderNameIs(a, strlen(a), b); }

#endif
