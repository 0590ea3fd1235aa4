// The content-type look-up: the media type a document is sent with.
#include <cstring>

#include "config/ConfigTbl.h"

// The media type for a path by the text after its last "." (which may lie in
// a folder name; "*" when there is none), compared as the CGI look-ups
// compare it. Entries are tried in file order and a "*" entry matches
// whatever reaches it. The caller passes the name the document is stored
// under, so that a short form of it types the document as its name does.
const char *ContentTypeMedia(const char *path) {
  const char *dot = strrchr(path, '.');
  const char *extension = dot ? dot + 1 : "*";
  for (const ContentTypeEntry *entry = ConfigTbl->content_type; entry; entry = entry->next) {
    if (ExtensionEquals(entry->extension, extension) || strcmp(entry->extension, "*") == 0)
      return entry->mediaType;
  }
  return nullptr;
}
