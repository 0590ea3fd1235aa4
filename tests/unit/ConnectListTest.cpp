// The connection list: registration, look-up by the calling thread, marking
// finished, reaping and ending, with their log lines.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <cstring>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "platform/platform.h"
#include "trans/Trans.h"
#include "unit/TestSupport.h"

using unit::Capture;
using unit::ConfigScope;

namespace {

PlatAddress Address(unsigned a, unsigned b, unsigned c, unsigned d) {
  PlatAddress address = {};
  address.family = PLAT_AF_INET;
  const unsigned bytes[4] = {a, b, c, d};
  for (int i = 0; i < 4; ++i) address.bytes[i] = static_cast<unsigned char>(bytes[i]);
  return address;
}

// An IPv6 address from its eight 16-bit groups.
PlatAddress Address6(const std::vector<unsigned> &groups) {
  PlatAddress address = {};
  address.family = PLAT_AF_INET6;
  for (size_t i = 0; i < groups.size() && i < 8; ++i) {
    address.bytes[2 * i] = static_cast<unsigned char>(groups[i] >> 8);
    address.bytes[2 * i + 1] = static_cast<unsigned char>(groups[i]);
  }
  return address;
}

const PlatAddress NoPeer = {};

// Each test starts and ends with an empty list.
class ConnectListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static bool initialised = false;
    if (!initialised) ConnectListInit();
    initialised = true;
    LogConfigure(LOG_INFO, 0, 0);
    ASSERT_EQ(ConnectListCount(), 0);
  }
  void TearDown() override {
    Capture discard;
    ConnectListTerm();
  }

  // A registered entry whose thread never runs.
  uint32_t AddSuspended(PlatSocket sock, PlatAddress address = {}) {
    uint32_t id = 0;
    PlatThread thread = PlatThreadCreateSuspended([](void *) -> uint32_t { return 0; },
                                                  nullptr, &id);
    EXPECT_NE(thread, nullptr);
    EXPECT_EQ(ConnectListAdd(sock, id, thread, &address), 0);
    return id;
  }

  ConfigScope config_;
};

struct LookupResult {
  std::atomic<bool> done{false};
  PlatSocket sock = PLAT_INVALID_SOCKET;
};

uint32_t LookUpAndFinish(void *parameter) {
  LookupResult *result = static_cast<LookupResult *>(parameter);
  result->sock = ConnectListSerch();
  ConnectListDel();
  result->done = true;
  return 0;
}

bool WaitFor(const std::atomic<bool> &flag) {
  for (int i = 0; i < 1000 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return flag;
}

// Starts transactions one after the other while another thread ends all
// transactions again and again, as the shutdown does, until `count` have
// been started or `milliseconds` have passed. The sockets are not
// connected: a transaction that runs fails its receive at once.
void StartTransactionsDuringShutdowns(int count, int milliseconds) {
  LogConfigure(-2, 0, 0);  // nothing: "Logic Error!!" is one of the outcomes
  ConfigTbl->buffer_size = 64;
  PlatSocketStartup();
  std::atomic<bool> stop{false};
  std::thread shutdown([&stop] {
    while (!stop) ConnectListTerm();
  });
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (int i = 0; i < count && std::chrono::steady_clock::now() < end; ++i)
    StartTrans(PlatSocketCreate(PLAT_AF_INET, PLAT_SOCK_STREAM, 0), &NoPeer);
  stop = true;
  shutdown.join();
}

// Matches the standard error of a process that no sanitizer reported on.
class NoSanitizerReport : public ::testing::MatcherInterface<const std::string &> {
 public:
  bool MatchAndExplain(const std::string &err, ::testing::MatchResultListener *) const override {
    return err.find("Sanitizer") == std::string::npos &&
           err.find("runtime error:") == std::string::npos;
  }
  void DescribeTo(std::ostream *os) const override { *os << "holds no sanitizer report"; }
};

}  // namespace

TEST_F(ConnectListTest, ConnectedLineShowsDottedAddressAndHexIdentifier) {
  Capture out;
  uint32_t first = AddSuspended(7, Address(127, 0, 0, 1));
  uint32_t second = AddSuspended(8, Address(255, 255, 255, 255));
  char expected[128];
  snprintf(expected, sizeof expected,
           "[I] Connected from 127.0.0.1 (ID=%X)\n[I] Connected from 255.255.255.255 (ID=%X)\n",
           first, second);
  EXPECT_EQ(out.Text(), expected);
  EXPECT_EQ(ConnectListCount(), 2);
}

TEST_F(ConnectListTest, AccessLog2CopiesTheLineToStandardError) {
  config_->access_log2 = 1;
  Capture err(2);
  Capture out;
  uint32_t id = AddSuspended(7, Address(10, 1, 2, 3));
  char expected[64];
  snprintf(expected, sizeof expected, "[I] Connected from 10.1.2.3 (ID=%X)\n", id);
  EXPECT_EQ(out.Text(), expected);
  EXPECT_EQ(err.Text(), expected);
}

