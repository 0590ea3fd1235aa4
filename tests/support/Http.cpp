#include "support/Http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "support/Basics.h"

namespace support {

int Connect(int port, const std::string &host) {
  sockaddr_storage peer{};
  socklen_t length;
  sockaddr_in6 *in6 = reinterpret_cast<sockaddr_in6 *>(&peer);
  sockaddr_in *in = reinterpret_cast<sockaddr_in *>(&peer);
  if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof *in6;
  } else if (inet_pton(AF_INET, host.c_str(), &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *in;
  } else {
    return -1;
  }
  int fd = socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr *>(&peer), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string &data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadToClose(int fd, int timeoutMs, size_t limit) {
  std::string data;
  auto start = std::chrono::steady_clock::now();
  char chunk[65536];
  while (data.size() < limit) {
    int64_t left = timeoutMs - MillisecondsSince(start);
    if (left <= 0) break;
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, static_cast<int>(left)) <= 0) break;
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    data.append(chunk, static_cast<size_t>(n));
  }
  return data;
}

void CloseWithReset(int fd) {
  struct linger reset {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(fd);
}

std::string Exchange(int port, const std::string &request, int timeoutMs,
                     const std::string &host) {
  int fd = Connect(port, host);
  if (fd < 0) return "";
  // An answer may have come even when the server closed before it took
  // the whole request.
  SendAll(fd, request);
  std::string answer = ReadToClose(fd, timeoutMs);
  close(fd);
  return answer;
}

std::string ExchangeLarge(int port, const std::string &request, int timeoutMs) {
  int fd = Connect(port);
  if (fd < 0) return "";
  std::thread sender([&] { SendAll(fd, request); });
  std::string answer = ReadToClose(fd, timeoutMs);
  shutdown(fd, SHUT_RDWR);
  sender.join();
  close(fd);
  return answer;
}

const std::string *Response::Header(const std::string &name) const {
  for (const auto &header : headers)
    if (header.first == name) return &header.second;
  return nullptr;
}

Response Parse(const std::string &raw) {
  Response response;
  response.raw = raw;
  size_t end = raw.find("\r\n\r\n");
  response.complete = end != std::string::npos;
  std::string head = raw.substr(0, response.complete ? end : raw.size());
  response.body = response.complete ? raw.substr(end + 4) : "";
  std::istringstream lines(head);
  std::string line;
  bool first = true;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      response.statusLine = line;
      if (line.size() >= 12) response.status = atoi(line.substr(9, 3).c_str());
      first = false;
      continue;
    }
    size_t colon = line.find(": ");
    if (colon == std::string::npos) {
      response.headers.emplace_back(line, "");
    } else {
      response.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
  }
  return response;
}

Response Get(int port, const std::string &uri, const std::string &host) {
  return Parse(Exchange(port, "GET " + uri + " HTTP/1.0\r\n\r\n", 15000, host));
}

time_t ParseHttpDate(const std::string &text) {
  static const char Days[] = "SunMonTueWedThuFriSat";
  static const char Months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const char *form = "www, 00 mmm 0000 00:00:00 GMT";
  if (text.size() != strlen(form)) return -1;
  for (size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if ((form[i] == '0') != digit) return -1;
    if (strchr(", :GMT", form[i]) && form[i] != text[i]) return -1;
  }
  struct tm parts {};
  const char *day = strstr(Days, text.substr(0, 3).c_str());
  const char *month = strstr(Months, text.substr(8, 3).c_str());
  if (!day || (day - Days) % 3 || !month || (month - Months) % 3) return -1;
  parts.tm_mday = std::stoi(text.substr(5, 2));
  parts.tm_mon = static_cast<int>((month - Months) / 3);
  parts.tm_year = std::stoi(text.substr(12, 4)) - 1900;
  parts.tm_hour = std::stoi(text.substr(17, 2));
  parts.tm_min = std::stoi(text.substr(20, 2));
  parts.tm_sec = std::stoi(text.substr(23, 2));
  time_t stamp = timegm(&parts);
  struct tm check;
  gmtime_r(&stamp, &check);
  if (check.tm_wday != (day - Days) / 3 || check.tm_mday != parts.tm_mday) return -1;
  return stamp;
}

std::string HeaderWithoutDate(const std::string &raw) {
  size_t end = raw.find("\r\n\r\n");
  std::string header = raw.substr(0, end == std::string::npos ? raw.size() : end + 4);
  size_t at = header.find("\r\nDate: ");
  if (at == std::string::npos) return header;
  size_t start = at + 8;
  size_t stop = header.find("\r\n", start);
  if (stop == std::string::npos || ParseHttpDate(header.substr(start, stop - start)) < 0)
    return header;
  return header.replace(start, stop - start, "DATE");
}

}  // namespace support
