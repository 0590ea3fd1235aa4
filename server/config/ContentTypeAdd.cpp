// Appends a content-type entry "extension : media type" to the list.
#include <cstring>

#include "config/ConfigText.h"
#include "config/ConfigTbl.h"
#include "log/Log.h"

void ContentTypeAdd(ContentTypeEntry **list, char *value) {
  char *colon = strchr(value, ':');
  if (!colon) {
    LogPrint(LOG_ERR, "Invalied content-type : %s", value);
    return;
  }
  *colon = '\0';
  char *extension = TrimString(value);
  char *mediaType = TrimString(colon + 1);

  ContentTypeEntry *entry = static_cast<ContentTypeEntry *>(ConfigEntryNew(sizeof(ContentTypeEntry)));
  ConfigCopyText(entry->extension, sizeof entry->extension, extension);
  ConfigCopyText(entry->mediaType, sizeof entry->mediaType, mediaType);

  while (*list) list = &(*list)->next;
  *list = entry;
}
