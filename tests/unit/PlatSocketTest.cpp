// The socket calls of the request path over a real TCP connection on
// 127.0.0.1: a receive with a bounded wait, a send that lets its bytes go out
// together with the next one, and a file sent straight to a socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/Basics.h"
#include "support/Http.h"

namespace {

// A connected pair of TCP sockets over 127.0.0.1, closed at the end.
class TcpPair {
 public:
  // With receiveTimeout, the listener bounds the server side's
  // PlatSocketRecvWithin to that many seconds.
  explicit TcpPair(int receiveTimeout = 5) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(PlatSocketSetAcceptedReceiveTimeout(listener, receiveTimeout), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_GE(server, 0);
    close(listener);
  }
  ~TcpPair() {
    if (client >= 0) close(client);
    if (server >= 0) close(server);
  }
  // Everything the client receives until the server's side is closed.
  std::string ClientReadsToEnd() { return support::ReadToClose(client, 10000); }
  int client = -1;
  int server = -1;
};

}  // namespace

// The receive waits as long as the listener's time-out says, and no longer.
TEST(PlatSocket, ReceiveWithinWaitsUpToTheAcceptedTimeOut) {
  char buffer[16];
  {
    TcpPair pair(0);  // no wait at all
    EXPECT_EQ(PlatSocketRecvWithin(pair.server, buffer, sizeof buffer), PLAT_SOCKET_TIMED_OUT);
  }
  TcpPair pair(1);
  EXPECT_EQ(PlatSocketRecvWithin(pair.server, buffer, sizeof buffer), PLAT_SOCKET_TIMED_OUT);

  // Bytes that come while it waits end the wait.
  std::thread late([&] {
    usleep(100000);
    send(pair.client, "GET /", 5, 0);
  });
  EXPECT_EQ(PlatSocketRecvWithin(pair.server, buffer, sizeof buffer), 5);
  late.join();
  EXPECT_EQ(std::string(buffer, 5), "GET /");

  // The peer's close: 0, as a receive reports it.
  shutdown(pair.client, SHUT_WR);
  EXPECT_EQ(PlatSocketRecvWithin(pair.server, buffer, sizeof buffer), 0);
  EXPECT_EQ(PlatSocketRecvWithin(-1, buffer, sizeof buffer), -1);
}

TEST(PlatSocket, BytesSentWithMoreToFollowArriveWithTheRestAndTheClose) {
  TcpPair pair;
  std::string header = "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n";
  std::string body(1000, 'a');
  body += std::string(4000, 'b');
  // The header and the body's first piece in one call, then the rest.
  ASSERT_EQ(PlatSocketSendMoreTwo(pair.server, header.data(), static_cast<int>(header.size()),
                                  body.data(), 1000),
            static_cast<int>(header.size()) + 1000);
  ASSERT_EQ(PlatSocketSendMore(pair.server, body.data() + 1000, 4000), 4000);
  // Held-back bytes go out with the close.
  EXPECT_EQ(PlatSocketClose(pair.server), 0);
  pair.server = -1;
  EXPECT_EQ(pair.ClientReadsToEnd(), header + body);
}

// A peer whose bytes were never read gets a reset at the close; what was
// held back for the close must have gone out before it.
TEST(PlatSocket, HeldBackBytesGoOutBeforeTheResetOfAnUnreadPeer) {
  TcpPair pair;
  ASSERT_EQ(send(pair.client, "GET / HTTP/1.0\r\nrest never read", 32, 0), 32);
  char buffer[8];
  ASSERT_GT(PlatSocketWaitReadable(pair.server, 5, 0), 0);
  ASSERT_EQ(PlatSocketRecv(pair.server, buffer, sizeof buffer), 8);
  ASSERT_EQ(PlatSocketSendMore(pair.server, "HTTP/1.0 404 Not Found\r\n\r\n", 26), 26);
  EXPECT_EQ(PlatSocketClose(pair.server), 0);
  pair.server = -1;
  EXPECT_EQ(pair.ClientReadsToEnd(), "HTTP/1.0 404 Not Found\r\n\r\n");
}

TEST(PlatSocket, BytesSentWithMoreToFollowGoOutWithAPlainSend) {
  TcpPair pair;
  ASSERT_EQ(PlatSocketSendMore(pair.server, "head ", 5), 5);
  ASSERT_EQ(PlatSocketSend(pair.server, "body", 4), 4);
  // Both arrive while the connection stays open.
  EXPECT_EQ(support::ReadToClose(pair.client, 5000, 9), "head body");
}

TEST(PlatFile, SendToSocketFromTheCurrentPositionToTheEnd) {
  std::string content;
  for (int i = 0; i < 300000; ++i) content += static_cast<char>('a' + i % 23);
  support::TempDir dir;
  std::string path = dir.Write("document", content);
  TcpPair pair;
  int64_t size = -1;
  int fd = PlatFileOpenSequential(path.c_str(), &size);
  ASSERT_GE(fd, 0);
  char first[10];
  ASSERT_EQ(PlatFileRead(fd, first, sizeof first), 10);
  int sendFailed = -1;
  int64_t total = 0;
  for (int i = 0; i < 1000; ++i) {
    int sent = PlatFileSendToSocket(fd, pair.server, 1 << 20, &sendFailed);
    ASSERT_GE(sent, 0);
    if (sent == 0) break;
    total += sent;
  }
  EXPECT_EQ(total, static_cast<int64_t>(content.size()) - 10);
  EXPECT_EQ(PlatFileSendToSocket(fd, pair.server, 100, &sendFailed), 0);  // at the end
  PlatFileClose(fd);
  PlatSocketClose(pair.server);
  pair.server = -1;
  EXPECT_EQ(pair.ClientReadsToEnd(), content.substr(10));
}

TEST(PlatFile, SendToSocketTellsWhichSideFailed) {
  support::TempDir dir;
  std::string path = dir.Write("document", std::string(200000, 'x'));
  TcpPair pair;
  // A file that cannot be read: the file's side.
  int unreadable = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(unreadable, 0);
  int sendFailed = -1;
  EXPECT_EQ(PlatFileSendToSocket(unreadable, pair.server, 1000, &sendFailed), -1);
  EXPECT_EQ(sendFailed, 0);
  close(unreadable);

  // A peer that has gone away: the socket's side, once the system knows.
  close(pair.client);
  pair.client = -1;
  int64_t size = -1;
  int fd = PlatFileOpenSequential(path.c_str(), &size);
  ASSERT_GE(fd, 0);
  int result = 0;
  for (int i = 0; i < 100 && result >= 0; ++i) {
    lseek(fd, 0, SEEK_SET);
    result = PlatFileSendToSocket(fd, pair.server, 200000, &sendFailed);
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(sendFailed, 1);
  PlatFileClose(fd);
}
