// Fuzzes the PROXY header parser (both versions) and the address text it
// reads, as a transaction reads a balancer's first bytes. Every input is
// checked against what the reading loop relies on:
//  - a result is invalid, incomplete, or a length within the input;
//  - a complete header parses the same from exactly its own bytes, and
//    every shorter prefix of it waits for more;
//  - once invalid, always invalid: no further byte makes the bytes a header;
//  - an incomplete input is shorter than the longest header of either
//    version, so a reader never waits for a header that cannot come;
//  - a client address is IPv4 or IPv6, and its text reads back the same;
//  - the input read as address text reads back the same when it is one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/Http.h"
#include "platform/platform.h"

namespace {

void Check(bool condition, const char *what) {
  if (!condition) {
    fprintf(stderr, "fuzz_proxy: %s\n", what);
    abort();
  }
}

long Parse(const std::string &bytes, ProxyHeader *header) {
  return ProxyHeaderParse(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                          header);
}

void CheckRoundTrip(const PlatAddress &address) {
  char text[64];
  PlatAddressText(&address, text, sizeof text);
  PlatAddress again;
  Check(PlatAddressParse(text, strlen(text), &again) == 0, "an address text does not read back");
  Check(PlatAddressSameHost(&address, &again), "an address text reads back as another host");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);
  ProxyHeader header;
  long result = Parse(input, &header);
  Check(result == PROXY_HEADER_INVALID || result == PROXY_HEADER_INCOMPLETE ||
            (result > 0 && static_cast<size_t>(result) <= size),
        "a result outside the input");

  if (result > 0) {
    size_t length = static_cast<size_t>(result);
    ProxyHeader alone;
    Check(Parse(input.substr(0, length), &alone) == result, "the header alone parses otherwise");
    Check(alone.local == header.local && memcmp(&alone.client, &header.client, sizeof alone.client) == 0,
          "the header alone names another client");
    for (size_t cut : {length - 1, length / 2, static_cast<size_t>(1)}) {
      if (cut >= length) continue;
      ProxyHeader part;
      Check(Parse(input.substr(0, cut), &part) == PROXY_HEADER_INCOMPLETE,
            "a prefix of a header does not wait for more");
    }
    if (!header.local) {
      Check(header.client.family == PLAT_AF_INET || header.client.family == PLAT_AF_INET6,
            "a client of no Internet family");
      CheckRoundTrip(header.client);
    }
  } else if (result == PROXY_HEADER_INVALID) {
    ProxyHeader more;
    Check(Parse(input + "\r\n", &more) == PROXY_HEADER_INVALID, "invalid bytes became a header");
    Check(Parse(input + std::string(64, '\0'), &more) == PROXY_HEADER_INVALID,
          "invalid bytes became a header");
  } else {
    Check(size < 16 + 65535, "waiting for more than the longest header");
  }

  PlatAddress address;
  if (PlatAddressParse(input.data(), input.size(), &address) == 0) CheckRoundTrip(address);
  return 0;
}
