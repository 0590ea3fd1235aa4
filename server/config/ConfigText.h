// Helpers of the configuration's entries: bounded copies into their
// fixed-width text fields, and memory for a new list entry.
#ifndef TARVELD_CONFIGTEXT_H
#define TARVELD_CONFIGTEXT_H

#include <cstring>

// Copies at most size - 1 characters and always terminates the field.
inline void ConfigCopyText(char *field, size_t size, const char *text) {
  size_t length = strnlen(text, size - 1);
  memcpy(field, text, length);
  field[length] = '\0';
}

// A zeroed entry of the given size; without memory the start ends (logged).
void *ConfigEntryNew(size_t size);

#endif
