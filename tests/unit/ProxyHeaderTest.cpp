// Clients behind a load balancer: addresses read from text and compared,
// the PROXY header in both versions, and the proxy-from look-up.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/ConfigTbl.h"
#include "http/Http.h"
#include "platform/platform.h"
#include "support/Basics.h"
#include "unit/TestSupport.h"

using unit::ConfigScope;

namespace {

std::string Text(const PlatAddress &address) {
  char text[64];
  PlatAddressText(&address, text, sizeof text);
  return text;
}

// The address a text parses to, as its usual text; "-" when it is none.
std::string Parsed(const std::string &text, int *family = nullptr) {
  PlatAddress address;
  if (PlatAddressParse(text.data(), text.size(), &address) != 0) return "-";
  if (family) *family = address.family;
  return Text(address);
}

long Parse(const std::string &bytes, ProxyHeader *header) {
  return ProxyHeaderParse(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                          header);
}

}  // namespace

TEST(PlatAddressParse, EveryFormAndItsUsualText) {
  int family = 0;
  EXPECT_EQ(Parsed("203.0.113.7", &family), "203.0.113.7");
  EXPECT_EQ(family, PLAT_AF_INET);
  EXPECT_EQ(Parsed("0.0.0.0"), "0.0.0.0");
  EXPECT_EQ(Parsed("255.255.255.255"), "255.255.255.255");
  EXPECT_EQ(Parsed("::1", &family), "::1");
  EXPECT_EQ(family, PLAT_AF_INET6);
  EXPECT_EQ(Parsed("::"), "::");
  EXPECT_EQ(Parsed("2001:DB8:0:0:0:0:0:7"), "2001:db8::7");
  EXPECT_EQ(Parsed("2001:db8::"), "2001:db8::");
  EXPECT_EQ(Parsed("1:2:3:4:5:6:7:8"), "1:2:3:4:5:6:7:8");
  EXPECT_EQ(Parsed("1::8"), "1::8");
  EXPECT_EQ(Parsed("::ffff:192.0.2.1"), "192.0.2.1");  // shown as the IPv4 client it is
  EXPECT_EQ(Parsed("64:ff9b::192.0.2.1"), "64:ff9b::c000:201");
  for (const char *bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1.2.3.4 ", " 1.2.3.4",
                          "1..2.3", "a.b.c.d", ":", ":::", "1:2", "1::2::3", "12345::",
                          "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7::8", ":1::", "1::2:", "::1%eth0",
                          "::ffff:1.2.3", "1:2:3:4:5:6:7:1.2.3.4", "[::1]", "localhost"})
    EXPECT_EQ(Parsed(bad), "-") << bad;
}

TEST(PlatAddressParse, SameHostAcrossTheMappedForm) {
  PlatAddress v4, mapped, other, v6, v6b;
  ASSERT_EQ(PlatAddressParse("127.0.0.1", 9, &v4), 0);
  ASSERT_EQ(PlatAddressParse("::ffff:127.0.0.1", 16, &mapped), 0);
  ASSERT_EQ(PlatAddressParse("127.0.0.2", 9, &other), 0);
  ASSERT_EQ(PlatAddressParse("::1", 3, &v6), 0);
  ASSERT_EQ(PlatAddressParse("0::1", 4, &v6b), 0);
  mapped.port = 4711;  // ports do not count
  EXPECT_TRUE(PlatAddressSameHost(&v4, &mapped));
  EXPECT_TRUE(PlatAddressSameHost(&mapped, &v4));
  EXPECT_FALSE(PlatAddressSameHost(&v4, &other));
  EXPECT_FALSE(PlatAddressSameHost(&mapped, &other));
  EXPECT_TRUE(PlatAddressSameHost(&v6, &v6b));
  EXPECT_FALSE(PlatAddressSameHost(&v6, &v4));
  PlatAddress none = {};
  EXPECT_FALSE(PlatAddressSameHost(&none, &none));
}

