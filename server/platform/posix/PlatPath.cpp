// POSIX backend of the path resolution: the absolute, normalised form of a
// path, worked out from its text alone. Nothing on disk is looked at, so a
// symbolic link is a name like any other and a missing file resolves too.
// File names have no short alternative forms here.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

// The path itself when absolute, else the current directory, "/" and the path.
char *AbsoluteText(const char *path) {
  if (path[0] == '/') return strdup(path);
  char *cwd = getcwd(nullptr, 0);
  if (!cwd) return nullptr;
  size_t cwdLength = strlen(cwd);
  size_t pathLength = strlen(path);
  char *text = static_cast<char *>(malloc(cwdLength + 1 + pathLength + 1));
  if (text) {
    memcpy(text, cwd, cwdLength);
    text[cwdLength] = '/';
    memcpy(text + cwdLength + 1, path, pathLength + 1);
  }
  free(cwd);
  return text;
}

// Rewrites an absolute path in place: repeated separators and "." vanish,
// ".." takes back the component before it and stays at the root when there
// is none. A separator at the end is kept, as the Windows call keeps it.
void Normalise(char *text) {
  size_t length = strlen(text);
  bool trailing = length > 1 && text[length - 1] == '/';
  size_t out = 1;  // text[0] is the root's "/"
  const char *at = text + 1;
  while (*at) {
    const char *end = strchr(at, '/');
    size_t part = end ? static_cast<size_t>(end - at) : strlen(at);
    if (part == 2 && at[0] == '.' && at[1] == '.') {
      while (out > 1 && text[out - 1] != '/') --out;  // back over the component
      if (out > 1) --out;                             // and its separator
    } else if (part > 0 && !(part == 1 && at[0] == '.')) {
      if (out > 1) text[out++] = '/';
      memmove(text + out, at, part);  // out never passes at: no overlap ahead
      out += part;
    }
    at += part;
    if (*at == '/') ++at;
  }
  if (trailing && out > 1) text[out++] = '/';
  text[out] = '\0';
}

}  // namespace

uint32_t PlatFullPath(const char *path, char *buffer, uint32_t bufferSize) {
  if (!path || !*path) {
    errno = EINVAL;
    return 0;
  }
  char *text = AbsoluteText(path);
  if (!text) return 0;
  Normalise(text);
  size_t length = strlen(text);
  uint32_t result;
  if (length + 1 > bufferSize) {
    // Like the Windows call: the size needed, nothing written. The error code
    // says why for callers that log it.
    result = length + 1 > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length + 1);
    errno = ENAMETOOLONG;
  } else {
    memcpy(buffer, text, length + 1);
    result = static_cast<uint32_t>(length);
  }
  free(text);
  return result;
}

// A file has no other name of the kind: the path as given.
uint32_t PlatLongPath(const char *path, char *buffer, uint32_t bufferSize) {
  size_t length = strlen(path);
  if (length + 1 > bufferSize) {
    errno = ENAMETOOLONG;
    return length + 1 > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length + 1);
  }
  memcpy(buffer, path, length + 1);
  return static_cast<uint32_t>(length);
}
