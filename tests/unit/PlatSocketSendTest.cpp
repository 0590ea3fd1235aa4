// Sends on a socket with a send time-out: a peer that stops reading makes
// the send fail or fall short when the time-out runs out, with the last
// error saying so even when part of the block went out; a peer that reads
// receives every byte of a block far larger than the socket holds.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

struct Pair {
  int ends[2] = {-1, -1};
  Pair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends); }
  ~Pair() {
    close(ends[0]);
    close(ends[1]);
  }
};

std::string Block(size_t size) {
  std::string block(size, '\0');
  for (size_t i = 0; i < size; ++i) block[i] = static_cast<char>(i * 31 + i / 4093);
  return block;
}

}  // namespace

TEST(SocketSend, PeerThatStopsReadingFailsTheSendAtItsTimeout) {
  Pair pair;
  ASSERT_EQ(PlatSocketSetSendTimeout(pair.ends[0], 1), 0);
  std::string block = Block(8 << 20);
  PlatSetLastError(0);
  EXPECT_LT(PlatSocketSend(pair.ends[0], block.data(), static_cast<int>(block.size())),
            static_cast<int>(block.size()));
  int error = PlatSocketLastError();
  EXPECT_TRUE(error == EAGAIN || error == EWOULDBLOCK) << error;
  // Part of the block went out before the time-out ran out.
  char first = 0;
  EXPECT_EQ(recv(pair.ends[1], &first, 1, MSG_DONTWAIT), 1);
  EXPECT_EQ(first, block[0]);
}

TEST(SocketSend, ReaderReceivesTheWholeBlock) {
  Pair pair;
  ASSERT_EQ(PlatSocketSetSendTimeout(pair.ends[0], 30), 0);
  std::string block = Block(8 << 20);
  std::string received;
  std::thread reader([&] {
    char chunk[65536];
    for (;;) {
      ssize_t got = recv(pair.ends[1], chunk, sizeof chunk, 0);
      if (got <= 0) return;
      received.append(chunk, static_cast<size_t>(got));
    }
  });
  EXPECT_EQ(PlatSocketSend(pair.ends[0], block.data(), static_cast<int>(block.size())),
            static_cast<int>(block.size()));
  shutdown(pair.ends[0], SHUT_WR);
  reader.join();
  EXPECT_TRUE(received == block) << received.size() << " bytes received";
}

TEST(SocketSend, TimeoutMustBeAboveZero) {
  Pair pair;
  // Zero would mean no limit at all.
  EXPECT_EQ(PlatSocketSetSendTimeout(pair.ends[0], 0), -1);
  EXPECT_EQ(PlatSocketLastError(), EINVAL);
  EXPECT_EQ(PlatSocketSetSendTimeout(pair.ends[0], -1), -1);
}
