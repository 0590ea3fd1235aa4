// The benchmark's large standard CGI answer: a Content-Type line, the empty
// line and 10 MiB written in blocks of 64 KiB, as a program that produces a
// download does.
#include <unistd.h>

#include <cstring>

int main() {
  static char block[65536];
  memset(block, 'x', sizeof block);
  static const char header[] = "Content-Type: application/octet-stream\r\n\r\n";
  if (write(1, header, sizeof header - 1) != static_cast<ssize_t>(sizeof header - 1)) return 1;
  for (int i = 0; i < 160; ++i) {
    for (size_t done = 0; done < sizeof block;) {
      ssize_t n = write(1, block + done, sizeof block - done);
      if (n <= 0) return 1;
      done += static_cast<size_t>(n);
    }
  }
  return 0;
}
