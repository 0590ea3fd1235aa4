// A child program for the process tests of the Win32 backend: reports its
// command line, its arguments and its whole environment, one line each, on
// standard output
// (text mode). With the first argument "wait" it then reads standard input
// to its end before it exits; with "259" it ends with that exit code.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
  printf("CMD=%s\n", GetCommandLineA());
  printf("ARGC=%d\n", argc);
  for (int i = 1; i < argc; ++i) printf("ARG=%s\n", argv[i]);
  char *block = GetEnvironmentStringsA();
  for (const char *entry = block; entry && *entry; entry += strlen(entry) + 1)
    printf("ENV=%s\n", entry);
  FreeEnvironmentStringsA(block);
  fflush(stdout);
  if (argc > 1 && strcmp(argv[1], "wait") == 0) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, stdin)) {
    }
  }
  if (argc > 1 && strcmp(argv[1], "259") == 0) return 259;
  return 3;
}
