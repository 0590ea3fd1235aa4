// Hex dump of a byte block: 16 bytes per row, offset, bytes, characters.
#include <cstdio>
#include <cstring>

#include "log/Log.h"

void LogDump(const char *title, const void *data, uint32_t size) {
  if (!LogDumpsOn()) return;
  const unsigned char *bytes = static_cast<const unsigned char *>(data);

  LogLockEnter();
  printf("\n*** DUMP(%s / size=%d) ***\n", title, static_cast<int>(size));
  printf("OFST : +0 +1 +2 +3 +4 +5 +6 +7 - +8 +9 +A +B +C +D +E +F : ASCII\n");
  uint32_t offset = 0;
  while (offset < size) {
    printf("%04X :", offset);
    char chars[17];
    memset(chars, 0, sizeof chars);
    for (int column = 0; column < 16; ++column) {
      if (offset < size) {
        unsigned char byte = bytes[offset];
        printf(" %02X", byte);
        chars[column] = (byte >= 0x20 && byte <= 0x7E) ? static_cast<char>(byte) : '.';
        ++offset;
      } else {
        printf("   ");
      }
      if (column == 7) printf(" -");
    }
    printf(" : %s\n", chars);
  }
  printf("\n");
  fflush(stdout);
  LogLockLeave();
}