TEST(ProxyHeaderParse, Version1) {
  ProxyHeader header;
  std::string line = "PROXY TCP4 203.0.113.7 192.0.2.1 56324 80\r\n";
  EXPECT_EQ(Parse(line + "GET / HTTP/1.0\r\n\r\n", &header), static_cast<long>(line.size()));
  EXPECT_EQ(header.local, 0);
  EXPECT_EQ(Text(header.client), "203.0.113.7");
  EXPECT_EQ(header.client.port, 56324);
  line = "PROXY TCP6 2001:db8::7 2001:db8::1 65535 0\r\n";
  EXPECT_EQ(Parse(line, &header), static_cast<long>(line.size()));
  EXPECT_EQ(header.client.family, PLAT_AF_INET6);
  EXPECT_EQ(Text(header.client), "2001:db8::7");
  EXPECT_EQ(header.client.port, 65535);
  // Health checks name no client; anything after UNKNOWN is ignored.
  for (const char *local : {"PROXY UNKNOWN\r\n", "PROXY UNKNOWN a b c d e f g\r\n"}) {
    EXPECT_EQ(Parse(local, &header), static_cast<long>(strlen(local))) << local;
    EXPECT_EQ(header.local, 1);
  }
  // Every prefix of a valid line waits for more.
  line = "PROXY TCP4 203.0.113.7 192.0.2.1 56324 80\r\n";
  for (size_t cut = 0; cut < line.size(); ++cut)
    EXPECT_EQ(Parse(line.substr(0, cut), &header), PROXY_HEADER_INCOMPLETE) << cut;
  for (const char *bad : {
           "GET / HTTP/1.0\r\n",                              // no header at all
           "PROXY TCP4 203.0.113.7 192.0.2.1 56324\r\n",      // a field missing
           "PROXY TCP4 203.0.113.7 192.0.2.1 56324 80 9\r\n", // one too many
           "PROXY TCP4 203.0.113.7  192.0.2.1 56324 80\r\n",  // an empty field
           "PROXY TCP4 2001:db8::7 192.0.2.1 56324 80\r\n",   // family and address differ
           "PROXY TCP6 203.0.113.7 2001:db8::1 56324 80\r\n",
           "PROXY TCP4 203.0.113.7 192.0.2.1 65536 80\r\n",   // no port
           "PROXY TCP4 203.0.113.7 192.0.2.1 056 80\r\n",
           "PROXY TCP4 203.0.113.7 192.0.2.1 -1 80\r\n",
           "PROXY UDP4 203.0.113.7 192.0.2.1 56324 80\r\n",
           "PROXY tcp4 203.0.113.7 192.0.2.1 56324 80\r\n",
           "PROXY TCP4 203.0.113.7 192.0.2.1 56324 80\n",     // LF alone
           "PROXY TCP4 203.0.113.7\r192.0.2.1 56324 80\r\n",
           "proxy TCP4 203.0.113.7 192.0.2.1 56324 80\r\n"})
    EXPECT_EQ(Parse(bad, &header), PROXY_HEADER_INVALID) << bad;
  const char withNul[] = "PROXY TCP4 203.0.113.7\0 192.0.2.1 56324 80\r\n";
  std::string nul(withNul, sizeof withNul - 1);
  EXPECT_EQ(Parse(nul, &header), PROXY_HEADER_INVALID);
  // No line end within 107 bytes: never a header, however much follows.
  std::string endless = "PROXY UNKNOWN " + std::string(93, 'x');
  EXPECT_EQ(Parse(endless.substr(0, 106), &header), PROXY_HEADER_INCOMPLETE);
  EXPECT_EQ(Parse(endless, &header), PROXY_HEADER_INVALID);
  EXPECT_EQ(Parse("PROXY UNKNOWN " + std::string(91, 'x') + "\r\n", &header), 107);
}