struct ClientResult {
  std::atomic<bool> done{false};
  PlatAddress client = {};
};

// What a transaction does once a PROXY header has named its client.
uint32_t NameTheClientAndFinish(void *parameter) {
  ClientResult *result = static_cast<ClientResult *>(parameter);
  ConnectListClient(&result->client);
  ConnectListDel();
  result->done = true;
  return 0;
}

// A balancer's connection is logged once, with the client's address, by its
// own transaction; every other connection as before, at once.
TEST_F(ConnectListTest, BalancerConnectionsAreLoggedWithTheClientTheirHeaderNames) {
  config_->proxy_protocol = 1;
  config_->access_log2 = 1;
  ProxyFromAdd(&config_->proxy_from, "127.0.0.1");
  ClientResult result;
  result.client = Address(203, 0, 113, 7);
  uint32_t id = 0;
  PlatThread thread = PlatThreadCreateSuspended(NameTheClientAndFinish, &result, &id);
  ASSERT_NE(thread, nullptr);
  Capture err(2);
  Capture out;
  PlatAddress balancer = Address(127, 0, 0, 1);
  ASSERT_EQ(ConnectListAdd(9, id, thread, &balancer), 0);
  uint32_t direct = AddSuspended(10, Address(127, 0, 0, 2));
  PlatThreadResume(thread);
  ASSERT_TRUE(WaitFor(result.done));
  char expected[128];
  snprintf(expected, sizeof expected,
           "[I] Connected from 127.0.0.2 (ID=%X)\n[I] Connected from 203.0.113.7 (ID=%X)\n",
           direct, id);
  EXPECT_EQ(out.Text(), expected);
  EXPECT_EQ(err.Text(), expected);
}

TEST_F(ConnectListTest, ThreadFindsItsSocketAndMarksItselfFinished) {
  LookupResult result;
  uint32_t id = 0;
  PlatThread thread = PlatThreadCreateSuspended(LookUpAndFinish, &result, &id);
  ASSERT_NE(thread, nullptr);
  {
    Capture out;
    ASSERT_EQ(ConnectListAdd(42, id, thread, &NoPeer), 0);
  }
  PlatThreadResume(thread);
  ASSERT_TRUE(WaitFor(result.done));
  EXPECT_EQ(result.sock, 42);
  // A finished entry still counts until it is reaped.
  EXPECT_EQ(ConnectListCount(), 1);
  ConnectListChk();
  EXPECT_EQ(ConnectListCount(), 0);
}

TEST_F(ConnectListTest, SearchWithoutEntryFindsNothing) {
  EXPECT_EQ(ConnectListSerch(), PLAT_INVALID_SOCKET);
  ConnectListDel();  // no entry: nothing happens
  EXPECT_EQ(ConnectListCount(), 0);
}

TEST_F(ConnectListTest, FinishedEntryWithTheSameIdentifierIsNeverTakenForALiveOne) {
  Capture out;
  uint32_t self = PlatCurrentThreadId();
  uint32_t ignored;
  PlatThread oldThread = PlatThreadCreateSuspended([](void *) -> uint32_t { return 0; },
                                                   nullptr, &ignored);
  PlatThread newThread = PlatThreadCreateSuspended([](void *) -> uint32_t { return 0; },
                                                   nullptr, &ignored);
  ASSERT_EQ(ConnectListAdd(10, self, oldThread, &NoPeer), 0);
  ConnectListDel();
  ASSERT_EQ(ConnectListAdd(11, self, newThread, &NoPeer), 0);
  EXPECT_EQ(ConnectListSerch(), 11);
  ConnectListDel();
  EXPECT_EQ(ConnectListSerch(), PLAT_INVALID_SOCKET);
}

TEST_F(ConnectListTest, ReapingRemovesExactlyTheFinishedEntriesInOrder) {
  uint32_t ids[6];
  {
    Capture out;
    for (int i = 0; i < 6; ++i) ids[i] = AddSuspended(100 + i);
  }
  for (int i = 0; i < 6; i += 2) ConnectListFinish(ids[i]);
  ConnectListChk();
  EXPECT_EQ(ConnectListCount(), 3);

  Capture out;
  ConnectListTerm();
  char expected[128];
  snprintf(expected, sizeof expected,
           "[I] Terminating. (%d)\n[I] Terminating. (%d)\n[I] Terminating. (%d)\n",
           static_cast<int>(ids[1]), static_cast<int>(ids[3]), static_cast<int>(ids[5]));
  EXPECT_EQ(out.Text(), expected);
  EXPECT_EQ(ConnectListCount(), 0);
}

