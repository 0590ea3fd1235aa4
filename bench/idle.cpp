// Idle connections for the benchmark's memory figure: opens COUNT
// connections to 127.0.0.1:PORT, sends nothing, prints "open N" once they
// are established, holds them for HOLD seconds, closes them all, prints
// "closed" and exits. Bounded in count and time.
//
//   idle PORT COUNT HOLD-SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: idle PORT COUNT HOLD-SECONDS\n");
    return 2;
  }
  int port = atoi(argv[1]);
  int count = atoi(argv[2]);
  int hold = atoi(argv[3]);
  if (count < 0 || count > 60000 || hold < 0 || hold > 600) return 2;

  // Room for the connections beside the standard descriptors.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  rlim_t wanted = static_cast<rlim_t>(count) + 64;
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = wanted < limit.rlim_max ? wanted : limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<int> open;
  for (int i = 0; i < count; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    if (connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) != 0) {
      close(fd);
      break;
    }
    open.push_back(fd);
  }
  printf("open %zu\n", open.size());
  fflush(stdout);
  sleep(static_cast<unsigned>(hold));
  for (int fd : open) close(fd);
  printf("closed\n");
  fflush(stdout);
  return open.size() == static_cast<size_t>(count) ? 0 : 1;
}