TEST(ProxyHeaderParse, Version2) {
  ProxyHeader header;
  const std::string v4("\xCB\x00\x71\x07\xC0\x00\x02\x01\xDC\x04\x00\x50", 12);
  std::string whole = support::ProxyVersion2(1, 0x11, v4);
  EXPECT_EQ(Parse(whole + "GET /", &header), 28);
  EXPECT_EQ(header.local, 0);
  EXPECT_EQ(Text(header.client), "203.0.113.7");
  EXPECT_EQ(header.client.port, 0xDC04);
  for (size_t cut = 0; cut < whole.size(); ++cut)
    EXPECT_EQ(Parse(whole.substr(0, cut), &header), PROXY_HEADER_INCOMPLETE) << cut;

  std::string v6(36, '\0');
  v6[0] = '\x20', v6[1] = '\x01', v6[2] = '\x0d', v6[3] = '\xb8', v6[15] = '\x07';
  v6[32] = '\x01', v6[33] = '\xbb';
  // TLVs after the addresses (here a unique id) are skipped with them.
  std::string tlv("\x05\x00\x03" "abc", 6);
  EXPECT_EQ(Parse(support::ProxyVersion2(1, 0x21, v6 + tlv), &header), 16 + 36 + 6);
  EXPECT_EQ(Text(header.client), "2001:db8::7");
  EXPECT_EQ(header.client.port, 443);

  // LOCAL (health checks), unspecified and local-socket families: no client.
  EXPECT_EQ(Parse(support::ProxyVersion2(0, 0x00, ""), &header), 16);
  EXPECT_EQ(header.local, 1);
  EXPECT_EQ(Parse(support::ProxyVersion2(0, 0x11, v4), &header), 28);
  EXPECT_EQ(header.local, 1);
  EXPECT_EQ(Parse(support::ProxyVersion2(1, 0x31, std::string(216, 'u')), &header), 16 + 216);
  EXPECT_EQ(header.local, 1);

  std::string badVersion = support::ProxyVersion2(1, 0x11, v4);
  badVersion[12] = '\x11';
  EXPECT_EQ(Parse(badVersion, &header), PROXY_HEADER_INVALID);
  EXPECT_EQ(Parse(support::ProxyVersion2(2, 0x11, v4), &header), PROXY_HEADER_INVALID);  // no such command
  EXPECT_EQ(Parse(support::ProxyVersion2(1, 0x41, v4), &header), PROXY_HEADER_INVALID);  // no such family
  EXPECT_EQ(Parse(support::ProxyVersion2(1, 0x13, v4), &header), PROXY_HEADER_INVALID);  // no such protocol
  EXPECT_EQ(Parse(support::ProxyVersion2(1, 0x11, v4.substr(0, 11)), &header), PROXY_HEADER_INVALID);
  EXPECT_EQ(Parse(support::ProxyVersion2(1, 0x21, v4), &header), PROXY_HEADER_INVALID);  // too short for IPv6
  std::string badSignature = whole;
  badSignature[7] = 'q';
  EXPECT_EQ(Parse(badSignature, &header), PROXY_HEADER_INVALID);
  EXPECT_EQ(Parse(badSignature.substr(0, 8), &header), PROXY_HEADER_INVALID);  // at once
}

TEST(ProxyFromListed, OnlyWithProxyProtocolAndOnlyListedPeers) {
  ConfigScope config;
  ProxyFromAdd(&config->proxy_from, "127.0.0.1");
  ProxyFromAdd(&config->proxy_from, "2001:db8::5");
  PlatAddress balancer, mapped, v6, other;
  ASSERT_EQ(PlatAddressParse("127.0.0.1", 9, &balancer), 0);
  ASSERT_EQ(PlatAddressParse("::ffff:127.0.0.1", 16, &mapped), 0);
  ASSERT_EQ(PlatAddressParse("2001:db8:0::5", 13, &v6), 0);
  ASSERT_EQ(PlatAddressParse("127.0.0.2", 9, &other), 0);
  EXPECT_FALSE(ProxyFromListed(&balancer));  // proxy-protocol is off
  config->proxy_protocol = 1;
  EXPECT_TRUE(ProxyFromListed(&balancer));
  EXPECT_TRUE(ProxyFromListed(&mapped));
  EXPECT_TRUE(ProxyFromListed(&v6));
  EXPECT_FALSE(ProxyFromListed(&other));
}
