// The containment test of document paths.
#include <cstring>

#include "http/Http.h"
#include "platform/platform.h"

// Whether a path holds a "." or ".." component. A resolved path never should;
// one that does (Windows resolves the name "..." to "..") would be taken
// apart once more when the file is opened, and could lead out of the root.
static bool HasDotComponent(const char *path) {
  for (const char *part = path;;) {
    const char *end = strchr(part, PLAT_PATH_SEPARATOR);
    size_t length = end ? static_cast<size_t>(end - part) : strlen(part);
    if ((length == 1 || length == 2) && strncmp(part, "..", length) == 0) return true;
    if (!end) return false;
    part = end + 1;
  }
}

// Both paths are resolved full paths. A path is inside the root when it is
// the root itself or continues after it with a separator: a mere common
// prefix ("/srv/www" and "/srv/www2") is not enough. Separators at the end
// of the root do not count, which also makes every path inside the file
// system's root "/". Below the root no component may be "." or "..".
int PathWithinRoot(const char *fullPath, const char *root) {
  size_t rootLength = strlen(root);
  while (rootLength > 0 && root[rootLength - 1] == PLAT_PATH_SEPARATOR) --rootLength;
  if (strncmp(fullPath, root, rootLength) != 0) return 0;
  char next = fullPath[rootLength];
  if (next != '\0' && next != PLAT_PATH_SEPARATOR) return 0;
  return HasDotComponent(fullPath + rootLength) ? 0 : 1;
}
