// Soak client: many requests of mixed kinds at a fixed concurrency against a
// running server on 127.0.0.1, each answer checked in full. Bounded in count
// and in time. Prints the figures; exits non-zero when any answer was wrong.
//
//   soak PORT ROOT REQUESTS CONCURRENCY SECONDS
//
// ROOT must hold small.html, big.bin and test.cgi as the soak script lays out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum Kind { STATIC_SMALL, STATIC_BIG, HEAD, NOT_FOUND, NOT_IMPLEMENTED, CGI, KINDS };
const char *const KindNames[KINDS] = {"static 1 KiB", "static 256 KiB", "HEAD",
                                      "404",          "501",            "CGI"};
// Share of each kind in every 20 requests.
const Kind Mix[20] = {STATIC_SMALL, STATIC_SMALL, STATIC_SMALL, STATIC_SMALL, STATIC_SMALL,
                      STATIC_SMALL, STATIC_SMALL, STATIC_BIG,   STATIC_BIG,   HEAD,
                      HEAD,         HEAD,         NOT_FOUND,    NOT_FOUND,    NOT_FOUND,
                      NOT_IMPLEMENTED, NOT_IMPLEMENTED, CGI,    CGI,          CGI};

std::string ReadWhole(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Exchange(int port, const std::string &request, int timeoutMs) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char chunk[65536];
    for (;;) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      pollfd watch{fd, POLLIN, 0};
      if (left <= 0 || poll(&watch, 1, left) <= 0) break;
      ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      answer.append(chunk, static_cast<size_t>(n));
    }
  }
  close(fd);
  return answer;
}

struct Expectation {
  std::string request;
  std::string statusLine;
  std::string body;          // the whole body, or a text the body must contain
  bool bodyExact = true;
  long contentLength = -1;   // -1: no Content-Length line expected
};

bool Check(const std::string &answer, const Expectation &expected) {
  size_t end = answer.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  std::string head = answer.substr(0, end + 2);
  std::string body = answer.substr(end + 4);
  if (head.compare(0, expected.statusLine.size(), expected.statusLine) != 0) return false;
  size_t length = head.find("\r\nContent-Length: ");
  if (expected.contentLength < 0) {
    if (length != std::string::npos) return false;
  } else if (length == std::string::npos || atol(head.c_str() + length + 18) != expected.contentLength) {
    return false;
  }
  return expected.bodyExact ? body == expected.body : body.find(expected.body) != std::string::npos;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: soak PORT ROOT REQUESTS CONCURRENCY SECONDS\n");
    return 2;
  }
  int port = atoi(argv[1]);
  std::string root = argv[2];
  long total = atol(argv[3]);
  int concurrency = atoi(argv[4]);
  int seconds = atoi(argv[5]);

  std::string small = ReadWhole(root + "/small.html");
  std::string big = ReadWhole(root + "/big.bin");

  std::atomic<long> next{0};
  std::atomic<long> done[KINDS] = {}, failed[KINDS] = {};
  std::mutex reportMutex;
  int reported = 0;
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  auto start = Clock::now();

  auto worker = [&]() {
    for (;;) {
      long i = next.fetch_add(1);
      if (i >= total || Clock::now() > deadline) return;
      Kind kind = Mix[i % 20];
      Expectation e;
      switch (kind) {
        case STATIC_SMALL:
          e = {"GET /small.html HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK\r\n", small, true,
               static_cast<long>(small.size())};
          break;
        case STATIC_BIG:
          e = {"GET /big.bin HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK\r\n", big, true,
               static_cast<long>(big.size())};
          break;
        case HEAD:
          e = {"HEAD /small.html HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK\r\n", "", true, 0};
          break;
        case NOT_FOUND:
          e = {"GET /missing-" + std::to_string(i) + ".html HTTP/1.0\r\n\r\n",
               "HTTP/1.0 404 Not Found\r\n", "", true, 0};
          break;
        case NOT_IMPLEMENTED:
          e = {"DELETE /small.html HTTP/1.0\r\n\r\n", "HTTP/1.0 501 Not Implemented\r\n", "",
               true, 0};
          break;
        default:
          e = {"GET /test.cgi?n=" + std::to_string(i) + " HTTP/1.0\r\n\r\n",
               "HTTP/1.0 200 OK\r\n", "QUERY_STRING=\"n=" + std::to_string(i) + "\"", false, -1};
          break;
      }
      std::string answer = Exchange(port, e.request, 30000);
      ++done[kind];
      if (!Check(answer, e)) {
        ++failed[kind];
        std::lock_guard<std::mutex> lock(reportMutex);
        if (reported++ < 5)
          fprintf(stderr, "wrong answer to %s: %zu bytes: %.200s\n", e.request.c_str(),
                  answer.size(), answer.c_str());
      }
    }
  };
  std::vector<std::thread> workers;
  for (int i = 0; i < concurrency; ++i) workers.emplace_back(worker);
  for (std::thread &t : workers) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  long allDone = 0, allFailed = 0;
  printf("%-16s %10s %10s\n", "kind", "requests", "wrong");
  for (int k = 0; k < KINDS; ++k) {
    printf("%-16s %10ld %10ld\n", KindNames[k], done[k].load(), failed[k].load());
    allDone += done[k];
    allFailed += failed[k];
  }
  printf("%-16s %10ld %10ld\n", "total", allDone, allFailed);
  printf("elapsed %.1f s, %.0f requests/s, concurrency %d\n", elapsed, allDone / elapsed,
         concurrency);
  if (allDone < total) printf("stopped by the time limit after %ld of %ld requests\n", allDone, total);
  return allFailed == 0 && allDone > 0 ? 0 : 1;
}
