// The environment calls of POSIX that the shared unit tests use, for the
// Windows build: the runtime keeps the environment with _putenv_s.
#ifndef TARVELD_POSIX_COMPAT_H
#define TARVELD_POSIX_COMPAT_H

#include <cstdlib>

inline int setenv(const char *name, const char *value, int overwrite) {
  if (!overwrite && getenv(name)) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

// An empty value removes the variable from the runtime's environment.
inline int unsetenv(const char *name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

#endif
