// The PROXY header a load balancer sends before its client's bytes, in
// either version HAProxy writes:
//   version 1, one text line of at most 107 bytes:
//     "PROXY TCP4 203.0.113.7 192.0.2.1 56324 80\r\n"
//     "PROXY TCP6 2001:db8::7 2001:db8::1 56324 80\r\n"
//     "PROXY UNKNOWN ...\r\n"          (no client: a health check)
//   version 2, binary: a 12-byte signature, version and command, family and
//     protocol, the length of what follows (network order), the addresses
//     (IPv4: source, destination, their ports; IPv6 likewise), then
//     type-length-value extensions, which are skipped. The command LOCAL
//     (health checks) and families other than IPv4 and IPv6 name no client.
// Nothing of the header is believed beyond its form: that is the caller's
// decision, by the connection's peer.
#include <cstring>

#include "http/Http.h"
#include "platform/platform.h"

namespace {

const unsigned char Signature2[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                      0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
const char Prefix1[] = "PROXY ";
constexpr size_t MOST_1 = 107;  // the longest version 1 line, CR LF included

// A port: 0 to 65535 in decimal, no sign, no leading zero.
bool ParsePort(const char *text, size_t length, uint16_t *port) {
  if (length == 0 || length > 5 || (length > 1 && text[0] == '0')) return false;
  unsigned value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  if (value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// The line without its CR LF, cut at single blanks into at most 6 fields.
long ParseVersion1(const unsigned char *data, size_t length, ProxyHeader *header) {
  size_t known = length < sizeof Prefix1 - 1 ? length : sizeof Prefix1 - 1;
  if (memcmp(data, Prefix1, known) != 0) return PROXY_HEADER_INVALID;
  // The line ends with the first CR LF, within 107 bytes; a CR or LF that
  // is not part of it makes the bytes no header at once.
  size_t lineEnd = 0;
  bool ended = false;
  for (size_t at = 0; at < length && at < MOST_1 && !ended; ++at) {
    if (data[at] == '\n') return PROXY_HEADER_INVALID;
    if (data[at] != '\r') continue;
    if (at + 2 > MOST_1) return PROXY_HEADER_INVALID;
    if (at + 1 == length) break;
    if (data[at + 1] != '\n') return PROXY_HEADER_INVALID;
    lineEnd = at;
    ended = true;
  }
  if (!ended) return length >= MOST_1 ? PROXY_HEADER_INVALID : PROXY_HEADER_INCOMPLETE;
  const char *line = reinterpret_cast<const char *>(data);
  const char *fields[7];
  size_t lengths[7];
  int count = 0;  // 7: seven fields or more
  size_t start = 0;
  for (size_t at = 0; at <= lineEnd; ++at) {
    if (at < lineEnd && line[at] != ' ') {
      if (line[at] == '\r' || line[at] == '\n' || line[at] == '\0') return PROXY_HEADER_INVALID;
      continue;
    }
    if (count < 7) {
      fields[count] = line + start;
      lengths[count] = at - start;
      ++count;
    }
    start = at + 1;
  }
  long total = static_cast<long>(lineEnd + 2);
  memset(header, 0, sizeof *header);
  if (count >= 2 && lengths[1] == 7 && memcmp(fields[1], "UNKNOWN", 7) == 0) {
    header->local = 1;  // whatever follows is ignored
    return total;
  }
  if (count != 6) return PROXY_HEADER_INVALID;
  for (int i = 2; i < 6; ++i)
    if (lengths[i] == 0) return PROXY_HEADER_INVALID;
  int family;
  if (lengths[1] == 4 && memcmp(fields[1], "TCP4", 4) == 0)
    family = PLAT_AF_INET;
  else if (lengths[1] == 4 && memcmp(fields[1], "TCP6", 4) == 0)
    family = PLAT_AF_INET6;
  else
    return PROXY_HEADER_INVALID;
  PlatAddress source, destination;
  uint16_t sourcePort, destinationPort;
  if (PlatAddressParse(fields[2], lengths[2], &source) != 0 || source.family != family ||
      PlatAddressParse(fields[3], lengths[3], &destination) != 0 ||
      destination.family != family || !ParsePort(fields[4], lengths[4], &sourcePort) ||
      !ParsePort(fields[5], lengths[5], &destinationPort))
    return PROXY_HEADER_INVALID;
  header->client = source;
  header->client.port = sourcePort;
  return total;
}

long ParseVersion2(const unsigned char *data, size_t length, ProxyHeader *header) {
  size_t known = length < sizeof Signature2 ? length : sizeof Signature2;
  if (memcmp(data, Signature2, known) != 0) return PROXY_HEADER_INVALID;
  if (length < 16) return PROXY_HEADER_INCOMPLETE;
  unsigned version = data[12] >> 4, command = data[12] & 0xF;
  unsigned family = data[13] >> 4, protocol = data[13] & 0xF;
  if (version != 2 || command > 1 || family > 3 || protocol > 2) return PROXY_HEADER_INVALID;
  size_t body = static_cast<size_t>(data[14]) << 8 | data[15];
  if (length < 16 + body) return PROXY_HEADER_INCOMPLETE;
  long total = static_cast<long>(16 + body);
  memset(header, 0, sizeof *header);
  const unsigned char *addresses = data + 16;
  // LOCAL (the balancer's own health check) and the families without an
  // Internet address name no client, whatever the block holds.
  if (command == 0 || (family != 1 && family != 2)) {
    header->local = 1;
    return total;
  }
  size_t size = family == 1 ? 4 : 16;
  if (body < 2 * size + 4) return PROXY_HEADER_INVALID;  // two addresses, two ports
  header->client.family = family == 1 ? PLAT_AF_INET : PLAT_AF_INET6;
  memcpy(header->client.bytes, addresses, size);
  const unsigned char *port = addresses + 2 * size;
  header->client.port = static_cast<uint16_t>(port[0] << 8 | port[1]);
  return total;
}

}  // namespace

long ProxyHeaderParse(const unsigned char *data, size_t length, ProxyHeader *header) {
  if (length == 0) return PROXY_HEADER_INCOMPLETE;
  if (data[0] == Prefix1[0]) return ParseVersion1(data, length, header);
  if (data[0] == Signature2[0]) return ParseVersion2(data, length, header);
  return PROXY_HEADER_INVALID;
}
