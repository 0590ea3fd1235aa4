// Peers' addresses: taken from a socket address or read from text, compared,
// and written as text the way the log shows connections and the
// configuration dump the resolved endpoint. The text is made for every
// connection, under the connection list's lock: it is written digit by digit.
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

// "a.b.c.d" into four bytes; false unless the whole text is one.
static bool ParseDotted(const char *text, size_t length, unsigned char bytes[4]) {
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= length || text[at] != '.') return false;
      ++at;
    }
    size_t start = at;
    unsigned value = 0;
    while (at < length && text[at] >= '0' && text[at] <= '9' && at - start < 3)
      value = value * 10 + static_cast<unsigned>(text[at++] - '0');
    size_t digits = at - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    bytes[part] = static_cast<unsigned char>(value);
  }
  return at == length;
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Eight groups of up to four hexadecimal digits; one "::" stands for one or
// more zero groups; the last 32 bits may be written dotted.
static bool ParseIPv6(const char *text, size_t length, unsigned char bytes[16]) {
  unsigned char parsed[16] = {};
  int groups = 0;     // 16-bit groups written so far
  int gap = -1;       // the group where "::" stands
  size_t at = 0;
  if (length >= 2 && text[0] == ':' && text[1] == ':') {
    gap = 0;
    at = 2;
  } else if (length >= 1 && text[0] == ':') {
    return false;
  }
  while (at < length) {
    if (groups == 8) return false;
    size_t start = at;
    unsigned value = 0;
    while (at < length && HexDigit(text[at]) >= 0 && at - start < 4)
      value = value << 4 | static_cast<unsigned>(HexDigit(text[at++]));
    if (at < length && text[at] == '.') {  // an IPv4 tail ends the text
      if (groups > 6 || !ParseDotted(text + start, length - start, parsed + 2 * groups))
        return false;
      groups += 2;
      at = length;
      break;
    }
    if (at == start) return false;
    parsed[2 * groups] = static_cast<unsigned char>(value >> 8);
    parsed[2 * groups + 1] = static_cast<unsigned char>(value);
    ++groups;
    if (at == length) break;
    if (text[at] != ':') return false;
    ++at;
    if (at < length && text[at] == ':') {
      if (gap >= 0) return false;
      gap = groups;
      ++at;
    } else if (at == length) {
      return false;  // a single ":" at the end
    }
  }
  if (gap < 0 && groups != 8) return false;
  if (gap >= 0 && groups == 8) return false;  // "::" stands for one group at least
  memset(bytes, 0, 16);
  if (gap < 0) {
    memcpy(bytes, parsed, 16);
  } else {
    memcpy(bytes, parsed, static_cast<size_t>(2 * gap));
    int tail = groups - gap;
    memcpy(bytes + 16 - 2 * tail, parsed + 2 * gap, static_cast<size_t>(2 * tail));
  }
  return true;
}

int PlatAddressParse(const char *text, size_t length, PlatAddress *address) {
  unsigned char bytes[16];
  if (ParseDotted(text, length, bytes)) {
    PlatAddressSet(address, PLAT_AF_INET, bytes);
    return 0;
  }
  if (memchr(text, ':', length) && ParseIPv6(text, length, bytes)) {
    PlatAddressSet(address, PLAT_AF_INET6, bytes);
    return 0;
  }
  return -1;
}

// The IPv4 address an address stands for: its own, or the one of an IPv4
// client of an IPv6 socket; null for any other.
static const unsigned char *IPv4Of(const PlatAddress *address) {
  if (address->family == PLAT_AF_INET) return address->bytes;
  if (address->family == PLAT_AF_INET6 && MappedIPv4(address->bytes)) return address->bytes + 12;
  return nullptr;
}

bool PlatAddressSameHost(const PlatAddress *a, const PlatAddress *b) {
  const unsigned char *a4 = IPv4Of(a);
  const unsigned char *b4 = IPv4Of(b);
  if (a4 || b4) return a4 && b4 && memcmp(a4, b4, 4) == 0;
  return a->family == PLAT_AF_INET6 && b->family == PLAT_AF_INET6 &&
         memcmp(a->bytes, b->bytes, 16) == 0;
}
