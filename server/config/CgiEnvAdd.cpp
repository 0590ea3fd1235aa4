// The cgi-env list: variables that every standard CGI program gets beside
// its meta-variables, and the limit of the body it is given.
#include <cstring>

#include "config/ConfigText.h"
#include "config/ConfigTbl.h"
#include "log/Log.h"

// A variable's name: a letter or "_", then letters, digits and "_".
static bool IsVariableName(const char *name, size_t length) {
  if (length == 0 || (name[0] >= '0' && name[0] <= '9')) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = name[i];
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter && !(c >= '0' && c <= '9') && c != '_') return false;
  }
  return true;
}

void CgiEnvAdd(CgiEnvEntry **list, const char *value) {
  const char *equals = strchr(value, '=');
  if (!equals || !IsVariableName(value, static_cast<size_t>(equals - value))) {
    LogPrint(LOG_ERR, "Invalid cgi-env : %s", value);
    return;
  }
  CgiEnvEntry *entry = static_cast<CgiEnvEntry *>(ConfigEntryNew(sizeof(CgiEnvEntry)));
  ConfigCopyText(entry->variable, sizeof entry->variable, value);
  while (*list) list = &(*list)->next;
  *list = entry;
}

int64_t CgiMaxBody() {
  return ConfigTbl->cgi_max_body_set ? ConfigTbl->cgi_max_body : CGI_MAX_BODY_DEFAULT;
}
