// The process-wide configuration record, allocated by the server's main routine.
#include "config/ConfigTbl.h"

#include <cstdlib>

ConfigTable *ConfigTbl = nullptr;

void ConfigRelease() {
  if (!ConfigTbl) return;
  for (ContentTypeEntry *entry = ConfigTbl->content_type; entry;) {
    ContentTypeEntry *next = entry->next;
    free(entry);
    entry = next;
  }
  for (CgiTypeEntry *entry = ConfigTbl->cgi_type; entry;) {
    CgiTypeEntry *next = entry->next;
    free(entry);
    entry = next;
  }
  free(ConfigTbl);
  ConfigTbl = nullptr;
}
