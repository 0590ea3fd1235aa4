// Soak client: many requests of mixed kinds at a fixed concurrency against a
// running server on 127.0.0.1, each answer checked in full, with faults
// injected among them: clients that reset the connection during a large
// body, a CGI run, or a CGI run that then sleeps, that hang up without a
// request, or that send binary garbage; and CGI programs that leave an
// orphan behind. Every process of such a run must be gone soon after the
// client has gone (read from /proc). Bounded in count and in time. Prints
// the figures; exits non-zero when any answer was wrong or any process of a
// run was left.
//
//   soak PORT ROOT REQUESTS CONCURRENCY SECONDS
//
// ROOT must hold small.html, big.bin, test.cgi, pause.sh and doublefork.sh as
// the soak script lays out.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Basics.h"
#include "support/Http.h"
#include "support/Process.h"

namespace {

using support::CloseWithReset;
using support::Connect;
using support::Exchange;
using support::ReadToClose;
using support::SendAll;

using Clock = std::chrono::steady_clock;

enum Kind {
  STATIC_SMALL, STATIC_BIG, HEAD, NOT_FOUND, NOT_IMPLEMENTED, CGI,
  // Injected faults.
  RESET_BODY, RESET_CGI, RESET_PAUSE, DOUBLE_FORK, HANG_UP, GARBAGE, KINDS
};
const Kind FIRST_FAULT = RESET_BODY;
const char *const KindNames[KINDS] = {
    "static 1 KiB", "static 256 KiB", "HEAD", "404", "501", "CGI",
    "reset in body", "reset in CGI", "reset, CGI sleeps", "CGI orphan", "hang-up", "garbage"};
// Share of each kind in every 24 requests: one in four is a fault.
const Kind Mix[24] = {STATIC_SMALL, STATIC_SMALL, STATIC_SMALL, STATIC_SMALL, STATIC_SMALL,
                      STATIC_BIG,   STATIC_BIG,   HEAD,         HEAD,         HEAD,
                      NOT_FOUND,    NOT_FOUND,    NOT_FOUND,    NOT_IMPLEMENTED,
                      NOT_IMPLEMENTED, CGI,       CGI,          CGI,
                      RESET_BODY,   RESET_CGI,    RESET_PAUSE,  DOUBLE_FORK,  HANG_UP,
                      GARBAGE};
const int MIX = 24;

// Reads the first bytes of the answer, then closes with a reset instead of
// an orderly end. Returns what was read.
std::string ResetAfterStart(int port, const std::string &request, int timeoutMs) {
  int fd = Connect(port);
  if (fd < 0) return "";
  std::string start = SendAll(fd, request) ? ReadToClose(fd, timeoutMs, 1) : "";
  CloseWithReset(fd);
  return start;
}

// A process by its id and its start time, which tells it from a later
// process that gets the same id.
struct ProcessStamp {
  pid_t pid = 0;
  unsigned long long startTime = 0;
};

// The stamp of a live process (zombies count as ended); false when none.
bool ReadStamp(pid_t pid, ProcessStamp *stamp) {
  support::ProcessStat stat;
  if (!support::ReadProcessStat(pid, &stat) || stat.state == 'Z' || stat.state == 'X') return false;
  stamp->pid = pid;
  stamp->startTime = stat.startTime;
  return true;
}

bool StillRuns(const ProcessStamp &stamp) {
  ProcessStamp now;
  return ReadStamp(stamp.pid, &now) && now.startTime == stamp.startTime;
}

// Reads the answer of a CGI program that writes `lines` process ids first,
// stamps those processes, then closes with a reset. Returns what was read.
std::string ResetAfterPids(int port, const std::string &request, int lines,
                           std::vector<ProcessStamp> *stamps) {
  int fd = Connect(port);
  if (fd < 0) return "";
  std::string answer;
  if (SendAll(fd, request)) {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    size_t body = std::string::npos;
    while (Clock::now() < deadline) {
      body = answer.find("\r\n\r\n");
      if (body != std::string::npos) {
        int seen = 0;
        for (size_t at = body + 4; (at = answer.find('\n', at)) != std::string::npos; ++at) ++seen;
        if (seen >= lines) break;
      }
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      std::string more = ReadToClose(fd, left, 1);
      if (more.empty()) break;
      answer += more;
    }
    std::istringstream pids(body == std::string::npos ? "" : answer.substr(body + 4));
    pid_t pid = 0;
    for (int i = 0; i < lines && pids >> pid; ++i) {
      ProcessStamp stamp;
      if (ReadStamp(pid, &stamp)) stamps->push_back(stamp);
    }
  }
  CloseWithReset(fd);
  return answer;
}

// Connects and closes at once, without a request: nothing comes back.
bool HangUp(int port) {
  int fd = Connect(port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Bytes that no method begins with, different for every request.
std::string Garbage(long seed) {
  std::string bytes(512, '\0');
  uint32_t state = static_cast<uint32_t>(seed) * 2654435761u + 1;
  for (char &byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  bytes[0] = '\x01';
  return bytes;
}

struct Expectation {
  std::string request;
  std::string statusLine;
  std::string body;          // the whole body, or a text the body must contain
  bool bodyExact = true;
  long contentLength = -1;   // -1: no Content-Length line expected
};

bool StartsWith(const std::string &text, const std::string &start) {
  return text.compare(0, start.size(), start) == 0;
}

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

  std::string small = support::ReadFile(root + "/small.html");
  std::string big = support::ReadFile(root + "/big.bin");

  std::mutex stampMutex;
  std::vector<ProcessStamp> stamps;  // processes of runs whose client went away
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
      Kind kind = Mix[i % MIX];
      Expectation e;
      std::string answer;
      bool right = true;
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
        case CGI:
          e = {"GET /test.cgi?n=" + std::to_string(i) + " HTTP/1.0\r\n\r\n",
               "HTTP/1.0 200 OK\r\n", "QUERY_STRING=\"n=" + std::to_string(i) + "\"", false, -1};
          break;
        // Faults: the answer's first bytes must be the status line, then
        // the client goes away.
        case RESET_BODY:
          e.request = "GET /big.bin HTTP/1.0\r\n\r\n";
          answer = ResetAfterStart(port, e.request, 30000);
          right = StartsWith(answer, "H");
          break;
        case RESET_CGI:
          e.request = "POST /test.cgi HTTP/1.0\r\n\r\nTEST=1\r\n";
          answer = ResetAfterStart(port, e.request, 30000);
          right = StartsWith(answer, "H");
          break;
        // A program that sleeps between two parts; one that leaves an
        // orphan and sleeps too: each writes its process ids first, and
        // must be gone with all of them after the reset.
        case RESET_PAUSE:
        case DOUBLE_FORK: {
          e.request = kind == RESET_PAUSE ? "GET /pause.sh HTTP/1.0\r\n\r\n"
                                          : "GET /doublefork.sh HTTP/1.0\r\n\r\n";
          std::vector<ProcessStamp> run;
          answer = ResetAfterPids(port, e.request, kind == RESET_PAUSE ? 1 : 2, &run);
          right = StartsWith(answer, "HTTP/1.0 200 OK\r\n") && !run.empty();
          std::lock_guard<std::mutex> lock(stampMutex);
          stamps.insert(stamps.end(), run.begin(), run.end());
          break;
        }
        case HANG_UP:
          e.request = "(no request)";
          right = HangUp(port);
          break;
        default:
          e = {Garbage(i), "HTTP/1.0 501 Not Implemented\r\n", "", true, 0};
          break;
      }
      if (kind < FIRST_FAULT || kind == GARBAGE) {
        answer = Exchange(port, e.request, 30000);
        right = Check(answer, e);
      }
      ++done[kind];
      if (!right) {
        ++failed[kind];
        std::lock_guard<std::mutex> lock(reportMutex);
        if (reported++ < 5)
          fprintf(stderr, "wrong answer (%s) to %.100s: %zu bytes: %.200s\n", KindNames[kind],
                  e.request.c_str(), answer.size(), answer.c_str());
      }
    }
  };
  std::vector<std::thread> workers;
  for (int i = 0; i < concurrency; ++i) workers.emplace_back(worker);
  for (std::thread &t : workers) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  // Each run ends at its failed send, within a pass or two after the reset.
  auto settled = Clock::now() + std::chrono::seconds(20);
  long left = 0;
  do {
    left = 0;
    for (const ProcessStamp &stamp : stamps) left += StillRuns(stamp) ? 1 : 0;
    if (left > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (left > 0 && Clock::now() < settled);

  long allDone = 0, allFailed = 0, faults = 0;
  printf("%-16s %10s %10s\n", "kind", "requests", "wrong");
  for (int k = 0; k < KINDS; ++k) {
    printf("%-16s %10ld %10ld\n", KindNames[k], done[k].load(), failed[k].load());
    allDone += done[k];
    allFailed += failed[k];
    if (k >= FIRST_FAULT) faults += done[k];
  }
  printf("%-16s %10ld %10ld\n", "total", allDone, allFailed);
  printf("served %ld requests and %ld injected faults, %ld wrong\n", allDone - faults, faults,
         allFailed);
  printf("elapsed %.1f s, %.0f requests/s, concurrency %d\n", elapsed, allDone / elapsed,
         concurrency);
  if (allDone < total) printf("stopped by the time limit after %ld of %ld requests\n", allDone, total);
  printf("processes of CGI runs whose client went away: %zu, still running: %ld\n", stamps.size(),
         left);
  return allFailed == 0 && allDone > 0 && left == 0 ? 0 : 1;
}
