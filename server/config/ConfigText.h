// Bounded copy into a fixed-width text field of the configuration.
#ifndef TARVELD_CONFIGTEXT_H
#define TARVELD_CONFIGTEXT_H

#include <cstring>

// Copies at most size - 1 characters and always terminates the field.
inline void ConfigCopyText(char *field, size_t size, const char *text) {
  size_t length = strnlen(text, size - 1);
  memcpy(field, text, length);
  field[length] = '\0';
}

#endif
