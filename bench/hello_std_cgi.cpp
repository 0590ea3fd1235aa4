// The benchmark's standard CGI program: a Content-Type line, the empty line
// and the short HTML page of the hello program, written with one write.
// Linked statically so that every server pays the same, small price to
// start it.
#include <unistd.h>

int main() {
  static const char answer[] =
      "Content-Type: text/html\r\n\r\n"
      "<html><head><title>hello</title></head><body>Hello, world!</body></html>\n";
  ssize_t written = write(1, answer, sizeof answer - 1);
  return written == static_cast<ssize_t>(sizeof answer - 1) ? 0 : 1;
}
