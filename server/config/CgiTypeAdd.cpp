// Appends a cgi-type or cgi-standard-type entry "extension | program |
// arguments" to its list.
#include <cstring>

#include "config/ConfigText.h"
#include "config/ConfigTbl.h"
#include "log/Log.h"

// Appends the entry of a value with two vertical bars at least; false,
// with nothing appended, for one with fewer.
static bool CgiTypeEntryAdd(CgiTypeEntry **list, char *value) {
  char *firstBar = strchr(value, '|');
  char *secondBar = firstBar ? strchr(firstBar + 1, '|') : nullptr;
  if (!secondBar) return false;
  *firstBar = '\0';
  *secondBar = '\0';
  char *extension = TrimString(value);
  char *program = ExpandEnv(TrimString(firstBar + 1));
  char *arguments = TrimString(secondBar + 1);

  CgiTypeEntry *entry = static_cast<CgiTypeEntry *>(ConfigEntryNew(sizeof(CgiTypeEntry)));
  ConfigCopyText(entry->extension, sizeof entry->extension, extension);
  ConfigCopyText(entry->program, sizeof entry->program, program);
  ConfigCopyText(entry->arguments, sizeof entry->arguments, arguments);

  while (*list) list = &(*list)->next;
  *list = entry;
  return true;
}

void CgiTypeAdd(CgiTypeEntry **list, char *value) {
  if (!CgiTypeEntryAdd(list, value)) LogPrint(LOG_ERR, "Invalied cgi-type : %s", value);
}

void CgiStandardTypeAdd(CgiTypeEntry **list, char *value) {
  if (!CgiTypeEntryAdd(list, value)) LogPrint(LOG_ERR, "Invalid cgi-standard-type : %s", value);
}
