// Helper of the HTTP layer's unit tests: a local socket pair that keeps the
// boundaries of every send.
#ifndef TARVELD_HTTP_SUPPORT_H
#define TARVELD_HTTP_SUPPORT_H

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace unit {

// What one call sent: every send as one record, in order.
struct Sent {
  std::vector<std::string> records;
  std::string All() const {
    std::string all;
    for (const std::string &record : records) all += record;
    return all;
  }
};

// Runs call(socket) on a thread and collects its sends until it returns.
// A sequenced-packet pair keeps each send a record of its own.
inline Sent Collect(const std::function<void(PlatSocket)> &call, int timeoutMs = 10000) {
  int pair[2];
  Sent sent;
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return sent;
  std::thread server([&] {
    call(pair[0]);
    shutdown(pair[0], SHUT_WR);
  });
  std::vector<char> chunk(1 << 20);
  for (int rounds = 0; rounds < 100000; ++rounds) {
    pollfd watch{pair[1], POLLIN, 0};
    if (poll(&watch, 1, timeoutMs) <= 0) break;
    ssize_t n = recv(pair[1], chunk.data(), chunk.size(), 0);
    if (n <= 0) break;
    sent.records.emplace_back(chunk.data(), static_cast<size_t>(n));
  }
  close(pair[1]);  // a call still sending gets an error instead of waiting
  server.join();
  close(pair[0]);
  return sent;
}

}  // namespace unit

#endif
