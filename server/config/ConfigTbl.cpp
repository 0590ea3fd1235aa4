// The process-wide configuration record, allocated by the server's main routine.
#include "config/ConfigTbl.h"

#include <cstdlib>

ConfigTable *ConfigTbl = nullptr;

// Releases a singly linked list of configuration entries.
template <typename Entry>
static void FreeList(Entry *entry) {
  while (entry) {
    Entry *next = entry->next;
    free(entry);
    entry = next;
  }
}

void ConfigRelease() {
  if (!ConfigTbl) return;
  FreeList(ConfigTbl->content_type);
  FreeList(ConfigTbl->cgi_type);
  FreeList(ConfigTbl->cgi_standard_type);
  FreeList(ConfigTbl->cgi_env);
  FreeList(ConfigTbl->proxy_from);
  free(ConfigTbl);
  ConfigTbl = nullptr;
}