TEST_F(ConnectListTest, AddressTextOfEveryWidthAndFamily) {
  struct Case {
    PlatAddress address;
    const char *text;
  };
  const Case cases[] = {
      {Address(192, 0, 100, 9), "192.0.100.9"},
      {Address6({0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
      {Address6({}), "::"},
      {Address6({0, 0, 0, 0, 0, 0xffff, 0xc000, 0x0207}), "192.0.2.7"},  // IPv4 client
      {Address6({0xfe80, 0, 0, 0, 0, 0, 0, 0}), "fe80::"},
      {Address6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), "2001:db8::1:0:0:1"},  // first of equal runs
      {Address6({1, 0, 0, 2, 0, 0, 0, 3}), "1:0:0:2::3"},                // the longest run
      {Address6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1"},  // one zero group
      {Address6({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xfffe}),
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe"},
      {Address6({0xabc, 0x10, 0x1, 0, 0x1234, 0xf00, 0, 0}), "abc:10:1:0:1234:f00::"},
      {NoPeer, "0.0.0.0"},  // neither family
  };
  for (const Case &c : cases) {
    Capture out;
    uint32_t id = AddSuspended(7, c.address);
    char expected[96];
    snprintf(expected, sizeof expected, "[I] Connected from %s (ID=%X)\n", c.text, id);
    EXPECT_EQ(out.Text(), expected);
  }
}

// Reaping the newest entry must leave the list able to append after the one
// that stays, and entries whose identifiers share a bucket of the look-up
// must each be found by their own thread only.
TEST_F(ConnectListTest, AppendAfterReapingTheNewestAndLookUpsAmongBucketMates) {
  Capture out;
  uint32_t self = PlatCurrentThreadId();
  uint32_t ignored;
  auto suspended = [&ignored]() {
    return PlatThreadCreateSuspended([](void *) -> uint32_t { return 0; }, nullptr, &ignored);
  };
  // Bucket mates of the calling thread's identifier, added before and after it.
  ASSERT_EQ(ConnectListAdd(20, self + 1024, suspended(), &NoPeer), 0);
  ASSERT_EQ(ConnectListAdd(21, self, suspended(), &NoPeer), 0);
  ASSERT_EQ(ConnectListAdd(22, self + 2048, suspended(), &NoPeer), 0);
  EXPECT_EQ(ConnectListSerch(), 21);
  ConnectListDel();
  EXPECT_EQ(ConnectListSerch(), PLAT_INVALID_SOCKET);

  // The newest entry and the caller's are reaped; the oldest stays.
  ConnectListFinish(self + 2048);
  ConnectListChk();
  EXPECT_EQ(ConnectListCount(), 1);
  ASSERT_EQ(ConnectListAdd(23, self, suspended(), &NoPeer), 0);
  EXPECT_EQ(ConnectListSerch(), 23);
  EXPECT_EQ(ConnectListCount(), 2);
  out.Text();

  Capture order;
  ConnectListTerm();
  EXPECT_EQ(order.Text(), "[I] Terminating. (" + std::to_string(self + 1024) +
                              ")\n[I] Terminating. (" + std::to_string(self) + ")\n");
  // An emptied list takes new entries from its head again.
  {
    Capture again;
    ASSERT_EQ(ConnectListAdd(24, self, suspended(), &NoPeer), 0);
  }
  EXPECT_EQ(ConnectListSerch(), 24);
  EXPECT_EQ(ConnectListCount(), 1);
}

TEST_F(ConnectListTest, TermEndsFinishedAndRunningEntries) {
  uint32_t first, second;
  {
    Capture out;
    first = AddSuspended(1);
    second = AddSuspended(2);
  }
  ConnectListFinish(first);
  LogConfigure(LOG_TRACE, 0, 0);
  Capture out;
  ConnectListTerm();
  std::string text = out.Text();
  EXPECT_NE(text.find("[I] Terminating. (" + std::to_string(first) + ")\n"), std::string::npos);
  EXPECT_NE(text.find("[I] Terminating. (" + std::to_string(second) + ")\n"), std::string::npos);
  EXPECT_EQ(text.rfind("[T] ConnectListTerm() start / ConnectList.cpp:", 0), 0u) << text;
  EXPECT_EQ(ConnectListCount(), 0);
  ConnectListChk();  // an empty list: only the trace lines
  EXPECT_EQ(ConnectListCount(), 0);
}

// A shutdown that comes between the registration of a transaction and its
// resume releases the thread; the resume must never touch it then. Run in a
// process of its own, which ends with transactions still in flight as the
// server does. 20000 starts catch a resume after the release in about 97 of
// 100 runs of the sanitizer builds when the resume is not guarded.
TEST_F(ConnectListTest, ShutdownDuringStartTransNeverTouchesAReleasedThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        StartTransactionsDuringShutdowns(20000, 5000);
        PlatExitProcess(0);
      },
      ::testing::ExitedWithCode(0), ::testing::MakeMatcher(new NoSanitizerReport));
}
