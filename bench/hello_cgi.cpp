// The benchmark's hello CGI program: one short HTML page written with one
// write, no standard library start-up beyond the C runtime. Linked
// statically so that every server pays the same, small price to start it.
#include <unistd.h>

int main() {
  static const char page[] =
      "<html><head><title>hello</title></head><body>Hello, world!</body></html>\n";
  ssize_t written = write(1, page, sizeof page - 1);
  return written == static_cast<ssize_t>(sizeof page - 1) ? 0 : 1;
}
