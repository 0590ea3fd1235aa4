// The runtime's entry: hands the command line to the server's option handling.
#include "core/Core.h"

int main(int argc, char **argv) { return CommandLine(argc, argv); }
