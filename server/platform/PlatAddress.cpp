// Peers' addresses: taken from a socket address, and written as text the
// way the log shows connections and the configuration dump the resolved
// endpoint. The text is made for every connection, under the connection
// list's lock: it is written digit by digit.
#include <cstring>

#include "platform/PlatShared.h"
#include "platform/platform.h"

void PlatAddressSet(PlatAddress *address, int family, const void *bytes) {
  memset(address, 0, sizeof *address);
  if (family == PLAT_AF_INET) {
    address->family = PLAT_AF_INET;
    memcpy(address->bytes, bytes, 4);
  } else if (family == PLAT_AF_INET6) {
    address->family = PLAT_AF_INET6;
    memcpy(address->bytes, bytes, 16);
  }
}

// Each byte as an unsigned decimal number followed by a point, the final
// point removed.
static void DottedText(const unsigned char bytes[4], char *text) {
  size_t used = 0;
  for (int i = 0; i < 4; ++i) {
    unsigned char byte = bytes[i];
    if (byte >= 100) text[used++] = static_cast<char>('0' + byte / 100);
    if (byte >= 10) text[used++] = static_cast<char>('0' + byte / 10 % 10);
    text[used++] = static_cast<char>('0' + byte % 10);
    text[used++] = '.';
  }
  text[used - 1] = '\0';  // the final point
}

// ::ffff:a.b.c.d, the form in which an IPv6 socket shows an IPv4 client.
static bool MappedIPv4(const unsigned char bytes[16]) {
  static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return memcmp(bytes, prefix, sizeof prefix) == 0;
}

static size_t HexGroup(unsigned group, char *text) {
  static const char digits[] = "0123456789abcdef";
  size_t used = 0;
  for (int shift = 12; shift >= 0; shift -= 4) {
    unsigned digit = (group >> shift) & 0xF;
    if (digit != 0 || used > 0 || shift == 0) text[used++] = digits[digit];
  }
  return used;
}

// Eight groups of lower-case hexadecimal without leading zeros; the longest
// run of two or more zero groups (the first of equally long ones) becomes "::".
static void IPv6Text(const unsigned char bytes[16], char *text) {
  unsigned groups[8];
  for (int i = 0; i < 8; ++i)
    groups[i] = static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  int runStart = -1, runLength = 0;
  for (int i = 0; i < 8;) {
    int end = i;
    while (end < 8 && groups[end] == 0) ++end;
    if (end - i > runLength) {
      runStart = i;
      runLength = end - i;
    }
    i = end > i ? end : i + 1;
  }
  if (runLength < 2) runStart = -1;
  size_t used = 0;
  for (int i = 0; i < 8; ++i) {
    if (i == runStart) {
      text[used++] = ':';
      text[used++] = ':';
      i += runLength - 1;
      continue;
    }
    if (i > 0 && i != runStart + runLength) text[used++] = ':';
    used += HexGroup(groups[i], text + used);
  }
  text[used] = '\0';
}

void PlatAddressText(const PlatAddress *address, char *text, size_t size) {
  static const unsigned char none[4] = {0, 0, 0, 0};
  char formatted[40];
  if (address->family == PLAT_AF_INET6 && MappedIPv4(address->bytes))
    DottedText(address->bytes + 12, formatted);
  else if (address->family == PLAT_AF_INET6)
    IPv6Text(address->bytes, formatted);
  else if (address->family == PLAT_AF_INET)
    DottedText(address->bytes, formatted);
  else
    DottedText(none, formatted);
  if (size == 0) return;
  size_t length = strnlen(formatted, size - 1);
  memcpy(text, formatted, length);
  text[length] = '\0';
}
