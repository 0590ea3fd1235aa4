// The containment test of document paths.
#include <cstring>

#include "http/Http.h"
#include "platform/platform.h"

// Both paths are resolved full paths. A path is inside the root when it is
// the root itself or continues after it with a separator: a mere common
// prefix ("/srv/www" and "/srv/www2") is not enough. Separators at the end
// of the root do not count, which also makes every path inside the file
// system's root "/".
int PathWithinRoot(const char *fullPath, const char *root) {
  size_t rootLength = strlen(root);
  while (rootLength > 0 && root[rootLength - 1] == PLAT_PATH_SEPARATOR) --rootLength;
  if (strncmp(fullPath, root, rootLength) != 0) return 0;
  char next = fullPath[rootLength];
  return next == '\0' || next == PLAT_PATH_SEPARATOR;
}
