// The command line: the options --version, --help and --check, and the plain
// form "tarveld [configuration-file [stop-file]]", which goes to the server's
// process entry unchanged.
#include <cstdio>
#include <cstring>

#include "core/Core.h"

// TARVELD_VERSION is the build's project version.
bool CheckOnly = false;

static const char UsageText[] =
    "Usage: tarveld [configuration-file [stop-file]]\n"
    "       tarveld --check [configuration-file]\n"
    "       tarveld --version\n"
    "       tarveld --help\n"
    "\n"
    "Serves HTTP/1.0 as the configuration file says (default: tarveld.conf in the\n"
    "current folder) until a console signal ends it or the stop file appears.\n"
    "\n"
    "  --check    read the configuration and resolve its endpoint as a start\n"
    "             would, without listening, then warn of settings that leave the\n"
    "             server useless; exit 0 when a start would get as far as\n"
    "             listening, 255 when it would fail\n"
    "  --version  print the version and exit\n"
    "  --help     print this text and exit\n"
    "\n"
    "A configuration file whose name begins with \"-\" is given as ./-name.\n"
    "Manual pages: tarveld(8), tarveld.conf(5), testcgi(1); the README tells the same.\n";

static bool IsOption(const char *argument) { return strncmp(argument, "--", 2) == 0; }

static int Usage(FILE *stream, int status) {
  fputs(UsageText, stream);
  fflush(stream);
  return status;
}

// Runs the start-up up to the configuration checks and reports the outcome
// in one line that no log-level hides.
static int CheckConfiguration(int argc, char **argv) {
  CheckOnly = true;
  const char *path = argc >= 2 ? argv[1] : "tarveld.conf";
  int result = ServerEntry(argc, argv);
  printf("Configuration check of %s: %s\n", path, result == 0 ? "passed" : "failed");
  fflush(stdout);
  return result;
}

int CommandLine(int argc, char **argv) {
  // Options come first; an argument that starts with "--" anywhere else is
  // a mistake, never a file name.
  for (int i = 2; i < argc; ++i)
    if (IsOption(argv[i])) return Usage(stderr, 255);
  if (argc < 2 || !IsOption(argv[1])) return ServerEntry(argc, argv);

  const char *option = argv[1];
  if (strcmp(option, "--version") == 0 && argc == 2) {
    printf("tarveld %s\n", TARVELD_VERSION);
    fflush(stdout);
    return 0;
  }
  if (strcmp(option, "--help") == 0 && argc == 2) return Usage(stdout, 0);
  // The program name stays in front: the configuration file is the first
  // argument after it, as in the plain form.
  if (strcmp(option, "--check") == 0 && argc <= 3) {
    argv[1] = argv[0];
    return CheckConfiguration(argc - 1, argv + 1);
  }
  return Usage(stderr, 255);
}
