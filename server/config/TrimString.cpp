// Trims spaces and tabs at both ends and cuts the text at its first CR or LF.
#include <cstring>

#include "config/ConfigTbl.h"
#include "log/Log.h"

static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char *TrimString(char *text) {
  TRACE_START();
  char *start = text;
  while (IsBlank(*start)) ++start;
  start[strcspn(start, "\r\n")] = '\0';
  size_t length = strlen(start);
  while (length > 0 && IsBlank(start[length - 1])) --length;
  start[length] = '\0';
  TRACE_END();
  return start;
}
