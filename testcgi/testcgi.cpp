// testcgi: a CGI program that shows what it received. It writes an HTML page
// with its QUERY_STRING and CONTENT_LENGTH and, when CONTENT_LENGTH is set and
// not 0, echoes its standard input line by line up to and including the line
// that holds "TEST=". Only the standard C library is used: the program shares
// nothing with the server and talks to it through environment and stdio only.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Echoes lines read with a buffer of `size` bytes until the input ends or a
// piece holding "TEST=" has been written. A size of 1 leaves room for no
// character, so nothing is read.
static void EchoInput(char *line, int size) {
  for (;;) {
    if (size < 2 || !fgets(line, size, stdin)) return;
    printf("%s\n", line);
    if (strstr(line, "TEST=")) return;
  }
}

static void ShowQueryString() {
  const char *query = getenv("QUERY_STRING");
  if (query) {
    printf("QUERY_STRING=\"%s\"<BR>\n", query);
  } else {
    printf("QUERY_STRING NOT DEFINED!<BR>\n");
  }
}

static void ShowContentLength() {
  const char *text = getenv("CONTENT_LENGTH");
  if (!text) {
    printf("CONTENT_LENGTH NOT DEFINED!<BR>\n");
    return;
  }
  int length = atoi(text);
  printf("CONTENT_LENGTH=%d<BR>\n", length);
  if (length == 0) return;

  // A negative length asks for a buffer that cannot be had.
  char *line = length > 0 ? static_cast<char *>(malloc(static_cast<size_t>(length))) : NULL;
  if (!line) {
    printf("no memory");
    return;
  }
  printf("<pre>\n");
  EchoInput(line, length);
  printf("</pre>\n");
  free(line);
}

int main() {
  printf("<HTML>\n");
  printf("<HEAD>\n");
  printf("<TITLE>TEST CGI RESULT</TITLE>\n");
  printf("</HEAD>\n");
  printf("<BODY>\n");
  printf("<HR>");
  ShowQueryString();
  printf("<HR>");
  ShowContentLength();
  printf("<HR>\n");
  printf("</BODY>\n");
  printf("</HTML>\n");
  fflush(stdout);
  return 0;
}
